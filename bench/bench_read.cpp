// Reading streams whose size grows with one count n (10,000 to 1,000,000), to show whether the
// cost per item stays flat:
//
//  - ParentLinks: one dependency object with n parent references (n distinct parents), read and
//    then unlinked the way the importer does (the object's own DetachChildren, then each former
//    parent's); the item is a link.
//  - ChildLinks: one dependency object with n child references (n distinct children), read and
//    unlinked by its DetachChildren.
//  - SharedChild: n dependency objects that each list the same child, read and unlinked; the
//    child ends up with n parents.
//  - SceneRecords: one scene dependency listing n objects at level 0, as the exporter writes it;
//    SceneRecordsDescending: the same with levels falling from 127 to -128 along the records,
//    which no writer produces (every record goes in front of those read before it).
//  - ImportMeshes: a file of n one-triangle meshes written by the export operator, imported by
//    the import operator with colours needed (Operate only); ImportAndTakeMeshes also takes
//    every mesh with GetNextOutputStl.
//
// The streams are built in memory (the mesh files in a private temporary folder); their objects
// are gone before reading, so reading creates new ones. The "per_item" counter is the time per
// item (link, record or mesh).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "maker/MFile.h"
#include "maker/MStlBase.h"
#include "operators/MStlOperatorKVX.h"
#include "persistence/Dependency.h"
#include "persistence/ObjectStream.h"
#include "scene/Dependencies.h"

namespace {

using namespace KvxInternal;
using Bytes = std::vector<std::uint8_t>;

void PerItem(benchmark::State& state) {
    state.counters["per_item"] = benchmark::Counter(
        static_cast<double>(state.range(0)),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void Append(Bytes& out, const void* data, std::size_t size) {
    const auto* b = static_cast<const std::uint8_t*>(data);
    out.insert(out.end(), b, b + size);
}

void Word(Bytes& out, std::uint32_t w) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
}

// A chunk: name (6 bytes, zero-padded), version, flags, content length, contents.
Bytes Chunk(const char* name, std::uint8_t version, const Bytes& contents) {
    Bytes out(6, 0);
    std::memcpy(out.data(), name, std::strlen(name));
    out.push_back(version);
    out.push_back(0);
    Word(out, static_cast<std::uint32_t>(contents.size()));
    Append(out, contents.data(), contents.size());
    return out;
}

// A link entry: "MD" and a reference to the dependency object with id (1, id).
void LinkEntry(Bytes& out, std::uint32_t id) {
    Append(out, "MDMDEPD\0", 8);
    Word(out, 1);
    Word(out, id);
}

Bytes IdChunk(std::uint32_t id) {
    Bytes words;
    Word(words, 1);
    Word(words, id);
    return Chunk("MUID", 2, words);
}

// A dependency object with id (1, id), its children's ids and its parents' ids.
Bytes DependencyChunk(std::uint32_t id, std::uint32_t firstChild, std::uint32_t children,
                      std::uint32_t firstParent, std::uint32_t parents) {
    Bytes data;
    Word(data, 0);
    Word(data, 0);
    Word(data, children);
    for (std::uint32_t i = 0; i < children; ++i)
        LinkEntry(data, firstChild + i);
    Word(data, parents);
    for (std::uint32_t i = 0; i < parents; ++i)
        LinkEntry(data, firstParent + i);
    Bytes contents = IdChunk(id);
    const Bytes dataChunk = Chunk("DATA", 2, data);
    Append(contents, dataChunk.data(), dataChunk.size());
    return Chunk("MDEPD", 2, contents);
}

// Reads every object of `stream` into `objects`; false when one fails or none is read.
bool ReadStream(const Bytes& stream, std::vector<MHDynBase>& objects) {
    MFileMemory file;
    file.OPEN_READ(stream.data(), stream.size());
    MHDynBase handle;
    for (;;) {
        const std::int32_t r = ReadNextObject(handle, file);
        if (r == READ_END) return !objects.empty();
        if (r != READ_OK) return false;
        objects.push_back(handle);
    }
}

// Breaks the links of the objects read, as the importer does: each object's own children, then
// those of each of its parents.
void Unlink(std::vector<MHDynBase>& objects) {
    for (MHDynBase& h : objects) {
        MDependency* d = h.As<MDependency>();
        const std::vector<MHDynBase> parents(d->parents.begin(), d->parents.end());
        d->DetachChildren();
        for (const MHDynBase& p : parents)
            p.As<MDependency>()->DetachChildren();
    }
}

void ReadLinks(benchmark::State& state, const Bytes& stream, std::size_t expectedObjects) {
    for (auto _ : state) {
        std::vector<MHDynBase> objects;
        if (!ReadStream(stream, objects) || objects.size() != expectedObjects) {
            state.SkipWithError("stream did not read back");
            break;
        }
        Unlink(objects);
        state.PauseTiming();
        objects.clear();
        state.ResumeTiming();
    }
    PerItem(state);
}

void BM_ParentLinks(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    ReadLinks(state, DependencyChunk(1, 0, 0, 100, n), 1);
}

void BM_ChildLinks(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    ReadLinks(state, DependencyChunk(1, 100, n, 0, 0), 1);
}

void BM_SharedChild(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    Bytes stream;
    for (std::uint32_t i = 0; i < n; ++i) {
        const Bytes chunk = DependencyChunk(100 + i, 1, 1, 0, 0);
        Append(stream, chunk.data(), chunk.size());
    }
    ReadLinks(state, stream, n);
}

// A scene dependency listing n dependency objects (without parameters), with the levels given;
// the lists are filled directly so that building the stream costs the same whatever AddObject
// does.
Bytes SceneStream(std::size_t n, bool descending) {
    MHDynBase sceneHandle;
    sceneHandle.AdoptNew(IVSceneDependency::ClassInfo());
    auto* scene = sceneHandle.As<IVSceneDependency>();
    for (std::size_t i = 0; i < n; ++i) {
        MHDynBase object;
        object.AdoptNew(IVDependency::ClassInfo());
        scene->objects.push_back(object);
        scene->parameters.push_back(MHDynBase());
        const auto fall = static_cast<int>(i * 256 / n);
        scene->levels.push_back(static_cast<std::int8_t>(descending ? 127 - fall : 0));
        scene->entryFlags.push_back(1);
        scene->objectTransforms.push_back(MHTransform());
    }
    MFileMemory file;
    file.OPEN_WRITE(0, nullptr);
    if (!scene->Write(file)) return {};
    return Bytes(file.GET_BUFFER(), file.GET_BUFFER() + file.SIZE());
}

void ReadScene(benchmark::State& state, bool descending) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const Bytes stream = SceneStream(n, descending);
    for (auto _ : state) {
        std::vector<MHDynBase> objects;
        if (!ReadStream(stream, objects) || objects.size() != 1 ||
            objects[0].As<IVScene>()->GetCount() != n) {
            state.SkipWithError("stream did not read back");
            break;
        }
        state.PauseTiming();
        objects.clear();
        state.ResumeTiming();
    }
    PerItem(state);
}

void BM_SceneRecords(benchmark::State& state) {
    ReadScene(state, false);
}

void BM_SceneRecordsDescending(benchmark::State& state) {
    ReadScene(state, true);
}

// A private folder for the mesh files, removed with everything in it at exit.
class TempFolder {
public:
    TempFolder() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                              "/kvx-bench-read-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;  // mode 0700
    }
    ~TempFolder() {
        for (const std::string& f : files_)
            std::remove(f.c_str());
        if (!path_.empty()) ::rmdir(path_.c_str());
    }
    // The path of file `name` in the folder (empty when there is no folder).
    std::string File(const std::string& name) {
        if (path_.empty()) return {};
        files_.push_back(path_ + "/" + name);
        return files_.back();
    }

private:
    std::string path_;
    std::vector<std::string> files_;
};

