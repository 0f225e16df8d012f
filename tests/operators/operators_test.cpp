#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <cstring>

#include "container/Envelope.h"
#include "mesh/STLData.h"
#include "operators/MStlOperatorKVX.h"
#include "operators/Package.h"
#include "support/Meshes.h"
#include "support/Streams.h"

namespace {

using kvxtest::Bytes;
using Import = MStlOperatorKVXImport;
using Export = MStlOperatorKVXExport;

using kvxtest::Box;
using kvxtest::Content;

class Operators : public testing::Test {
protected:
    Operators() { ::mkdir(tmp_.c_str(), 0700); }
    ~Operators() override {
        EXPECT_EQ(kvxtest::TempDir::CountIn(tmp_), 0u) << "temporary files left";
    }

    std::wstring Path(const std::string& name) const { return dir_.wfile(name); }

    // Exports the meshes to `name` (".kvx" replaces the extension).
    bool Write(const std::string& name, std::vector<MStlBase*> meshes,
               const std::wstring& password = L"", bool colors = false,
               const std::vector<std::vector<unsigned short>>& blocks = {}) {
        Export e;
        e.SetFileName(Path(name));
        e.SetPassword(password);
        e.ExportTriangleColor(colors);
        int i = 0;
        for (MStlBase* m : meshes)
            e.AddStl(m, L"mesh " + std::to_wstring(i++));
        for (const auto& b : blocks)
            e.AddDataBlock(b);
        return e.Operate();
    }

