#include "Grid.h"

#include <meshoptimizer.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <vector>

#include "Errors.h"

namespace kvx::cli {

GridUnit ParseUnit(const std::string& text) {
    static constexpr struct {
        const char* suffix;
        double millimetres;
    } kSuffixes[] = {{"nm", 1e-6}, {"um", 1e-3}, {"µm", 1e-3}, {"mm", 1.0},
                     {"cm", 10.0}, {"in", 25.4}, {"m", 1000.0}};
    std::string number = text;
    double scale = 1.0;
    for (const auto& s : kSuffixes) {
        const std::string suffix = s.suffix;
        if (number.size() > suffix.size() &&
            number.compare(number.size() - suffix.size(), suffix.size(), suffix) == 0) {
            number.resize(number.size() - suffix.size());
            scale = s.millimetres;
            break;
        }
    }
    std::size_t used = 0;
    double value = 0;
    try {
        value = std::stod(number, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != number.size() || !std::isfinite(value * scale) || value <= 0)
        throw CliError(kExitUsage, "--unit: '" + text +
                                       "' is not a positive length (for example 1um, 10nm, 0.01mm "
                                       "or 0.001)");
    return GridUnit{value * scale, text};
}

void ToGrid(const meshio::FloatMesh& in, const GridUnit& unit, const std::string& file,
            MStlBase& out) {
    const std::size_t count = in.points.size() / 3;
    std::vector<MStlPoint> grid(count);
    const double inverse = 1.0 / unit.size;
    constexpr double lo = std::numeric_limits<std::int32_t>::min();
    constexpr double hi = std::numeric_limits<std::int32_t>::max();
    for (std::size_t i = 0; i < count; ++i) {
        std::int32_t c[3];
        for (int k = 0; k < 3; ++k) {
            const double v = std::nearbyint(static_cast<double>(in.points[3 * i + k]) * inverse);
            if (!(v >= lo && v <= hi)) {
                char what[160];
                std::snprintf(what, sizeof what,
                              "%s: coordinate %g does not fit the grid of %s steps (at most "
                              "%.6g); choose a larger --unit",
                              file.c_str(), static_cast<double>(in.points[3 * i + k]),
                              unit.text.c_str(), hi * unit.size);
                throw CliError(kExitGrid, what);
            }
            c[k] = static_cast<std::int32_t>(v);
        }
        grid[i] = MStlPoint{c[0], c[1], c[2]};
    }
    // Points that meet on the grid become one point.
    std::vector<std::uint32_t> remap(count);
    const std::size_t unique = meshopt_generateVertexRemap(remap.data(), nullptr, count,
                                                           grid.data(), count, sizeof(MStlPoint));
    std::vector<MStlPoint> points(unique);
    meshopt_remapVertexBuffer(points.data(), grid.data(), count, sizeof(MStlPoint), remap.data());
    std::vector<std::uint32_t> indices(in.indices.size());
    for (std::size_t i = 0; i < indices.size(); ++i)
        indices[i] = remap[in.indices[i]];
    out.ClearStl(true);
    out.SetPoints(std::move(points));
    if (!out.SetTriangles(indices, in.colors))
        throw CliError(kExitInput, file + ": inconsistent mesh (bad point index or colour count)");
}

meshio::FloatMesh FromGrid(const MStlBase& mesh, const GridUnit& unit, bool colors) {
    meshio::FloatMesh out;
    out.points.reserve(3 * mesh.NumberOfPoints());
    for (const MStlPoint& p : mesh.Points()) {
        out.points.push_back(static_cast<float>(p.x * unit.size));
        out.points.push_back(static_cast<float>(p.y * unit.size));
        out.points.push_back(static_cast<float>(p.z * unit.size));
    }
    out.indices.reserve(3 * mesh.NumberOfTriangles());
    for (const MStlTriangle& t : mesh.Triangles())
        out.indices.insert(out.indices.end(), t.points, t.points + 3);
    if (colors && mesh.HasColoredTriangles()) {
        out.colors.reserve(mesh.NumberOfTriangles());
        for (const MStlTriangle& t : mesh.Triangles())
            out.colors.push_back(t.color);
    }
    return out;
}

}  // namespace kvx::cli
