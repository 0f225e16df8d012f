// Test meshes and comparison by content.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "maker/MStlBase.h"

namespace kvxtest {

// A closed box of 12 triangles with side `s`; coloured triangles get distinct colour codes.
inline MStlBase Box(std::int32_t s, bool colored) {
    MStlBase m;
    for (int i = 0; i < 8; ++i)
        m.AddPoint(i & 1 ? s : 0, i & 2 ? s : 0, i & 4 ? s : 0);
    const std::uint32_t faces[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                                       {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    std::uint16_t color = 0x8000;
    for (const auto& f : faces) {
        m.AddTriangle(f[0], f[1], f[2])->color = colored ? color++ : 0;
        m.AddTriangle(f[0], f[2], f[3])->color = colored ? color++ : 0;
    }
    return m;
}

// The triangles as a sorted list of (points from the smallest, colour): equal for meshes with
// the same oriented triangles and colours, whatever the order of points and triangles.
using Tri = std::array<MStlPoint, 3>;
inline std::vector<std::pair<Tri, std::uint16_t>> Content(const MStlBase& m) {
    std::vector<std::pair<Tri, std::uint16_t>> out;
    for (const MStlTriangle& t : m.Triangles()) {
        Tri p = {m.GetPoint(t.points[0]), m.GetPoint(t.points[1]), m.GetPoint(t.points[2])};
        std::rotate(p.begin(), std::min_element(p.begin(), p.end()), p.end());
        out.emplace_back(p, t.color);
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace kvxtest
