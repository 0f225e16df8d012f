#include "Commands.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <tuple>

#include "Errors.h"
#include "Progress.h"
#include "Support.h"
#include "Text.h"
#include "Utf8.h"
#include "kvx.h"

namespace kvx::cli {

namespace fs = std::filesystem;

int Compare(const std::string& first, const std::string& second, bool colors,
            const Common& common) {
    // A triangle as grid coordinates starting at its smallest point (orientation kept), with
    // its colour when colours count.
    using Key = std::tuple<std::array<std::int32_t, 9>, std::uint16_t>;
    auto keys = [&](const std::string& file) {
        MStlBase mesh;
        ReadInput(file, common, colors, mesh);
        std::vector<Key> out;
        out.reserve(mesh.NumberOfTriangles());
        for (const MStlTriangle& t : mesh.Triangles()) {
            std::array<MStlPoint, 3> p = {mesh.GetPoint(t.points[0]), mesh.GetPoint(t.points[1]),
                                          mesh.GetPoint(t.points[2])};
            std::rotate(p.begin(), std::min_element(p.begin(), p.end()), p.end());
            out.emplace_back(std::array<std::int32_t, 9>{p[0].x, p[0].y, p[0].z, p[1].x, p[1].y,
                                                         p[1].z, p[2].x, p[2].y, p[2].z},
                             colors ? t.color : 0);
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    const std::vector<Key> a = keys(first), b = keys(second);
    std::vector<Key> onlyA, onlyB;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(onlyA));
    std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(onlyB));
    if (onlyA.empty() && onlyB.empty()) {
        if (!common.quiet)
            std::printf("same: %s triangles on the %s grid%s\n", Count(a.size()).c_str(),
                        common.unit.text.c_str(), colors ? ", colours included" : "");
        return kExitOk;
    }
    std::printf("different: %s triangles only in %s, %s only in %s\n", Count(onlyA.size()).c_str(),
                first.c_str(), Count(onlyB.size()).c_str(), second.c_str());
    return kExitDifferent;
}

}  // namespace kvx::cli
