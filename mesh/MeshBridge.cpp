#include "mesh/MeshBridge.h"

#include <algorithm>
#include <array>

namespace KvxInternal {

namespace {

struct Sums {
    std::int32_t x, y, z;
};

Sums SumsOf(const MStlBase& mesh, const MStlTriangle& t) {
    std::uint32_t x = 0, y = 0, z = 0;  // wrapping, as 32-bit signed sums
    for (std::uint32_t i : t.points) {
        const MStlPoint& p = mesh.GetPoint(i);
        x += static_cast<std::uint32_t>(p.x), y += static_cast<std::uint32_t>(p.y),
            z += static_cast<std::uint32_t>(p.z);
    }
    return {static_cast<std::int32_t>(x), static_cast<std::int32_t>(y),
            static_cast<std::int32_t>(z)};
}

// Compares everything after the sums.
bool TieLess(const MStlBase& mesh, const MStlTriangle& a, const MStlTriangle& b) {
    auto sorted = [&](const MStlTriangle& t) {
        std::array<MStlPoint, 3> p = {mesh.GetPoint(t.points[0]), mesh.GetPoint(t.points[1]),
                                      mesh.GetPoint(t.points[2])};
        std::sort(p.begin(), p.end());
        return p;
    };
    const auto pa = sorted(a), pb = sorted(b);
    for (int i = 0; i < 3; ++i)
        if (!(pa[i] == pb[i])) return pa[i] < pb[i];
    MStlTriangle na = a, nb = b;
    na.CalculateNormal(mesh);
    nb.CalculateNormal(mesh);
    for (int i = 0; i < 3; ++i)
        if (!(na.normal[i] == nb.normal[i])) return na.normal[i] < nb.normal[i];
    return false;
}

// The triangles' indices (the first `count` in iteration order) in canonical order.
std::vector<std::uint32_t> CanonicalOrder(const MStlBase& mesh, std::size_t count) {
    struct Key {
        Sums sums;
        std::uint32_t index;
    };
    std::vector<Key> keys(count);
    for (std::size_t i = 0; i < count; ++i)
        keys[i] = {SumsOf(mesh, mesh.Triangles()[i]), static_cast<std::uint32_t>(i)};
    std::sort(keys.begin(), keys.end(), [&](const Key& a, const Key& b) {
        if (a.sums.x != b.sums.x) return a.sums.x < b.sums.x;
        if (a.sums.y != b.sums.y) return a.sums.y < b.sums.y;
        if (a.sums.z != b.sums.z) return a.sums.z < b.sums.z;
        return TieLess(mesh, mesh.Triangles()[a.index], mesh.Triangles()[b.index]);
    });
    std::vector<std::uint32_t> order(count);
    for (std::size_t i = 0; i < count; ++i)
        order[i] = keys[i].index;
    return order;
}

}  // namespace

bool TriangleOrderLess(const MStlBase& mesh, const MStlTriangle& a, const MStlTriangle& b) {
    const Sums sa = SumsOf(mesh, a), sb = SumsOf(mesh, b);
    if (sa.x != sb.x) return sa.x < sb.x;
    if (sa.y != sb.y) return sa.y < sb.y;
    if (sa.z != sb.z) return sa.z < sb.z;
    return TieLess(mesh, a, b);
}

void ApplyTriangleColors(MStlBase& mesh, const IVColorArray& colors) {
    const std::int32_t n = colors.GetColorCount();
    if (n <= 0) return;
    const std::size_t count =
        std::min<std::size_t>(static_cast<std::size_t>(n), mesh.NumberOfTriangles());
    const std::vector<std::uint32_t> order = CanonicalOrder(mesh, count);
    auto first = mesh.BeginTriangle();
    for (std::size_t i = 0; i < count; ++i)
        first[order[i]].SetColor(colors.GetColor(static_cast<std::uint32_t>(i)));
}

void CollectTriangleColors(const MStlBase& mesh, IVColorArray& colors) {
    colors.SetColorCount(static_cast<std::int32_t>(mesh.NumberOfTriangles()));
    for (std::uint32_t i : CanonicalOrder(mesh, mesh.NumberOfTriangles()))
        colors.AddColor(mesh.Triangles()[i].GetColor());
}

}  // namespace KvxInternal