TempFolder& Folder() {
    static TempFolder folder;
    return folder;
}

std::wstring Wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

// The KVX file of n one-triangle meshes, written once per n.
std::wstring MeshFile(std::size_t n) {
    static std::map<std::size_t, std::wstring> files;
    if (auto it = files.find(n); it != files.end()) return it->second;
    const std::string path = Folder().File("meshes-" + std::to_string(n) + ".kvx");
    if (path.empty()) return {};
    std::vector<MStlBase> meshes(n);
    MStlOperatorKVXExport exporter;
    exporter.SetFileName(Wide(path));
    for (std::size_t i = 0; i < n; ++i) {
        MStlBase& m = meshes[i];
        const auto x = static_cast<std::int32_t>(i);
        m.AddTriangle(m.AddPoint(x, 0, 0), m.AddPoint(x + 1, 0, 0), m.AddPoint(x, 1, 0));
        exporter.AddStl(&m, L"m" + std::to_wstring(i));
    }
    if (!exporter.Operate()) return {};
    return files[n] = Wide(path);
}

void Import(benchmark::State& state, bool take) {
    const auto n = static_cast<std::size_t>(state.range(0));
    const std::wstring file = MeshFile(n);
    if (file.empty()) {
        state.SkipWithError("the mesh file could not be written");
        return;
    }
    for (auto _ : state) {
        MStlOperatorKVXImport importer;
        importer.SetFileName(file);
        importer.SetColorsNeeded(true);
        if (!importer.Operate() || importer.GetNumberOfOutputStls() != n ||
            importer.GetNumberOfOutputColors() != n) {
            state.SkipWithError("the file did not import");
            break;
        }
        if (take) {
            MStlBase mesh;
            for (std::size_t i = 0; i < n; ++i)
                if (!importer.GetNextOutputStl(&mesh) || mesh.NumberOfTriangles() != 1) {
                    state.SkipWithError("a mesh did not import");
                    break;
                }
        }
    }
    PerItem(state);
}

void BM_ImportMeshes(benchmark::State& state) {
    Import(state, false);
}

void BM_ImportAndTakeMeshes(benchmark::State& state) {
    Import(state, true);
}

void Sizes(benchmark::internal::Benchmark* b) {
    b->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_ParentLinks)->Apply(Sizes);
BENCHMARK(BM_ChildLinks)->Apply(Sizes);
BENCHMARK(BM_SharedChild)->Apply(Sizes);
BENCHMARK(BM_SceneRecords)->Apply(Sizes);
BENCHMARK(BM_SceneRecordsDescending)->Apply(Sizes);
BENCHMARK(BM_ImportMeshes)->Apply(Sizes);
BENCHMARK(BM_ImportAndTakeMeshes)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
