// Mesh file readers of the command-line tool against assimp, on the same files: a torus of about
// one million triangles written as binary PLY and as ASCII STL (our own writers). The ratio of
// the times is what justifies the hand-written readers. Also the binary STL writer, which must
// keep up with meshes of tens of millions of triangles.
//
// items_per_second counts triangles.
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <assimp/Importer.hpp>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <streambuf>

#include "MeshFormats.h"

namespace {

using namespace kvx::meshio;
namespace fs = std::filesystem;

constexpr int kGrid = 708;  // 2 x 708^2 = 1,002,528 triangles

FloatMesh Torus(int n) {
    FloatMesh m;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const double u = 2 * std::numbers::pi * i / n, v = 2 * std::numbers::pi * j / n;
            m.points.push_back(static_cast<float>((40 + 12 * std::cos(v)) * std::cos(u)));
            m.points.push_back(static_cast<float>((40 + 12 * std::cos(v)) * std::sin(u)));
            m.points.push_back(static_cast<float>(12 * std::sin(v)));
        }
    auto at = [n](int i, int j) { return static_cast<std::uint32_t>((i % n) * n + j % n); };
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            m.indices.insert(m.indices.end(), {at(i, j), at(i + 1, j), at(i + 1, j + 1)});
            m.indices.insert(m.indices.end(), {at(i, j), at(i + 1, j + 1), at(i, j + 1)});
            m.colors.push_back(static_cast<std::uint16_t>(0x8000 | (i * 31 / n) << 10));
            m.colors.push_back(static_cast<std::uint16_t>(0x8000 | (j * 31 / n)));
        }
    return m;
}

// The test files, written once into a private directory removed at exit.
struct Files {
    Files() : dir(MakeDirectory()), ply(dir / "torus.ply"), asciiStl(dir / "torus.stl") {
        const FloatMesh mesh = Torus(kGrid);
        triangles = static_cast<std::int64_t>(mesh.indices.size() / 3);
        WriteOptions options;
        options.colors = true;
        Write(ply, mesh, Format::Ply, options);
        options.ascii = true;
        Write(asciiStl, mesh, Format::Stl, options);
    }
    ~Files() { fs::remove_all(dir); }
    static fs::path MakeDirectory() {
        std::string pattern = "/tmp/kvx-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        return pattern;
    }
    static void Write(const fs::path& file, const FloatMesh& mesh, Format format,
                      const WriteOptions& options) {
        std::ofstream out(file, std::ios::binary);
        WriteMesh(out, mesh, format, options);
    }
    const fs::path dir, ply, asciiStl;
    std::int64_t triangles = 0;
};

const Files& TestFiles() {
    static const Files files;
    return files;
}

void Ours(benchmark::State& state, const fs::path Files::*file, Format format) {
    const Files& files = TestFiles();
    for (auto _ : state)
        benchmark::DoNotOptimize(ReadMesh(files.*file, format));
    state.SetItemsProcessed(state.iterations() * files.triangles);
}

// assimp with the steps our OBJ and OFF reading uses.
void Assimp(benchmark::State& state, const fs::path Files::*file) {
    const Files& files = TestFiles();
    for (auto _ : state) {
        Assimp::Importer importer;
        const aiScene* scene =
            importer.ReadFile((files.*file).string(),
                              aiProcess_Triangulate | aiProcess_SortByPType |
                                  aiProcess_PreTransformVertices | aiProcess_ValidateDataStructure);
        if (!scene) state.SkipWithError(importer.GetErrorString());
        benchmark::DoNotOptimize(scene);
    }
    state.SetItemsProcessed(state.iterations() * files.triangles);
}

void BM_ReadPly(benchmark::State& state) {
    Ours(state, &Files::ply, Format::Ply);
}
void BM_ReadPlyAssimp(benchmark::State& state) {
    Assimp(state, &Files::ply);
}
void BM_ReadAsciiStl(benchmark::State& state) {
    Ours(state, &Files::asciiStl, Format::Stl);
}
void BM_ReadAsciiStlAssimp(benchmark::State& state) {
    Assimp(state, &Files::asciiStl);
}

// Counts what it is given and keeps nothing: the writer's own cost.
class Discard : public std::streambuf {
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
    int overflow(int c) override { return c; }
};

void BM_WriteBinaryStl(benchmark::State& state) {
    const FloatMesh mesh = Torus(kGrid);
    WriteOptions options;
    options.colors = true;
    Discard discard;
    std::ostream out(&discard);
    for (auto _ : state)
        WriteMesh(out, mesh, Format::Stl, options);
    state.SetItemsProcessed(state.iterations() *
                            static_cast<std::int64_t>(mesh.indices.size() / 3));
}

BENCHMARK(BM_ReadPly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPlyAssimp)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAsciiStl)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAsciiStlAssimp)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteBinaryStl)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
