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

namespace {

// Runs `one` on each file; with several files a failure is reported and the next file read.
// Returns the first failure's exit code.
template <class F>
int EachFile(const std::vector<std::string>& inputs, const Common& common, F one) {
    if (inputs.size() == 1) return one(inputs.front(), true);
    int first = kExitOk;
    if (common.json) std::printf("[");
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (common.json && i > 0) std::printf(",\n");
        try {
            one(inputs[i], false);
        } catch (const CliError& e) {
            std::fprintf(stderr, "kvx: %s\n", e.what());
            if (common.json)
                std::printf("{\"file\": %s, \"error\": {\"code\": %d, \"message\": %s}}",
                            JsonString(inputs[i]).c_str(), static_cast<int>(e.code()),
                            JsonString(e.what()).c_str());
            if (first == kExitOk) first = e.code();
        }
        std::fflush(stdout);
    }
    if (common.json) std::printf("]\n");
    return first;
}

std::string UnitNote(const GridUnit& unit) {
    static constexpr struct {
        const char *unit, *words;
    } kWords[] = {{"cm", "centimetres"}, {"m", "metres"}, {"in", "inches"}, {"ft", "feet"}};
    std::string files;
    if (unit.fileUnit != "mm") {
        files = ", mesh files in " + unit.fileUnit;
        for (const auto& w : kWords)
            if (unit.fileUnit == w.unit) files = std::string(", mesh files in ") + w.words;
    }
    return unit.recorded
               ? "grid step " + unit.text + files
               : "grid step " + unit.text + " assumed: the file does not record it" + files;
}

void InfoOne(const std::string& input, const Common& common, bool alone) {
    Progress progress(common.quiet || common.json);
    const OpenedKvx opened = OpenKvx(input, common, progress);
    const KvxContent& content = opened.content;
    std::uint64_t triangles = 0;
    for (const KvxMesh& m : content.meshes)
        triangles += m.mesh.NumberOfTriangles();
    const double perTriangle = triangles > 0 ? double(content.fileSize) / double(triangles) : 0.0;
    const double mm = opened.unit.stepMm;
    const std::uint64_t blocks = opened.dataBlocks;
    // Each block is taken from the file for its name and size, and dropped.
    auto describe = [&](std::uint64_t i) { return ReadDataFileLayout(content.DataBlock(i)); };
    if (common.json) {
        std::printf(
            "{\"file\": %s, \"bytes\": %ju, \"package_bytes\": %s, \"password_protected\": %s, "
            "\"unit_mm\": %s, \"unit_recorded\": %s, \"file_unit_mm\": %s, "
            "\"triangles\": %" PRIu64
            ", \"bytes_per_triangle\": %.6f,"
            "\n \"meshes\": [",
            JsonString(input).c_str(), content.fileSize,
            content.packageSize ? std::to_string(content.packageSize).c_str() : "null",
            content.passwordProtected ? "true" : "false", Number(mm).c_str(),
            opened.unit.recorded ? "true" : "false", Number(opened.unit.fileUnitMm).c_str(),
            triangles, perTriangle);
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
        std::printf("]}%s", alone ? "\n" : "");
        return;
    }
    if (content.packageSize != 0)
        std::printf("%s: self-extracting package of %s bytes holding a KVX file of %s bytes, %s\n",
                    input.c_str(), Count(content.packageSize).c_str(),
                    Count(content.fileSize).c_str(),
                    content.passwordProtected ? "password protected" : "no password");
    else
        std::printf("%s: %s bytes, %s\n", input.c_str(), Count(content.fileSize).c_str(),
                    content.passwordProtected ? "password protected" : "no password");
    std::printf("%s, %s, %.3f bytes/triangle (%s)\n",
                Plural(content.meshes.size(), "mesh", "meshes").c_str(),
                Plural(triangles, "triangle", "triangles").c_str(), perTriangle,
                UnitNote(opened.unit).c_str());
    for (std::size_t i = 0; i < content.meshes.size(); ++i) {
        const MStlBase& m = content.meshes[i].mesh;
        const std::size_t colored = ColoredTriangles(m);
        std::printf("  %zu. \"%s\": %s, %s, %s\n", i + 1, content.meshes[i].name.c_str(),
                    Plural(m.NumberOfPoints(), "point", "points").c_str(),
                    Plural(m.NumberOfTriangles(), "triangle", "triangles").c_str(),
                    colored == 0
                        ? "no triangle colours"
                        : Plural(colored, "coloured triangle", "coloured triangles").c_str());
        if (content.meshes[i].color)
            std::printf("     mesh colour %s\n", Hex(*content.meshes[i].color).c_str());
        if (m.NumberOfPoints() > 0)
            std::printf("     box (mm) %.3f %.3f %.3f .. %.3f %.3f %.3f\n", m.GetXMin() * mm,
                        m.GetYMin() * mm, m.GetZMin() * mm, m.GetXMax() * mm, m.GetYMax() * mm,
                        m.GetZMax() * mm);
    }
    std::printf("%s\n", Plural(blocks, "data block", "data blocks").c_str());
    for (std::uint64_t i = 0; i < blocks; ++i) {
        const DataFileLayout data = describe(i);
        std::printf("  %" PRIu64 ". %s: %s\n", i + 1,
                    data.name.empty() ? "(unnamed)" : data.name.c_str(),
                    Plural(data.size, "byte", "bytes").c_str());
    }
}

void VerifyOne(const std::string& input, const Common& common, bool alone) {
    Progress progress(common.quiet || common.json);
    const OpenedKvx opened = OpenKvx(input, common, progress);
    std::uint64_t triangles = 0;
    for (const KvxMesh& m : opened.content.meshes)
        triangles += m.mesh.NumberOfTriangles();
    // The blocks were read and checked with the file; none is copied out to be counted.
    const std::uint64_t blocks = opened.dataBlocks;
    const std::size_t meshes = opened.content.meshes.size();
    if (common.json)
        std::printf(
            "{\"file\": %s, \"ok\": true, \"package\": %s, \"meshes\": %zu, "
            "\"triangles\": %" PRIu64 ", \"data_blocks\": %" PRIu64 "}%s",
            JsonString(input).c_str(), opened.content.packageSize ? "true" : "false", meshes,
            triangles, blocks, alone ? "\n" : "");
    else if (!common.quiet)
        std::printf("%s: ok (%s%s, %s, %s)\n", input.c_str(),
                    opened.content.packageSize ? "self-extracting package, " : "",
                    Plural(meshes, "mesh", "meshes").c_str(),
                    Plural(triangles, "triangle", "triangles").c_str(),
                    Plural(blocks, "data block", "data blocks").c_str());
}

}  // namespace

int Info(const std::vector<std::string>& inputs, const Common& common) {
    bool first = true;  // several files: a blank line between their descriptions
    return EachFile(inputs, common, [&](const std::string& input, bool alone) {
        if (!common.json && !first) std::printf("\n");
        first = false;
        InfoOne(input, common, alone);
        return kExitOk;
    });
}

int Verify(const std::vector<std::string>& inputs, const Common& common) {
    return EachFile(inputs, common, [&](const std::string& input, bool alone) {
        VerifyOne(input, common, alone);
        return kExitOk;
    });
}

}  // namespace kvx::cli
