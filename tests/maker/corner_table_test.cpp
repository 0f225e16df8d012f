#include "maker/CornerTable.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

namespace {

using KvxInternal::CornerTable;
using Indices = std::vector<std::uint32_t>;

std::uint32_t PointCount(const Indices& indices) {
    std::uint32_t n = 0;
    for (const std::uint32_t i : indices)
        n = std::max(n, i + 1);
    return n;
}

// What must hold for every table: joined corners face each other along the same edge in
// opposite directions, each vertex's corners form one fan, corners keep their points.
void ExpectSound(const CornerTable& t, const Indices& indices) {
    for (std::uint32_t c = 0; c < t.corners(); ++c) {
        const std::uint32_t tri = t.triangle[c / 3];
        EXPECT_EQ(t.PointOf(t.vertex[c]), indices[3 * tri + c % 3]) << c;
        const std::uint32_t o = t.opposite[c];
        if (o == CornerTable::kBorder) continue;
        EXPECT_EQ(t.opposite[o], c);
        EXPECT_EQ(t.vertex[CornerTable::Next(c)], t.vertex[CornerTable::Prev(o)]);
        EXPECT_EQ(t.vertex[CornerTable::Prev(c)], t.vertex[CornerTable::Next(o)]);
    }
    // One fan per vertex: from any corner, swinging forwards and backwards reaches them all.
    std::vector<std::size_t> cornersOf(t.vertices());
    for (std::uint32_t c = 0; c < t.corners(); ++c)
        ++cornersOf[t.vertex[c]];
    std::vector<bool> done(t.vertices(), false);
    for (std::uint32_t c0 = 0; c0 < t.corners(); ++c0) {
        const std::uint32_t v = t.vertex[c0];
        if (done[v]) continue;
        done[v] = true;
        std::set<std::uint32_t> fan{c0};
        for (std::uint32_t c = c0;;) {
            const std::uint32_t o = t.opposite[CornerTable::Prev(c)];
            if (o == CornerTable::kBorder || CornerTable::Prev(o) == c0) break;
            c = CornerTable::Prev(o);
            ASSERT_TRUE(fan.insert(c).second);
        }
        for (std::uint32_t c = c0;;) {
            const std::uint32_t o = t.opposite[CornerTable::Next(c)];
            if (o == CornerTable::kBorder || CornerTable::Next(o) == c0) break;
            c = CornerTable::Next(o);
            fan.insert(c);
        }
        for (const std::uint32_t c : fan)
            EXPECT_EQ(t.vertex[c], v);
        EXPECT_EQ(fan.size(), cornersOf[v]) << "vertex " << v;
    }
}

std::size_t Joined(const CornerTable& t) {
    std::size_t n = 0;
    for (const std::uint32_t o : t.opposite)
        n += o != CornerTable::kBorder;
    return n / 2;
}

TEST(CornerTable, JoinsOnlyEdgesOfExactlyTwoConsistentTriangles) {
    const struct {
        const char* name;
        Indices indices;
        std::size_t joined, copies, loose;
    } shapes[] = {
        {"one triangle", {0, 1, 2}, 0, 0, 0},
        {"square of two", {0, 1, 2, 0, 2, 3}, 1, 0, 0},
        {"tetrahedron", {0, 2, 1, 0, 1, 3, 1, 2, 3, 0, 3, 2}, 6, 0, 0},
        // Edges left as borders split their end points into one vertex per triangle fan.
        {"disagreeing orientation", {0, 1, 2, 0, 3, 2}, 0, 2, 0},
        {"three on one edge", {0, 1, 2, 1, 0, 3, 1, 0, 4}, 0, 4, 0},
        {"duplicate triangle", {0, 1, 2, 0, 1, 2, 2, 1, 3}, 0, 5, 0},
        {"two-sided pillow", {0, 1, 2, 0, 2, 1}, 3, 0, 0},
        // Two fans meet at point 0 only: the second becomes a copy of 0.
        {"bow tie", {0, 1, 2, 0, 3, 4}, 0, 1, 0},
        {"pinched pair of squares", {0, 1, 2, 0, 2, 3, 0, 4, 5, 0, 5, 6}, 2, 1, 0},
        {"degenerate ones", {0, 0, 1, 0, 1, 2, 2, 2, 2, 1, 1, 3}, 0, 0, 3},
        {"unused points", {4, 7, 9}, 0, 0, 0},
    };
    for (const auto& s : shapes) {
        SCOPED_TRACE(s.name);
        const CornerTable t(s.indices.data(), s.indices.size() / 3, PointCount(s.indices));
        ExpectSound(t, s.indices);
        EXPECT_EQ(Joined(t), s.joined);
        EXPECT_EQ(t.original.size(), s.copies);
        EXPECT_EQ(t.loose.size(), s.loose);
        EXPECT_EQ(t.kept() + t.loose.size(), s.indices.size() / 3);
    }
    const Indices unused{4, 7, 9};
    const CornerTable t(unused.data(), 1, 10);
    EXPECT_EQ(std::count(t.used.begin(), t.used.end(), true), 3);
}

// The shapes that make traversal coders slow: a fan of many triangles around one point, and
// many triangles that share nothing. Both are built (the fan closed and open) and sound.
TEST(CornerTable, LargeFansAndScatteredTriangles) {
    const std::uint32_t n = 20000;
    for (const bool closed : {true, false}) {
        Indices fan;
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint32_t next = i + 1 < n ? i + 2 : (closed ? 1 : n + 1);
            fan.insert(fan.end(), {0, i + 1, next});
        }
        const CornerTable t(fan.data(), n, PointCount(fan));
        ExpectSound(t, fan);
        EXPECT_EQ(Joined(t), closed ? n : n - 1);
        EXPECT_TRUE(t.original.empty());
    }
    Indices scattered;
    for (std::uint32_t i = 0; i < n; ++i)
        scattered.insert(scattered.end(), {3 * i, 3 * i + 1, 3 * i + 2});
    const CornerTable t(scattered.data(), n, 3 * n);
    EXPECT_EQ(Joined(t), 0u);
    ExpectSound(t, scattered);
}

}  // namespace
