#include <gtest/gtest.h>

#include <random>

#include "maker/MFile.h"
#include "maker/MStlCompressor.h"
#include "mesh/MeshBridge.h"

namespace {

using namespace KvxInternal;

TEST(MeshBridge, TriangleOrderTies) {
    MStlBase m;
    const auto o = m.AddPoint(0, 0, 0), x = m.AddPoint(3, 0, 0), y = m.AddPoint(0, 3, 0);
    const auto far = m.AddPoint(1, 100, -100), mid = m.AddPoint(1, 1, 1),
               twin = m.AddPoint(2, 2, -1);
    m.AddTriangle(o, x, far);     // 0: x sum 4
    m.AddTriangle(o, y, x);       // 1: x sum 3
    m.AddTriangle(o, x, y);       // 2: same points as 1, other orientation
    m.AddTriangle(o, mid, twin);  // 3: sums (3, 3, 0) like 1 and 2, other points
    const auto& t = m.Triangles();
    EXPECT_TRUE(TriangleOrderLess(m, t[1], t[0]));  // x sums decide, whatever y and z
    EXPECT_FALSE(TriangleOrderLess(m, t[0], t[1]));
    // Equal sums: sorted points decide; (0,0,0),(0,3,0),(3,0,0) vs (0,0,0),(1,1,1),(2,2,-1).
    EXPECT_TRUE(TriangleOrderLess(m, t[1], t[3]));
    EXPECT_FALSE(TriangleOrderLess(m, t[3], t[1]));
    // Same points, opposite orientation: the normals decide (-z before +z).
    EXPECT_TRUE(TriangleOrderLess(m, t[1], t[2]));
    EXPECT_FALSE(TriangleOrderLess(m, t[2], t[1]));
    EXPECT_FALSE(TriangleOrderLess(m, t[2], t[2]));
}

// Colours collected in canonical order find their triangles again after the compressor has
// reordered them.
TEST(MeshBridge, ColoursSurviveACompressorRoundTrip) {
    MStlBase mesh;
    std::mt19937 rng(3);
    for (int i = 0; i < 300; ++i)
        mesh.AddPoint(static_cast<std::int32_t>(rng() % 50), static_cast<std::int32_t>(rng() % 50),
                      static_cast<std::int32_t>(rng() % 50));
    for (int i = 0; i < 500; ++i) {
        MStlTriangle* t = mesh.AddTriangle(rng() % 300, rng() % 300, rng() % 300);
        t->color = static_cast<std::uint16_t>(0x8000 | (rng() & 0x7FFF));
    }
    IVColorArray colors;
    CollectTriangleColors(mesh, colors);
    EXPECT_EQ(colors.GetColorCount(), 500);

    MFileMemory file;
    file.OPEN_WRITE(0, nullptr);
    MStlCompressor compressor;
    compressor.SetDataPointer(&mesh);
    compressor.SetFile(&file);
    ASSERT_TRUE(compressor.Operate(nullptr));
    file.CHANGE_MODE(1);
    MStlBase back;
    compressor.SetDataPointer(&back);
    ASSERT_TRUE(compressor.Operate(nullptr));
    for (MStlTriangle& t : std::span(back.BeginTriangle(), back.EndTriangle()))
        t.color = 0;
    ApplyTriangleColors(back, colors);

    IVColorArray again;
    CollectTriangleColors(back, again);
    EXPECT_EQ(again.GetValues(), colors.GetValues());

    // A shorter array colours only the first triangles in iteration order; count 0 changes none.
    IVColorArray none;
    none.SetColorCount(0);
    MStlBase copy = back;
    ApplyTriangleColors(copy, none);
    EXPECT_TRUE(std::equal(
        copy.BeginTriangle(), copy.EndTriangle(), back.BeginTriangle(),
        [](const MStlTriangle& a, const MStlTriangle& b) { return a.color == b.color; }));
}

}  // namespace
