#include "Grid.h"

#include <meshoptimizer.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "Errors.h"

namespace kvx::cli {

namespace {

// A length with one of these suffixes, or a plain number (`plain` millimetres per unit).
std::optional<double> ParseLength(const std::string& text, double plain) {
    static constexpr struct {
        const char* suffix;
        double millimetres;
    } kSuffixes[] = {{"nm", 1e-6}, {"um", 1e-3}, {"\u00b5m", 1e-3}, {"mm", 1.0},
                     {"cm", 10.0}, {"in", 25.4}, {"ft", 304.8},     {"m", 1000.0}};
    std::string number = text;
    double scale = plain;
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
    if (used == 0 || used != number.size() || !std::isfinite(value * scale) || !(value > 0))
        return std::nullopt;
    return value * scale;
}

}  // namespace

GridUnit ParseUnit(const std::string& grid, const std::string& fileUnit) {
    static constexpr struct {
        const char* name;
        double millimetres;
    } kFileUnits[] = {{"mm", 1.0}, {"cm", 10.0}, {"m", 1000.0}, {"in", 25.4}, {"ft", 304.8}};
    GridUnit unit;
    bool known = false;
    for (const auto& u : kFileUnits)
        if (fileUnit == u.name) {
            unit.fileUnitMm = u.millimetres;
            unit.fileUnit = u.name;
            known = true;
        }
    if (!known)
        throw CliError(kExitUsage,
                       "--file-unit: '" + fileUnit + "' is not one of mm, cm, m, in, ft");
    const std::optional<double> step = ParseLength(grid, unit.fileUnitMm);
    if (!step)
        throw CliError(kExitUsage, "--grid: '" + grid +
                                       "' is not a positive length (for example 1um, 10nm, 0.01mm "
                                       "or 0.001)");
    unit.stepMm = *step;
    unit.text = grid;
    return unit;
}

std::string LengthText(double mm) {
    const auto text = [](double value, const char* suffix) {
        char out[64];
        std::snprintf(out, sizeof out, "%.6g%s", value, suffix);
        return std::string(out);
    };
    if (mm < 1e-3) return text(mm * 1e6, "nm");
    if (mm < 1.0) return text(mm * 1e3, "um");
    if (mm < 1000.0) return text(mm, "mm");
    return text(mm / 1000.0, "m");
}

GridReport ToGrid(const meshio::FloatMesh& in, const GridUnit& unit, const std::string& file,
                  MStlBase& out) {
    const std::size_t count = in.points.size() / 3;
    std::vector<MStlPoint> grid(count);
    const double inverse = unit.fileUnitMm / unit.stepMm;
    constexpr double lo = std::numeric_limits<std::int32_t>::min();
    constexpr double hi = std::numeric_limits<std::int32_t>::max();
    for (std::size_t i = 0; i < count; ++i) {
        std::int32_t c[3];
        for (int k = 0; k < 3; ++k) {
            const double v = std::nearbyint(static_cast<double>(in.points[3 * i + k]) * inverse);
            if (!(v >= lo && v <= hi)) {
                char what[200];
                std::snprintf(what, sizeof what,
                              "%s: coordinate %g does not fit the grid of %s steps (at most "
                              "%.6g %s); choose a larger --grid",
                              file.c_str(), static_cast<double>(in.points[3 * i + k]),
                              unit.text.c_str(), hi * unit.Step(), unit.fileUnit.c_str());
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
    std::vector<MStlPoint>().swap(grid);

    // What the rounding cost: the input's distinct positions (-0 counts as 0) against the
    // grid's, and the triangles that had three distinct corners and lost one.
    GridReport report;
    report.triangles = in.indices.size() / 3;
    // Points that the grid joined were all at one position already (the usual case: the input
    // repeats corners, a fine grid keeps the rest apart): nothing was lost, and the input's
    // positions need not be counted. One pass against the first point of each grid point.
    bool joined = false;
    if (unique < count) {
        const auto same = [&](std::size_t a, std::size_t b) {
            for (int k = 0; k < 3; ++k)
                if (in.points[3 * a + k] + 0.0f != in.points[3 * b + k] + 0.0f) return false;
            return true;
        };
        std::vector<std::uint32_t> first(unique, 0xFFFFFFFFu);
        for (std::size_t i = 0; i < count && !joined; ++i) {
            std::uint32_t& f = first[remap[i]];
            if (f == 0xFFFFFFFFu)
                f = static_cast<std::uint32_t>(i);
            else
                joined = !same(f, i);
        }
    }
    if (joined) {
        std::vector<float> exact(in.points.size());
        for (std::size_t i = 0; i < exact.size(); ++i)
            exact[i] = in.points[i] + 0.0f;
        std::vector<std::uint32_t> before(count);
        const std::size_t distinct = meshopt_generateVertexRemap(
            before.data(), nullptr, count, exact.data(), count, 3 * sizeof(float));
        report.mergedPoints = distinct - unique;
        if (report.mergedPoints > 0)
            for (std::size_t t = 0; t + 2 < in.indices.size(); t += 3) {
                const std::uint32_t a = in.indices[t], b = in.indices[t + 1], c = in.indices[t + 2];
                if (a >= count || b >= count || c >= count) continue;  // refused below
                const bool distinctBefore =
                    before[a] != before[b] && before[b] != before[c] && before[a] != before[c];
                const bool distinctAfter =
                    remap[a] != remap[b] && remap[b] != remap[c] && remap[a] != remap[c];
                report.collapsedTriangles += distinctBefore && !distinctAfter;
            }
    }

    std::vector<std::uint32_t> indices(in.indices.size());
    for (std::size_t i = 0; i < indices.size(); ++i)
        indices[i] = in.indices[i] < count ? remap[in.indices[i]] : 0xFFFFFFFFu;
    out.ClearStl(true);
    out.SetPoints(std::move(points));
    if (!out.SetTriangles(indices, in.colors))
        throw CliError(kExitInput, file + ": inconsistent mesh (bad point index or colour count)");
    return report;
}

meshio::FloatMesh FromGrid(const MStlBase& mesh, const GridUnit& unit, bool colors) {
    meshio::FloatMesh out;
    const double step = unit.Step();
    out.points.reserve(3 * mesh.NumberOfPoints());
    for (const MStlPoint& p : mesh.Points()) {
        out.points.push_back(static_cast<float>(p.x * step));
        out.points.push_back(static_cast<float>(p.y * step));
        out.points.push_back(static_cast<float>(p.z * step));
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

namespace {

constexpr unsigned short kUnitMagic = 0x554B;
constexpr unsigned short kUnitLayout = 1;

void PutDouble(std::vector<unsigned short>& out, double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned short>(bits >> (16 * i)));
}

double GetDouble(std::span<const unsigned short> words) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 4; ++i)
        bits |= std::uint64_t{words[i]} << (16 * i);
    return std::bit_cast<double>(bits);
}

}  // namespace

std::vector<unsigned short> UnitBlock(const GridUnit& unit) {
    std::vector<unsigned short> out = {kUnitMagic, kUnitLayout};
    PutDouble(out, unit.stepMm);
    PutDouble(out, unit.fileUnitMm);
    return out;
}

std::optional<GridUnit> ReadUnitBlock(std::span<const unsigned short> block) {
    if (block.size() != 10 || block[0] != kUnitMagic || block[1] != kUnitLayout)
        return std::nullopt;
    const double step = GetDouble(block.subspan(2)), file = GetDouble(block.subspan(6));
    const auto sane = [](double mm) { return std::isfinite(mm) && mm >= 1e-12 && mm <= 1e12; };
    if (!sane(step) || !sane(file)) return std::nullopt;
    GridUnit unit;
    unit.stepMm = step;
    unit.text = LengthText(step);
    unit.fileUnitMm = file;
    unit.fileUnit = LengthText(file);
    for (const auto& [name, mm] :
         {std::pair{"mm", 1.0}, std::pair{"cm", 10.0}, std::pair{"m", 1000.0},
          std::pair{"in", 25.4}, std::pair{"ft", 304.8}})
        if (file == mm) unit.fileUnit = name;
    unit.recorded = true;
    return unit;
}

}  // namespace kvx::cli
