#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "maker/MStlBase.h"

namespace {

TEST(MStlColor, SixteenBitCodes) {
    EXPECT_EQ(ConvertTo16BitValue(MStlColor{}), 0);
    EXPECT_EQ(ConvertTo16BitValue(MStlColor{255, 0, 0, true}), 0x8000 | 31 << 10);
    EXPECT_EQ(ConvertTo16BitValue(MStlColor{0, 0, 255, true}), 0x8000 | 31);
    EXPECT_EQ(ConvertTo16BitValue(MStlColor{4, 4, 4, true}), 0x8000);  // rounds down below 4.1
    EXPECT_EQ(ConvertTo16BitValue(MStlColor{5, 5, 5, true}), 0x8000 | 1 << 10 | 1 << 5 | 1);
    EXPECT_FALSE(ConvertFrom16BitValue(0x7FFF).valid);  // no valid bit: no colour
    // Every code survives the trip through 8 bits.
    for (std::uint32_t code = 0x8000; code <= 0xFFFF; ++code)
        ASSERT_EQ(ConvertTo16BitValue(ConvertFrom16BitValue(static_cast<std::uint16_t>(code))),
                  code);
}

TEST(MStlBase, BuildQueryAndMove) {
    MStlBase mesh;
    const auto a = mesh.AddPoint(0, 0, 0), b = mesh.AddPoint(10, 0, 0),
               c = mesh.AddPoint(0, 10, -5);
    mesh.AddPoint(1000, 1000, 1000);  // unused: not in the triangles' box
    MStlTriangle* t = mesh.AddTriangle(a, b, c);
    ASSERT_NE(t, nullptr);
    t->CalculateNormal(mesh);
    double n[3];
    t->GetNormal(n);
    EXPECT_NEAR(n[2], 10 / std::sqrt(125.0), 1e-6);
    EXPECT_EQ(mesh.AddTriangle(a, b, 4), nullptr);
    EXPECT_FALSE(mesh.HasColoredTriangles());
    mesh.BeginTriangle()->SetColor(MStlColor{255, 255, 255, true});
    EXPECT_TRUE(mesh.HasColoredTriangles());
    mesh.UpdateExtremes();
    EXPECT_EQ(mesh.GetXMax(), 10);
    EXPECT_EQ(mesh.GetZMin(), -5);
    mesh.UpdateExtremes(true);
    EXPECT_EQ(mesh.GetXMax(), 1000);

    MStlBase target;
    target.AddPoint(7, 7, 7);
    const MStlPoint* storage = mesh.Points().data();
    mesh.MoveTo(target, nullptr);
    EXPECT_EQ(target.NumberOfPoints(), 4u);
    EXPECT_EQ(target.Points().data(), storage);  // the buffers were handed over, not copied
    EXPECT_EQ(target.NumberOfTriangles(), 1u);
    EXPECT_EQ(mesh.NumberOfPoints(), 0u);
    EXPECT_EQ(mesh.NumberOfTriangles(), 0u);
    // The box goes along with the points.
    EXPECT_EQ(target.GetXMax(), 1000);
    EXPECT_EQ(target.GetZMin(), -5);
    EXPECT_EQ(mesh.GetXMax(), 0);

    const std::uint32_t bad[] = {0, 1, 9};
    EXPECT_FALSE(target.SetTriangles(bad));
    EXPECT_EQ(target.NumberOfTriangles(), 1u);
    target.ClearStl(true);
    target.SetTriangleBufferSize(0);
    EXPECT_EQ(target.NumberOfPoints() + target.NumberOfTriangles(), 0u);
}

}  // namespace