    kvxtest::TempDir dir_;
    std::string tmp_ = dir_.file("tmp");
    kvxtest::ScopedEnv env_{"TMPDIR", tmp_};
};

TEST_F(Operators, RoundTripWithNamesColoursAndBlocks) {
    MStlBase plain = Box(100, false), colored = Box(50, true);
    const std::vector<std::vector<unsigned short>> blocks = {{1, 2, 3}, {}, {7}};
    ASSERT_TRUE(Write("scene.stl", {&plain, &colored}, L"secret", true, blocks));
    EXPECT_EQ(kvxtest::ReadFile(dir_.file("scene.kvx")).size() > 0, true);

    Import in;
    in.SetFileName(Path("scene.kvx"));
    in.SetPassword(L"secret");
    in.SetColorsNeeded(true);
    in.ImportTriangleColor(true);
    ASSERT_TRUE(in.Operate());
    EXPECT_EQ(in.GetImportResults(), Import::ImportOk);
    ASSERT_EQ(in.GetNumberOfOutputStls(), 2u);
    EXPECT_EQ(in.GetStlNameAt(1), L"mesh 1");
    EXPECT_EQ(in.GetStlNameAt(2), L"");
    // The mesh colour is the parameter's third triangle colour: light grey.
    ASSERT_EQ(in.GetNumberOfOutputColors(), 2u);
    EXPECT_EQ(in.GetOutputColorAt(0), (Orvex::Common::Color{192, 192, 192, 0}));
    EXPECT_THROW(
        {
            try {
                in.GetOutputColorAt(2);
            } catch (const std::out_of_range& e) {
                EXPECT_STREQ(e.what(), "invalid vector<T> subscript");
                throw;
            }
        },
        std::out_of_range);

    // Once one mesh has colours every mesh writes a colour array, so each mesh gets its own
    // colours (the plain one none) and no data block is taken for colours.
    MStlBase first, second;
    ASSERT_TRUE(in.GetNextOutputStl(&first));
    EXPECT_EQ(first.GetName(), L"mesh 0");
    EXPECT_EQ(Content(first), Content(plain));
    ASSERT_TRUE(in.GetNextOutputStl(&second));
    EXPECT_EQ(Content(second), Content(colored));
    EXPECT_TRUE(in.GetIsCompleted());
    EXPECT_FALSE(in.GetNextOutputStl(&second));
    EXPECT_EQ(in.GetImportResults(), Import::ImportNoMoreMeshes);

    // Read without triangle colours: the data blocks are still just the blocks.
    in.ImportTriangleColor(false);
    EXPECT_EQ(in.GetNumberOfDataBlocks(), 3u);
    EXPECT_EQ(in.GetDataBlock(0), blocks[0]);
    MStlBase again;
    ASSERT_TRUE(in.GetOutputStlAt(&again, 1));
    EXPECT_EQ(Content(again), Content(colored));
    ASSERT_TRUE(in.GetOutputStlAt(&again, 1));  // loaded again from the temporary file
    EXPECT_EQ(Content(again), Content(colored));
    in.ImportTriangleColor(true);
    EXPECT_EQ(in.GetNumberOfDataBlocks(), 3u);
    for (std::size_t i = 0; i < blocks.size(); ++i)
        EXPECT_EQ(in.GetDataBlock(i), blocks[i]);
    EXPECT_FALSE(in.GetOutputStlAt(&again, 2));
    EXPECT_EQ(in.GetImportResults(), Import::ImportBadIndex);
}

TEST_F(Operators, ImportResultCodesFromRealFiles) {
    MStlBase box = Box(10, false);
    ASSERT_TRUE(Write("good.stl", {&box}, L"pw"));
    Bytes corrupt = kvxtest::ReadFile(dir_.file("good.kvx"));
    corrupt[corrupt.size() - 3] ^= 0x10;
    kvxtest::WriteFile(dir_.file("corrupt.kvx"), corrupt);
    kvxtest::WriteFile(dir_.file("tiny.kvx"), {'Q', 'O', 'R'});
    // A sound container whose stream has a mesh but no scene.
    ASSERT_TRUE(KvxInternal::WriteEnvelope(Path("noscene.kvx"), L"", [&](MFile& f) {
        KvxInternal::IVSTLData mesh;
        return mesh.Write(f);
    }));
    const struct {
        const char* what;
        std::string file;
        std::wstring password;
        Import::EImportResults expected;
    } cases[] = {
        {"no file name", "", L"", Import::ImportNoFileName},
        {"missing", "missing.kvx", L"", Import::ImportCannotOpen},
        {"three bytes", "tiny.kvx", L"", Import::ImportBadMagic},
        {"wrong password", "good.kvx", L"other", Import::ImportWrongPassword},
        {"corrupt payload", "corrupt.kvx", L"pw", Import::ImportDecompressFailed},
        {"no scene", "noscene.kvx", L"", Import::ImportFailed},
        {"good", "good.kvx", L"pw", Import::ImportOk},
    };
    for (const auto& c : cases) {
        Import in;
        if (!c.file.empty()) in.SetFileName(Path(c.file));
        in.SetPassword(c.password);
        EXPECT_EQ(in.Operate(), c.expected == Import::ImportOk) << c.what;
        EXPECT_EQ(in.GetImportResults(), c.expected) << c.what;
        MStlBase out;
        if (c.expected != Import::ImportOk) {
            EXPECT_FALSE(in.GetNextOutputStl(&out));
            EXPECT_EQ(in.GetImportResults(), Import::ImportNoOutput) << c.what;
        }
    }
    Import notRun;
    EXPECT_EQ(notRun.GetImportResults(), Import::ImportNotRun);
    {
        kvxtest::ScopedEnv noTmp("TMPDIR", "/nonexistent/kvx");
        Import in;
        in.SetFileName(Path("good.kvx"));
        in.SetPassword(L"pw");
        EXPECT_FALSE(in.Operate());
        EXPECT_EQ(in.GetImportResults(), Import::ImportTempFileFailed);
    }
}

// Each importer owns its temporary file: a second run replaces it, a copy does not share it.
TEST_F(Operators, TemporaryFilesBelongToOneImporter) {
    MStlBase box = Box(10, false);
    ASSERT_TRUE(Write("t.stl", {&box}));
    Import a;
    a.SetFileName(Path("t.kvx"));
    ASSERT_TRUE(a.Operate());
    ASSERT_TRUE(a.Operate());
    EXPECT_EQ(kvxtest::TempDir::CountIn(tmp_), 1u);
    {
        Import b = a;  // settings only
        EXPECT_EQ(b.GetImportResults(), Import::ImportNotRun);
        ASSERT_TRUE(b.Operate());
        EXPECT_EQ(kvxtest::TempDir::CountIn(tmp_), 2u);
        a = b;
        EXPECT_EQ(kvxtest::TempDir::CountIn(tmp_), 1u);
    }
    EXPECT_EQ(kvxtest::TempDir::CountIn(tmp_), 0u);
    ASSERT_TRUE(a.Operate());
    MStlBase out;
    EXPECT_TRUE(a.GetNextOutputStl(&out));
    EXPECT_EQ(out.NumberOfTriangles(), 12u);
}

TEST_F(Operators, ExportRulesAndFailures) {
    MStlBase box = Box(10, false);
    Export e;
    EXPECT_FALSE(e.Operate());
    EXPECT_EQ(e.GetExportResults(), Export::ExportNoFileName);  // the name is tested first
    e.SetFileName(Path("x"));
    EXPECT_FALSE(e.Operate());
    EXPECT_EQ(e.GetExportResults(), Export::ExportNoMeshes);
    e.AddStl(&box, L"b");
    EXPECT_TRUE(e.Operate());
    EXPECT_EQ(e.GetExportResults(), Export::ExportNoMeshes);  // success stores no result

    for (const auto& [in, out] :
         {std::pair{"part.stl", "part.kvx"}, {"part", "part.kvx"}, {"a.b.c", "a.b.kvx"}}) {
        ASSERT_TRUE(Write(in, {&box}));
        EXPECT_GT(MFileName(Path(out)).FILE_SIZE(), 0) << in;
    }
    // A target that cannot be written leaves everything as it was.
    ::mkdir(dir_.file("dir.kvx").c_str(), 0700);
    Export blocked;
    blocked.SetFileName(Path("dir.stl"));
    blocked.AddStl(&box, L"b");
    EXPECT_FALSE(blocked.Operate());
    EXPECT_EQ(blocked.GetExportResults(), Export::ExportFileFailed);
}

// With SetReproducible the bytes follow from the content alone: the same content gives the
// same file (without it, two writes differ in their ids), and files of different content read
// back side by side.
TEST_F(Operators, ReproducibleFilesFollowTheirContent) {
    struct Case {
        const char* name;
        int size;
        const wchar_t* meshName;
        const wchar_t* password;
        std::vector<unsigned short> block;
    };
    const Case base{"base", 10, L"m", L"", {1, 2}};
    const Case cases[] = {
        {"bigger", 11, L"m", L"", {1, 2}},
        {"renamed", 10, L"n", L"", {1, 2}},
        {"protected", 10, L"m", L"pw", {1, 2}},
        {"other block", 10, L"m", L"", {1, 3}},
    };
    auto write = [&](const Case& c, const std::string& file, bool reproducible) {
        MStlBase mesh = Box(c.size, true);
        Export e;
        e.SetFileName(Path(file));
        e.SetPassword(c.password);
        e.ExportTriangleColor(true);
        e.SetReproducible(reproducible);
        e.AddStl(&mesh, c.meshName);
        e.AddDataBlock(c.block);
        EXPECT_TRUE(e.Operate()) << c.name;
        return kvxtest::ReadFile(dir_.file(file));
    };
    const Bytes first = write(base, "a.kvx", true);
    EXPECT_EQ(write(base, "b.kvx", true), first);
    EXPECT_NE(write(base, "c.kvx", false), write(base, "d.kvx", false));
    for (const Case& c : cases) {
        const Bytes other = write(c, "other.kvx", true);
        EXPECT_NE(other, first) << c.name;
        Import a, b;
        a.SetFileName(Path("a.kvx"));
        b.SetFileName(Path("other.kvx"));
        b.SetPassword(c.password);
        ASSERT_TRUE(a.Operate());
        ASSERT_TRUE(b.Operate()) << c.name;
        MStlBase fromA, fromB;
        ASSERT_TRUE(a.GetOutputStlAt(&fromA, 0));
        ASSERT_TRUE(b.GetOutputStlAt(&fromB, 0));
        EXPECT_EQ(Content(fromA), Content(Box(base.size, true))) << c.name;
        EXPECT_EQ(Content(fromB), Content(Box(c.size, true))) << c.name;
    }
}

// The real stub: the package, run, gives back a file that imports to the same meshes.
TEST_F(Operators, PackageRunsAndExtracts) {
    MStlBase box = Box(70, true);
    // A file already under the KVX name is not touched by building the package.
    kvxtest::WriteFile(dir_.file("model.kvx"), Bytes{'m', 'i', 'n', 'e'});
    Export e;
    e.SetFileName(Path("model.stl"));
    e.AddStl(&box, L"boxed");
    e.SetSelfExtractingPath(CharacterSetConversions::String<wchar_t>(std::string(KVX_SFX_STUB)));
    ASSERT_TRUE(e.Operate());
    EXPECT_EQ(kvxtest::ReadFile(dir_.file("model.kvx")), (Bytes{'m', 'i', 'n', 'e'}));
    EXPECT_EQ(dir_.CountFiles(), 2u);  // model.kvx and model.exe: nothing left over
    ASSERT_EQ(::remove(dir_.file("model.kvx").c_str()), 0);
    const std::string package = dir_.file("model.exe");
    ASSERT_EQ(::chmod(package.c_str(), 0755), 0);
    const std::string extracted = dir_.file("extracted.kvx");
    ASSERT_EQ(std::system((package + " " + extracted + " > /dev/null").c_str()), 0);
    Import in;
    in.SetFileName(CharacterSetConversions::String<wchar_t>(extracted));
    ASSERT_TRUE(in.Operate());
    MStlBase out;
    ASSERT_TRUE(in.GetNextOutputStl(&out));
    EXPECT_EQ(out.GetName(), L"boxed");
    EXPECT_EQ(Content(out), Content(box));
    // Run without an argument it writes beside itself; the bare stub refuses.
    ASSERT_EQ(std::system((package + " > /dev/null").c_str()), 0);
    EXPECT_GT(MFileName(Path("model.kvx")).FILE_SIZE(), 0);
    EXPECT_NE(std::system((std::string(KVX_SFX_STUB) + " 2> /dev/null").c_str()), 0);
}

TEST(Package, MarkerSearchRestarts) {
    const std::string full(KvxInternal::kPackageMarker);
    const struct {
        std::string bytes;
        std::int64_t end;
    } cases[] = {
        {"xx" + full + "tail", 2 + 19},
        {"Invalid KVX timecodInvalid KVX timecode", 19 + 19},  // breaks off at its last character
        {"IInvalid KVX timecode", 1 + 19},
        {"Invalid KVX", -1},
        {"", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KvxInternal::FindMarkerEnd(reinterpret_cast<const std::uint8_t*>(c.bytes.data()),
                                             c.bytes.size()),
                  c.end)
            << c.bytes;
}

TEST_F(Operators, PackageFromStubs) {
    MStlBase box = Box(10, false);
    std::string stub(123456 - 64, 'S');
    stub.replace(1000, 35, "Invalid KVX timecod!Invalid KVX timecode %d:%d:%d-%04d");
    stub.resize(123456, 'T');
    kvxtest::WriteFile(dir_.file("stub"), Bytes(stub.begin(), stub.end()));
    kvxtest::WriteFile(dir_.file("nomarker"), Bytes(5000, 'n'));
    kvxtest::WriteFile(dir_.file("short"), Bytes{'I'});
    std::string tight =
        std::string(10, 'x') + std::string(KvxInternal::kPackageMarker) + "0123456789";
    kvxtest::WriteFile(dir_.file("tight"), Bytes(tight.begin(), tight.end()));

    Export e;
    e.SetFileName(Path("part.stl"));
    e.AddStl(&box, L"b");
    e.SetSelfExtractingPath(Path("stub"));
    ASSERT_TRUE(e.Operate());
    EXPECT_FALSE(MFileName(Path("part.kvx")).EXISTS());
    const Bytes package = kvxtest::ReadFile(dir_.file("part.exe"));
    ASSERT_GT(package.size(), 123456u);
    const std::size_t p = 1000 + 20 + 19;  // the final "e" of the full marker
    // The byte after the marker stays; then a space, the size in eight characters and a NUL.
    EXPECT_EQ(std::string(package.begin() + p + 1, package.begin() + p + 12),
              std::string("    123456") + '\0');
    EXPECT_EQ(Bytes(package.begin() + 123456, package.begin() + 123460),
              (Bytes{'Q', 'O', 'R', 'Z'}));

    for (const char* bad : {"nomarker", "short", "tight", "missing"}) {
        Export f;
        f.SetFileName(Path(std::string("out-") + bad));
        f.AddStl(&box, L"b");
        f.SetSelfExtractingPath(Path(bad));
        EXPECT_FALSE(f.Operate()) << bad;
        EXPECT_EQ(f.GetExportResults(), Export::ExportSelfExtractingFailed) << bad;
        EXPECT_FALSE(MFileName(Path(std::string("out-") + bad + ".exe")).EXISTS()) << bad;
        EXPECT_FALSE(MFileName(Path(std::string("out-") + bad + ".kvx")).EXISTS()) << bad;
    }
}

}  // namespace
