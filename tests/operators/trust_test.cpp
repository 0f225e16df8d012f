// What an import may be trusted with: each file's objects stay its own, a reported success is
// true, nothing read by a failed import stays alive, colour arrays and data blocks are told
// apart, and no file makes the reader spend more memory than the file's size allows.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <vector>

#include "container/Envelope.h"
#include "maker/ReadBudget.h"
#include "mesh/STLData.h"
#include "operators/MStlOperatorKVX.h"
#include "persistence/Identity.h"
#include "persistence/StreamScope.h"
#include "scene/ColorArray.h"
#include "support/Meshes.h"
#include "support/Streams.h"

namespace {

using KvxInternal::MHDynBase;
using kvxtest::Box;
using kvxtest::Bytes;
using kvxtest::Chunk;
using kvxtest::Concat;
using kvxtest::Content;
using kvxtest::Words;
using Import = MStlOperatorKVXImport;
using Export = MStlOperatorKVXExport;
using Blocks = std::vector<std::vector<unsigned short>>;

class Trust : public testing::Test {
protected:
    Trust() { ::mkdir(tmp_.c_str(), 0700); }
    ~Trust() override { EXPECT_EQ(kvxtest::TempDir::CountIn(tmp_), 0u) << "temporary files left"; }

    std::wstring Path(const std::string& name) const { return dir_.wfile(name); }

    static bool Write(const std::wstring& file, const std::vector<MStlBase*>& meshes,
                      const std::wstring& baseName = L"mesh", bool colors = false,
                      const Blocks& blocks = {}) {
        Export e;
        e.SetFileName(file);
        e.ExportTriangleColor(colors);
        for (std::size_t i = 0; i < meshes.size(); ++i)
            e.AddStl(meshes[i], baseName + L" " + std::to_wstring(i));
        for (const auto& b : blocks)
            e.AddDataBlock(b);
        return e.Operate();
    }

    // A KVX file whose object stream is `stream`, in the container as the exporter writes it.
    void WriteStream(const std::string& name, const Bytes& stream) {
        ASSERT_TRUE(KvxInternal::WriteEnvelope(Path(name), L"", [&](MFile& f) {
            return f.WRITE(stream.data(), stream.size()) == stream.size();
        }));
    }

