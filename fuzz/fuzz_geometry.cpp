// Fuzz target: the point decoder of the mesh payload's format 2, on a fixed connectivity (a small
// torus with a border cut and a pinched vertex). Whatever it decodes must code again to bytes
// that decode to the same points.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "maker/CornerTable.h"
#include "maker/GeometryCoder.h"

using namespace KvxInternal;

namespace {

CornerTable Shape() {
    const int n = 5;
    std::vector<std::uint32_t> indices;
    const auto at = [](int i, int j) { return static_cast<std::uint32_t>((i % n) * n + j % n); };
    for (int i = 0; i < n; ++i)
        for (int j = 0; j + 1 < n; ++j)  // one ring of triangles left out: a border
            indices.insert(indices.end(), {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j),
                                           at(i + 1, j + 1), at(i, j + 1)});
    // A second fan at point 0, and a point of its own.
    indices.insert(indices.end(), {0, n * n, n * n + 1});
    return CornerTable(indices.data(), indices.size() / 3, n * n + 3);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const CornerTable table = Shape();
    const geometry::Connectivity mesh{table.vertex.data(), table.opposite.data(), table.corners(),
                                      table.vertices()};
    LargeVector<bool> coded(table.vertices(), true);
    coded[table.points - 1] = false;  // the point no triangle uses
    LargeVector<MStlPoint> points;
    if (!geometry::Decode(mesh, coded, data, data + size, points)) return 0;
    std::vector<std::uint8_t> again;
    geometry::Encode(mesh, points, coded, again);
    LargeVector<MStlPoint> back;
    if (!geometry::Decode(mesh, coded, again.data(), again.data() + again.size(), back))
        std::abort();
    for (std::size_t v = 0; v < points.size(); ++v)
        if (coded[v] &&
            (back[v].x != points[v].x || back[v].y != points[v].y || back[v].z != points[v].z))
            std::abort();
    return 0;
}
