// The operators end to end on one KVX file, for comparisons with other front ends (the Python
// module's bench/bench_python.py): the median over REPS runs of
//  - import: Operate (colours needed, triangle colours) and every mesh taken with
//    GetNextOutputStl;
//  - export: the meshes so read written again (with their triangle colours) to OUT.
// Prints one JSON object: {"import_ms": ..., "export_ms": ..., "triangles": ...}.
//
//   kvx_bench_operators FILE OUT [REPS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "operators/MStlOperatorKVX.h"

namespace {

// Paths are taken as ASCII/Latin-1 bytes, which is all the benchmark scripts pass.
std::wstring Wide(const char* s) {
    return std::wstring(s, s + std::char_traits<char>::length(s));
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: kvx_bench_operators FILE OUT [REPS]\n");
        return 2;
    }
    const std::wstring file = Wide(argv[1]);
    const std::wstring out = Wide(argv[2]);
    const int reps = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    using Clock = std::chrono::steady_clock;
    std::vector<double> imports, exports;
    std::vector<std::unique_ptr<MStlBase>> meshes;
    std::size_t triangles = 0;
    for (int r = 0; r < reps; ++r) {
        meshes.clear();
        const auto t0 = Clock::now();
        MStlOperatorKVXImport importer;
        importer.SetFileName(file);
        importer.SetColorsNeeded(true);
        importer.ImportTriangleColor(true);
        if (!importer.Operate()) return 1;
        for (unsigned long i = 0; i < importer.GetNumberOfOutputStls(); ++i) {
            meshes.push_back(std::make_unique<MStlBase>());
            if (!importer.GetNextOutputStl(meshes.back().get())) return 1;
        }
        imports.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    triangles = 0;
    for (const auto& m : meshes)
        triangles += m->NumberOfTriangles();
    for (int r = 0; r < reps; ++r) {
        const auto t0 = Clock::now();
        MStlOperatorKVXExport exporter;
        exporter.SetFileName(out);
        exporter.ExportTriangleColor(true);
        for (const auto& m : meshes)
            exporter.AddStl(m.get(), m->GetName());
        if (!exporter.Operate()) return 1;
        exports.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::printf("{\"import_ms\": %.3f, \"export_ms\": %.3f, \"triangles\": %zu}\n", Median(imports),
                Median(exports), triangles);
    return 0;
}
