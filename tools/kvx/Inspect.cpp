#include "Commands.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <set>

#include "DataBlock.h"
#include "Errors.h"
#include "Progress.h"
#include "Support.h"
#include "Text.h"
#include "Utf8.h"
#include "kvx.h"

namespace kvx::cli {

namespace fs = std::filesystem;

int Info(const std::string& input, bool json, const Common& common) {
    Progress progress(common.quiet || json);
    const KvxContent content = OpenKvx(input, common, progress);
    std::uint64_t triangles = 0;
    for (const KvxMesh& m : content.meshes)
        triangles += m.mesh.NumberOfTriangles();
    const double perTriangle = triangles > 0 ? double(content.fileSize) / double(triangles) : 0.0;
    const double mm = common.unit.size;
    const std::uint64_t blocks = content.DataBlockCount();
    // Each block is taken from the file for its name and size, and dropped.
    auto describe = [&](std::uint64_t i) { return ReadDataFileLayout(content.DataBlock(i)); };
    if (json) {
        std::printf(
            "{\"file\": %s, \"bytes\": %ju, \"password_protected\": %s, "
            "\"unit_mm\": %.17g, \"triangles\": %" PRIu64
            ", \"bytes_per_triangle\": %.6f,"
            "\n \"meshes\": [",
            JsonString(input).c_str(), content.fileSize,
            content.passwordProtected ? "true" : "false", mm, triangles, perTriangle);
        for (std::size_t i = 0; i < content.meshes.size(); ++i) {
            const MStlBase& m = content.meshes[i].mesh;
            std::printf(
                "%s\n  {\"name\": %s, \"points\": %zu, \"triangles\": %zu, "
                "\"colored_triangles\": %zu, \"color\": %s,\n   \"box_grid\": [[%d, %d, "
                "%d], [%d, %d, %d]], \"box_mm\": [[%.6f, %.6f, %.6f], [%.6f, %.6f, %.6f]]}",
                i ? "," : "", JsonString(content.meshes[i].name).c_str(), m.NumberOfPoints(),
                m.NumberOfTriangles(), ColoredTriangles(m),
                content.meshes[i].color ? JsonString(Hex(*content.meshes[i].color)).c_str()
                                        : "null",
                m.GetXMin(), m.GetYMin(), m.GetZMin(), m.GetXMax(), m.GetYMax(), m.GetZMax(),
                m.GetXMin() * mm, m.GetYMin() * mm, m.GetZMin() * mm, m.GetXMax() * mm,
                m.GetYMax() * mm, m.GetZMax() * mm);
        }
        std::printf("],\n \"data_blocks\": [");
        for (std::uint64_t i = 0; i < blocks; ++i) {
            const DataFileLayout data = describe(i);
            std::printf("%s\n  {\"name\": %s, \"bytes\": %" PRIu64 "}", i ? "," : "",
                        data.name.empty() ? "null" : JsonString(data.name).c_str(), data.size);
        }
        std::printf("]}\n");
        return kExitOk;
    }
    std::printf("%s: %s bytes, %s\n", input.c_str(), Count(content.fileSize).c_str(),
                content.passwordProtected ? "password protected" : "no password");
    std::printf("%zu mesh%s, %s triangles, %.3f bytes/triangle (grid unit %s)\n",
                content.meshes.size(), content.meshes.size() == 1 ? "" : "es",
                Count(triangles).c_str(), perTriangle, common.unit.text.c_str());
    for (std::size_t i = 0; i < content.meshes.size(); ++i) {
        const MStlBase& m = content.meshes[i].mesh;
        const std::size_t colored = ColoredTriangles(m);
        std::printf("  %zu. \"%s\": %s points, %s triangles, %s\n", i + 1,
                    content.meshes[i].name.c_str(), Count(m.NumberOfPoints()).c_str(),
                    Count(m.NumberOfTriangles()).c_str(),
                    colored == 0 ? "no triangle colours"
                                 : (Count(colored) + " coloured triangles").c_str());
        if (content.meshes[i].color)
            std::printf("     mesh colour %s\n", Hex(*content.meshes[i].color).c_str());
        if (m.NumberOfPoints() > 0)
            std::printf("     box (mm) %.3f %.3f %.3f .. %.3f %.3f %.3f\n", m.GetXMin() * mm,
                        m.GetYMin() * mm, m.GetZMin() * mm, m.GetXMax() * mm, m.GetYMax() * mm,
                        m.GetZMax() * mm);
    }
    std::printf("%s data block%s\n", Count(blocks).c_str(), blocks == 1 ? "" : "s");
    for (std::uint64_t i = 0; i < blocks; ++i) {
        const DataFileLayout data = describe(i);
        std::printf("  %" PRIu64 ". %s: %s bytes\n", i + 1,
                    data.name.empty() ? "(unnamed)" : data.name.c_str(), Count(data.size).c_str());
    }
    return kExitOk;
}

int Verify(const std::string& input, const Common& common) {
    Progress progress(common.quiet);
    const KvxContent content = OpenKvx(input, common, progress);
    std::uint64_t triangles = 0;
    for (const KvxMesh& m : content.meshes)
        triangles += m.mesh.NumberOfTriangles();
    // The blocks were read and checked with the file; none is copied out to be counted.
    const std::uint64_t blocks = content.DataBlockCount();
    if (!common.quiet)
        std::printf("%s: ok (%zu mesh%s, %s triangles, %s data block%s)\n", input.c_str(),
                    content.meshes.size(), content.meshes.size() == 1 ? "" : "es",
                    Count(triangles).c_str(), Count(blocks).c_str(), blocks == 1 ? "" : "s");
    return kExitOk;
}

}  // namespace kvx::cli
