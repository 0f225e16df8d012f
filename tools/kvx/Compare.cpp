#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <tuple>

#include "Commands.h"
#include "Errors.h"
#include "Progress.h"
#include "Support.h"
#include "Text.h"

namespace kvx::cli {

namespace fs = std::filesystem;

namespace {

// A triangle as its grid corners, starting at the corner that makes the smallest of its three
// rotations (orientation kept, so a flipped triangle differs), with its colour when colours
// count. Two triangles have the same key exactly when they have the same corners in the same
// cyclic order, whatever corner each starts at, also when two corners are equal.
using Corners = std::array<std::int32_t, 9>;
using Key = std::tuple<Corners, std::uint16_t>;

Key KeyOf(const MStlBase& mesh, const MStlTriangle& t, bool colors) {
    const MStlPoint p[3] = {mesh.GetPoint(t.points[0]), mesh.GetPoint(t.points[1]),
                            mesh.GetPoint(t.points[2])};
    Corners best{};
    for (int r = 0; r < 3; ++r) {
        const MStlPoint &a = p[r], &b = p[(r + 1) % 3], &c = p[(r + 2) % 3];
        const Corners rotated = {a.x, a.y, a.z, b.x, b.y, b.z, c.x, c.y, c.z};
        if (r == 0 || rotated < best) best = rotated;
    }
    return {best, colors ? t.color : std::uint16_t{0}};
}

bool IsKvx(const std::string& file) {
    std::string ext = fs::path(file).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == ".kvx" || ext == ".exe";
}

struct Side {
    std::vector<Key> keys;
    GridUnit unit;
};

// The triangles of a mesh file, or of all meshes of a KVX file, sorted.
Side Read(const std::string& file, bool colors, std::optional<meshio::Format> format,
          const Common& common) {
    Side side;
    side.unit = common.unit;
    auto add = [&](const MStlBase& mesh) {
        for (const MStlTriangle& t : mesh.Triangles())
            side.keys.push_back(KeyOf(mesh, t, colors));
    };
    if (!format && IsKvx(file)) {
        Progress progress(true);
        const OpenedKvx opened = OpenKvx(file, common, progress);
        side.unit = opened.unit;
        for (const KvxMesh& m : opened.content.meshes)
            add(m.mesh);
    } else {
        ReadChoices choices;
        choices.format = format;
        choices.colors = colors;
        for (const GridMesh& m : ReadMeshFile(file, common, choices))
            add(m.mesh);
    }
    std::sort(side.keys.begin(), side.keys.end());
    return side;
}

std::string Describe(const Key& key, const GridUnit& unit) {
    const Corners& c = std::get<0>(key);
    const double step = unit.Step();
    std::string out;
    for (int k = 0; k < 3; ++k)
        out += Format("%s(%.6g, %.6g, %.6g)", k ? " " : "", c[3 * k] * step, c[3 * k + 1] * step,
                      c[3 * k + 2] * step);
    return out;
}

}  // namespace

int Compare(const std::string& first, const std::string& second, bool colors,
            std::optional<meshio::Format> format, const Common& common) {
    const Side a = Read(first, colors, format, common), b = Read(second, colors, format, common);
    if (std::fabs(a.unit.stepMm - b.unit.stepMm) > 1e-9 * a.unit.stepMm)
        throw CliError(kExitUsage, "compare: the two files use different grid steps (" +
                                       a.unit.text + " and " + b.unit.text + ")");
    std::vector<Key> onlyA, onlyB;
    std::set_difference(a.keys.begin(), a.keys.end(), b.keys.begin(), b.keys.end(),
                        std::back_inserter(onlyA));
    std::set_difference(b.keys.begin(), b.keys.end(), a.keys.begin(), a.keys.end(),
                        std::back_inserter(onlyB));
    if (onlyA.empty() && onlyB.empty()) {
        if (!common.quiet)
            std::printf("same: %s on the %s grid%s\n",
                        Plural(a.keys.size(), "triangle", "triangles").c_str(), a.unit.text.c_str(),
                        colors ? ", colours included" : "");
        return kExitOk;
    }
    if (!common.quiet) {
        std::printf("different: %s only in %s, %s only in %s\n",
                    Plural(onlyA.size(), "triangle", "triangles").c_str(), first.c_str(),
                    Count(onlyB.size()).c_str(), second.c_str());
        const bool fromA = !onlyA.empty();
        const Key& example = fromA ? onlyA.front() : onlyB.front();
        std::printf("for example, only in %s: %s (%s)%s\n", (fromA ? first : second).c_str(),
                    Describe(example, a.unit).c_str(), a.unit.fileUnit.c_str(),
                    colors ? Format(", colour %04x", std::get<1>(example)).c_str() : "");
    }
    return kExitDifferent;
}

}  // namespace kvx::cli