// Bulk filling and single triangles give the same unit normals, down to the bits, for ordinary,
// degenerate and grid-spanning triangles (whose squared length does not fit a float).
TEST(MStlBase, NormalsInBulkAndOneByOne) {
    constexpr std::int32_t lo = INT32_MIN, hi = INT32_MAX;
    const struct {
        MStlPoint a, b, c;
        float expected[3];
    } cases[] = {
        {{0, 0, 0}, {10, 0, 0}, {0, 10, 0}, {0, 0, 1}},
        {{0, 0, 0}, {0, 0, 7}, {0, 3, 0}, {-1, 0, 0}},
        {{5, 5, 5}, {5, 5, 5}, {9, 9, 9}, {0, 0, 0}},
        {{1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {0, 0, 0}},
        {{lo, lo, 0}, {hi, lo, 0}, {lo, hi, 0}, {0, 0, 1}},
        {{lo, 0, lo}, {lo, 0, hi}, {hi, 0, lo}, {0, 1, 0}},
    };
    MStlBase bulk;
    std::vector<MStlPoint> points;
    std::vector<std::uint32_t> indices;
    for (const auto& c : cases) {
        for (const MStlPoint& p : {c.a, c.b, c.c}) {
            indices.push_back(static_cast<std::uint32_t>(points.size()));
            points.push_back(p);
        }
    }
    // More than one batch, so batch boundaries are crossed.
    for (int copy = 0; copy < 100; ++copy)
        for (std::size_t k = 0; k < 3 * std::size(cases); ++k)
            indices.push_back(indices[k]);
    bulk.SetPoints(points);
    ASSERT_TRUE(bulk.SetTriangles(indices));
    for (std::size_t t = 0; t < bulk.NumberOfTriangles(); ++t) {
        const auto& c = cases[t % std::size(cases)];
        MStlTriangle single = bulk.Triangles()[t];
        single.CalculateNormal(bulk);
        for (int k = 0; k < 3; ++k) {
            EXPECT_EQ(bulk.Triangles()[t].normal[k], single.normal[k]) << t;
            EXPECT_NEAR(single.normal[k], c.expected[k], 1e-6) << t;
        }
    }
}

namespace {

bool SameTriangle(const MStlTriangle& a, const MStlTriangle& b) {
    return std::equal(a.points, a.points + 3, b.points) &&
           std::memcmp(a.normal, b.normal, sizeof a.normal) == 0 && a.color == b.color;
}

}  // namespace

// Decoding fills the triangles from the 3 * count indices the decoder writes into the buffer it
// is given: the result replaces what the mesh held, with normals and colours as SetTriangles
// gives them, across batch boundaries; any failure (the decoder's, an index that is no point,
// a colour count that does not match) leaves the triangles as they were.
TEST(MStlBase, DecodeTriangles) {
    MStlBase mesh;
    for (std::int32_t i = 0; i < 600; ++i)
        mesh.AddPoint(i, i * i % 1009, i % 7);
    mesh.AddTriangle(5, 6, 7);  // replaced by every decode that succeeds
    auto decoderOf = [](const std::vector<std::uint32_t>& indices, bool ok = true) {
        return [&indices, ok](std::uint32_t* out) {
            std::copy(indices.begin(), indices.end(), out);
            return ok;
        };
    };
    for (const std::size_t count : {0u, 1u, 255u, 256u, 257u, 513u}) {
        std::vector<std::uint32_t> indices;
        std::vector<std::uint16_t> colors;
        for (std::uint32_t t = 0; t < count; ++t) {
            indices.insert(indices.end(), {t, t + 2, t + 1});
            colors.push_back(static_cast<std::uint16_t>(0x8000 | t));
        }
        ASSERT_TRUE(mesh.DecodeTriangles(count, decoderOf(indices), colors)) << count;
        MStlBase bulk = mesh;
        ASSERT_TRUE(bulk.SetTriangles(indices, colors));
        ASSERT_EQ(mesh.NumberOfTriangles(), count);
        for (std::size_t t = 0; t < count; ++t) {
            const MStlTriangle& got = mesh.Triangles()[t];
            ASSERT_TRUE(std::equal(got.points, got.points + 3, &indices[3 * t])) << count << t;
            ASSERT_TRUE(SameTriangle(got, bulk.Triangles()[t])) << count << t;
            ASSERT_EQ(got.color, colors[t]) << count << t;
        }
        // Without colour codes every triangle has none.
        ASSERT_TRUE(mesh.DecodeTriangles(count, decoderOf(indices)));
        EXPECT_FALSE(mesh.HasColoredTriangles());
    }

    std::vector<std::uint32_t> good;
    for (std::uint32_t t = 0; t < 257; ++t)
        good.insert(good.end(), {t, t + 1, t + 2});
    std::vector<std::uint32_t> farIndex = good;
    farIndex.back() = 600;  // the last triangle, in the third batch
    const std::vector<std::uint16_t> none, fewColors(256, 0x8000);
    const struct {
        const char* what;
        const std::vector<std::uint32_t>& indices;
        bool decoderOk;
        const std::vector<std::uint16_t>& colors;
    } failures[] = {
        {"the decoder fails", good, false, none},
        {"an index is no point", farIndex, true, none},
        {"one colour code too few", good, true, fewColors},
    };
    for (const auto& f : failures) {
        ASSERT_TRUE(mesh.DecodeTriangles(3, decoderOf({0, 1, 2, 3, 4, 5, 6, 7, 8})));
        const std::vector<MStlTriangle> before(mesh.Triangles().begin(), mesh.Triangles().end());
        EXPECT_FALSE(mesh.DecodeTriangles(257, decoderOf(f.indices, f.decoderOk), f.colors))
            << f.what;
        ASSERT_EQ(mesh.NumberOfTriangles(), before.size()) << f.what;
        for (std::size_t t = 0; t < before.size(); ++t)
            EXPECT_TRUE(SameTriangle(mesh.Triangles()[t], before[t])) << f.what << t;
    }
}