    kvxtest::TempDir dir_;
    std::string tmp_ = dir_.file("tmp");
    kvxtest::ScopedEnv env_{"TMPDIR", tmp_};
};

// The identity chunk of an object with id (w0, w1).
Bytes Identity(std::uint32_t w0, std::uint32_t w1) {
    return Chunk("MUID", 2, Words({w0, w1}));
}

// A reference as links and scene records store it.
Bytes Reference(const char* tag, std::uint32_t w0, std::uint32_t w1) {
    Bytes out(6, 0);
    std::memcpy(out.data(), tag, std::strlen(tag));
    return Concat({out, Words({w0, w1})});
}

// A colour array of `count` copies of one value: a few bytes whatever the count.
Bytes UniformArray(std::uint32_t id, std::int32_t count) {
    const Bytes payload =
        Concat({Words({1}), {5, 0, 0, 0}, Words({static_cast<std::uint32_t>(count)}), {0}});
    return Chunk("COLOR", 2, Concat({Identity(id, 7), Chunk("DATA", 2, payload, 1)}));
}

// Exports run in separate processes at the same moment give their objects different ids, so one
// process that imports both files keeps each file's meshes apart, in either order.
TEST_F(Trust, ExportsFromTwoProcessesAtOnceStayApart) {
    MStlBase meshes[2] = {Box(10, false), Box(20, false)};
    pid_t children[2];
    for (int k = 0; k < 2; ++k) {
        children[k] = ::fork();
        ASSERT_GE(children[k], 0);
        if (children[k] == 0) {
            const bool ok = Write(Path("p" + std::to_string(k) + ".kvx"), {&meshes[k]},
                                  L"process " + std::to_wstring(k));
            ::_exit(ok ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (const int first : {0, 1}) {
        Import in[2];
        for (const int k : {first, 1 - first}) {
            in[k].SetFileName(Path("p" + std::to_string(k) + ".kvx"));
            ASSERT_TRUE(in[k].Operate());
        }
        for (int k = 0; k < 2; ++k) {
            MStlBase out;
            ASSERT_TRUE(in[k].GetOutputStlAt(&out, 0)) << k;
            EXPECT_EQ(out.GetName(), L"process " + std::to_wstring(k) + L" 0");
            EXPECT_EQ(Content(out), Content(meshes[k])) << "importer " << k;
        }
    }
}

// Two importers of one file each own their objects: destroying one leaves the other whole.
TEST_F(Trust, OneFileInTwoImporters) {
    MStlBase box = Box(30, false);
    ASSERT_TRUE(Write(Path("one.kvx"), {&box}));
    Import a;
    a.SetFileName(Path("one.kvx"));
    ASSERT_TRUE(a.Operate());
    {
        Import b;
        b.SetFileName(Path("one.kvx"));
        ASSERT_TRUE(b.Operate());
        MStlBase out;
        ASSERT_TRUE(b.GetOutputStlAt(&out, 0));
    }
    MStlBase out;
    ASSERT_TRUE(a.GetOutputStlAt(&out, 0));
    EXPECT_EQ(Content(out), Content(box));
    EXPECT_EQ(a.GetStlNameAt(0), L"mesh 0");
}

// A mesh that cannot be loaded again (its temporary file damaged) is a failure, not an empty
// mesh reported as success.
TEST_F(Trust, HandOutThatCannotLoadFails) {
    MStlBase box = Box(30, false);
    ASSERT_TRUE(Write(Path("h.kvx"), {&box}));
    Import in;
    in.SetFileName(Path("h.kvx"));
    ASSERT_TRUE(in.Operate());
    ASSERT_EQ(kvxtest::TempDir::CountIn(tmp_), 1u);
    for (const auto& entry : boost::filesystem::directory_iterator(tmp_))
        ASSERT_EQ(::truncate(entry.path().c_str(), 40), 0);
    MStlBase out = Box(5, false);
    EXPECT_FALSE(in.GetOutputStlAt(&out, 0));
    EXPECT_EQ(in.GetImportResults(), Import::ImportFailed);
    EXPECT_FALSE(in.GetNextOutputStl(&out));
}

// Objects that linked each other before the read failed die with the failed import, and no
// object survives an import once its importer is gone.
TEST_F(Trust, NothingReadOutlivesItsImport) {
    // X links child Y (created by the reference), then X's own reading fails on a bad marker.
    const Bytes broken = Chunk("MDEPD", 2,
                               Concat({Identity(1, 1), Chunk("DATA", 2,
                                                             Concat({Words({0, 0, 1}),
                                                                     {'M', 'D'},
                                                                     Reference("MDEPD", 2, 2),
                                                                     Words({1}),
                                                                     {'X', 'X'},
                                                                     Reference("MDEPD", 3, 3)}))}));
    // A and B are each other's child and parent: a cycle.
    const Bytes cycle =
        Concat({Chunk("MDEPD", 2,
                      Concat({Identity(4, 4), Chunk("DATA", 2,
                                                    Concat({Words({0, 0, 1}),
                                                            {'M', 'D'},
                                                            Reference("MDEPD", 5, 5),
                                                            Words({0})}))})),
                Chunk("MDEPD", 2,
                      Concat({Identity(5, 5), Chunk("DATA", 2,
                                                    Concat({Words({0, 0, 1}),
                                                            {'M', 'D'},
                                                            Reference("MDEPD", 4, 4),
                                                            Words({0})}))}))});
    WriteStream("broken.kvx", Concat({cycle, broken}));
    const std::size_t before = KvxInternal::LiveIdentityCount();
    {
        Import in;
        in.SetFileName(Path("broken.kvx"));
        EXPECT_FALSE(in.Operate());
        EXPECT_EQ(in.GetImportResults(), Import::ImportFailed);
        EXPECT_EQ(KvxInternal::LiveIdentityCount(), before);
        EXPECT_EQ(in.GetNumberOfDataBlocks(), 0u);
    }
    // A good file with the same cycle and a scene: its objects live as long as its importer.
    MHDynBase scene;
    scene.AdoptNew("IVSceneDependency");
    const Bytes sceneBytes = kvxtest::Written({scene.Get()});
    scene.Reset();
    WriteStream("cycle.kvx", Concat({cycle, sceneBytes}));
    {
        Import in;
        in.SetFileName(Path("cycle.kvx"));
        ASSERT_TRUE(in.Operate());
    }
    EXPECT_EQ(KvxInternal::LiveIdentityCount(), before);
}

// Every combination of the export and import colour switches, plain and coloured meshes, and
// data blocks gives back exactly the blocks that were added, and colours only where written.
TEST_F(Trust, DataBlocksAreNeverTakenForColours) {
    MStlBase colored = Box(8, true), plain = Box(9, false);
    const Blocks blockSets[] = {{}, {{1, 2, 3}}, {std::vector<unsigned short>(12, 0x8001), {}}};
    struct Meshes {
        const char* what;
        std::vector<MStlBase*> meshes;
    };
    const Meshes meshSets[] = {{"one plain", {&plain}},
                               {"one coloured", {&colored}},
                               {"plain and coloured", {&plain, &colored}},
                               {"two plain", {&plain, &plain}}};
    for (const bool exportColors : {false, true})
        for (const Meshes& set : meshSets)
            for (const Blocks& blocks : blockSets) {
                ASSERT_TRUE(Write(Path("c.kvx"), set.meshes, L"mesh", exportColors, blocks));
                for (const bool importColors : {false, true}) {
                    SCOPED_TRACE(testing::Message()
                                 << set.what << ", export colours " << exportColors
                                 << ", import colours " << importColors << ", " << blocks.size()
                                 << " blocks");
                    Import in;
                    in.SetFileName(Path("c.kvx"));
                    in.ImportTriangleColor(importColors);
                    ASSERT_TRUE(in.Operate());
                    ASSERT_EQ(in.GetNumberOfDataBlocks(), blocks.size());
                    for (std::size_t i = 0; i < blocks.size(); ++i)
                        EXPECT_EQ(in.GetDataBlock(i), blocks[i]);
                    for (std::size_t k = 0; k < set.meshes.size(); ++k) {
                        MStlBase out;
                        ASSERT_TRUE(in.GetOutputStlAt(&out, static_cast<unsigned long>(k)));
                        // The payload keeps colours; applying the array changes nothing.
                        EXPECT_EQ(Content(out), Content(*set.meshes[k]));
                    }
                }
            }
}

// Files whose writers did not mark triangle colours: an array right after a mesh with one value
// per triangle is its colours, anything else a data block. Indices past the end give nothing.
TEST_F(Trust, UnmarkedColourArrays) {
    MStlBase box = Box(8, false);
    KvxInternal::IVSTLData mesh;
    mesh.AttachMesh(&box);
    auto array = [](std::int32_t count, std::uint16_t value) {
        KvxInternal::IVColorArray a;
        a.SetColorCount(count);
        for (std::int32_t i = 0; i < count; ++i)
            a.AddValue(value);
        return kvxtest::Written({&a});
    };
    MHDynBase scene;
    scene.AdoptNew("IVSceneDependency");
    const Bytes meshBytes = kvxtest::Written({&mesh}), sceneBytes = kvxtest::Written({scene.Get()});
    WriteStream("legacy.kvx",
                Concat({meshBytes, array(12, 0x801F), array(3, 9), array(12, 0x83E0), sceneBytes}));
    Import in;
    in.SetFileName(Path("legacy.kvx"));
    in.ImportTriangleColor(true);
    ASSERT_TRUE(in.Operate());
    ASSERT_EQ(in.GetNumberOfDataBlocks(), 2u);
    EXPECT_EQ(in.GetDataBlock(0), std::vector<unsigned short>(3, 9));
    EXPECT_EQ(in.GetDataBlock(1), std::vector<unsigned short>(12, 0x83E0));
    for (const std::uint64_t past : {std::uint64_t{2}, UINT64_MAX, UINT64_MAX - 1})
        EXPECT_TRUE(in.GetDataBlock(past).empty()) << past;
    MStlBase out;
    ASSERT_TRUE(in.GetOutputStlAt(&out, 0));
    for (const MStlTriangle& t : out.Triangles())
        EXPECT_EQ(t.color, 0x801F);

    // A single mesh followed by a block of another length: the block stays a block.
    WriteStream("block.kvx", Concat({meshBytes, array(5, 1), sceneBytes}));
    Import blockIn;
    blockIn.SetFileName(Path("block.kvx"));
    blockIn.ImportTriangleColor(true);
    ASSERT_TRUE(blockIn.Operate());
    EXPECT_EQ(blockIn.GetNumberOfDataBlocks(), 1u);
}

// Runs `body` in a child process whose address space may grow by at most `extra` bytes (not
// under AddressSanitizer, which reserves far more address space than that up front); returns
// the child's exit code, or -1 when it did not exit normally.
int RunLimited(std::uint64_t extra, const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
#ifndef __SANITIZE_ADDRESS__
        unsigned long pages = 0;
        if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%lu", &pages) != 1) pages = 0;
            std::fclose(statm);
        }
        const rlim_t now =
            static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
        const rlimit limit{now + extra, now + extra};
        if (pages == 0 || ::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(100);
#else
        (void)extra;
#endif
        ::_exit(body());
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Small files that claim huge content fail with the budget's result, in a process that could
// not even allocate what they claim.
TEST_F(Trust, SmallFilesCannotDemandGigabytes) {
    MHDynBase scene;
    scene.AdoptNew("IVSceneDependency");
    const Bytes sceneBytes = kvxtest::Written({scene.Get()});
    // A zstd frame header that announces 1 GiB, followed by zeros the container squeezes away.
    Bytes frame = {0x28, 0xB5, 0x2F, 0xFD, 0xE0, 0, 0, 0, 0x40, 0, 0, 0, 0};
    frame.resize(frame.size() + (std::size_t{2} << 20), 0);
    const Bytes meshPayload =
        Chunk("IVSTL", 2, Concat({Identity(9, 9), Chunk("DATA", 2, Concat({{1}, frame}))}));
    Bytes manyArrays;
    for (std::uint32_t i = 0; i < 64; ++i) {
        const Bytes array = UniformArray(100 + i, std::int32_t{1} << 24);
        manyArrays.insert(manyArrays.end(), array.begin(), array.end());
    }
    const struct {
        const char* what;
        Bytes stream;
    } cases[] = {
        {"one array of 2^28 values", Concat({UniformArray(1, std::int32_t{1} << 28), sceneBytes})},
        {"64 arrays of 2^24 values", Concat({manyArrays, sceneBytes})},
        {"a mesh frame announcing 1 GiB", Concat({meshPayload, sceneBytes})},
    };
    for (const auto& c : cases) {
        WriteStream("big.kvx", c.stream);
        const auto size = boost::filesystem::file_size(dir_.file("big.kvx"));
        EXPECT_LT(size, 100000u) << c.what;
        const int code = RunLimited(MReadBudget::LimitFor(size) + (std::uint64_t{64} << 20), [&] {
            Import in;
            in.SetFileName(Path("big.kvx"));
            in.Operate();
            return static_cast<int>(in.GetImportResults());
        });
        EXPECT_EQ(code, Import::ImportMemoryBudgetExceeded) << c.what;
    }
}

// Links and objects made by references are charged too: a stream of fresh references fails
// once they pass the budget, and leaves nothing alive.
TEST(StreamScope, ReferencesAreCharged) {
    Bytes entries;
    const std::uint32_t n = 20000;
    for (std::uint32_t i = 0; i < n; ++i) {
        const Bytes entry = Concat({{'M', 'D'}, Reference("MDEPD", 1000 + i, 1)});
        entries.insert(entries.end(), entry.begin(), entry.end());
    }
    const Bytes stream =
        Chunk("MDEPD", 2,
              Concat({Identity(1, 1),
                      Chunk("DATA", 2, Concat({Words({0, 0, n}), entries, Words({0})}))}));
    const std::size_t before = KvxInternal::LiveIdentityCount();
    for (const std::uint64_t limit : {std::uint64_t{1} << 20, std::uint64_t{1} << 30}) {
        MFileMemory f;
        f.OPEN_READ(stream.data(), stream.size());
        KvxInternal::StreamScope scope(f, limit);
        MHDynBase handle;
        const std::int32_t r = KvxInternal::ReadNextObject(handle, f);
        EXPECT_EQ(r == KvxInternal::READ_OK, limit > (std::uint64_t{1} << 20)) << limit;
        EXPECT_EQ(scope.Budget().Exceeded(), r != KvxInternal::READ_OK);
        EXPECT_LE(scope.Budget().Peak(), limit);
    }
    EXPECT_EQ(KvxInternal::LiveIdentityCount(), before);
}

// The exporter refuses what its reader would refuse, and leaves the target as it was; what it
// writes always reads back.
TEST_F(Trust, ExportNeverWritesWhatImportRefuses) {
    // A flat regular grid: its points are predicted exactly and its walk is nearly free, so two
    // million triangles compress to a few hundred kilobytes but cost far more to decode than the
    // budget of a file that size allows.
    const auto grid = [](int n) {
        MStlBase mesh;
        for (int y = 0; y <= n; ++y)
            for (int x = 0; x <= n; ++x)
                mesh.AddPoint(x, y, 0);
        std::vector<std::uint32_t> indices;
        const auto at = [n](int x, int y) { return static_cast<std::uint32_t>(y * (n + 1) + x); };
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x)
                indices.insert(indices.end(), {at(x, y), at(x + 1, y), at(x + 1, y + 1), at(x, y),
                                               at(x + 1, y + 1), at(x, y + 1)});
        EXPECT_TRUE(mesh.SetTriangles(indices));
        return mesh;
    };
    MStlBase dense = grid(1000);
    kvxtest::WriteFile(dir_.file("dense.kvx"), {'o', 'l', 'd'});
    Export e;
    e.SetFileName(Path("dense.kvx"));
    e.AddStl(&dense, L"dense");
    EXPECT_FALSE(e.Operate());
    EXPECT_EQ(e.GetExportResults(), Export::ExportMemoryBudgetExceeded);
    EXPECT_EQ(kvxtest::ReadFile(dir_.file("dense.kvx")), (Bytes{'o', 'l', 'd'}));

    // A tenth of it fits, and reads back.
    MStlBase smaller = grid(316);
    ASSERT_TRUE(Write(Path("dense.kvx"), {&smaller}));
    Import in;
    in.SetFileName(Path("dense.kvx"));
    ASSERT_TRUE(in.Operate());
    MStlBase out;
    ASSERT_TRUE(in.GetOutputStlAt(&out, 0));
    EXPECT_EQ(out.NumberOfTriangles(), smaller.NumberOfTriangles());
}

}  // namespace
