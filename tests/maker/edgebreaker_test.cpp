#include "maker/Edgebreaker.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "maker/CornerTable.h"

namespace {

using namespace KvxInternal;
using Indices = std::vector<std::uint32_t>;

// A torus of 2 n m triangles (genus 1), or with `open`, a grid of the same (a disk).
Indices Grid(int n, int m, bool open) {
    Indices out;
    const int rows = open ? n + 1 : n, cols = open ? m + 1 : m;
    const auto at = [&](int i, int j) {
        return static_cast<std::uint32_t>((i % rows) * cols + j % cols);
    };
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < m; ++j)
            out.insert(out.end(), {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j),
                                   at(i + 1, j + 1), at(i, j + 1)});
    return out;
}

// Two tori joined into a surface of genus 2: a square of each is cut out and the holes are
// joined by a tube of four quads.
Indices DoubleTorus() {
    Indices a = Grid(8, 8, false), b = Grid(8, 8, false);
    const std::uint32_t offset = 64;
    for (auto& v : b)
        v += offset;
    // Drop the two triangles of square (0, 0) in each: the hole is 0, 8, 9, 1 (grid 8 x 8).
    a.erase(a.begin(), a.begin() + 6);
    b.erase(b.begin(), b.begin() + 6);
    Indices out = a;
    out.insert(out.end(), b.begin(), b.end());
    // The hole's border runs 0 -> 1 -> 9 -> 8 in a, and the same plus the offset in b; the tube
    // meets b's loop the other way round.
    const std::uint32_t ha[4] = {0, 1, 9, 8},
                        hb[4] = {offset + 0, offset + 8, offset + 9, offset + 1};
    for (int k = 0; k < 4; ++k) {
        const std::uint32_t a0 = ha[k], a1 = ha[(k + 1) % 4], b0 = hb[k], b1 = hb[(k + 1) % 4];
        out.insert(out.end(), {a1, a0, b0, a1, b0, b1});
    }
    return out;
}

Indices Pieces() {
    Indices out = Grid(3, 4, true);  // a disk with one border
    const Indices t = Grid(5, 3, false);
    for (const std::uint32_t v : t)
        out.push_back(v + 20);
    out.insert(out.end(), {100, 101, 102, 100, 102, 101});  // a two-sided pillow
    return out;
}

edgebreaker::Mesh Prepared(const Indices& indices) {
    std::uint32_t points = 0;
    for (const std::uint32_t v : indices)
        points = std::max(points, v + 1);
    const CornerTable table(indices.data(), indices.size() / 3, points);
    edgebreaker::Mesh mesh{table.vertex, table.opposite, table.vertices()};
    edgebreaker::CloseBorders(mesh);
    return mesh;
}

TEST(Edgebreaker, DecodesWhatTheWalkBuilt) {
    const struct {
        const char* name;
        Indices indices;
        std::size_t loops;
    } shapes[] = {
        {"tetrahedron", {0, 2, 1, 0, 1, 3, 1, 2, 3, 0, 3, 2}, 0},
        {"one triangle", {0, 1, 2}, 1},
        {"disk", Grid(6, 9, true), 1},
        {"torus", Grid(12, 20, false), 0},
        {"thin torus", Grid(3, 3, false), 0},
        {"double torus", DoubleTorus(), 0},
        {"pieces", Pieces(), 1},
        {"pinched squares", {0, 1, 2, 0, 2, 3, 0, 4, 5, 0, 5, 6}, 2},
    };
    for (const auto& s : shapes) {
        SCOPED_TRACE(s.name);
        std::uint32_t points = 0;
        for (const std::uint32_t v : s.indices)
            points = std::max(points, v + 1);
        const CornerTable table(s.indices.data(), s.indices.size() / 3, points);
        edgebreaker::Mesh mesh{table.vertex, table.opposite, table.vertices()};
        EXPECT_EQ(edgebreaker::CloseBorders(mesh), s.loops);
        for (const std::uint32_t o : mesh.opposite)
            ASSERT_NE(o, edgebreaker::kOpen);

        std::vector<std::uint8_t> bytes;
        const edgebreaker::Walk walk = edgebreaker::Encode(mesh, bytes);
        // The walk renames the input faithfully: every decoded corner is an input corner.
        ASSERT_EQ(walk.tip.size(), mesh.vertex.size() / 3);
        for (std::size_t i = 0; i < walk.tip.size(); ++i) {
            const std::uint32_t c = walk.tip[i];
            const std::uint32_t n = c % 3 == 2 ? c - 2 : c + 1, p = c % 3 == 0 ? c + 2 : c - 1;
            EXPECT_EQ(walk.decoded.vertex[3 * i], walk.newId[mesh.vertex[c]]);
            EXPECT_EQ(walk.decoded.vertex[3 * i + 1], walk.newId[mesh.vertex[n]]);
            EXPECT_EQ(walk.decoded.vertex[3 * i + 2], walk.newId[mesh.vertex[p]]);
        }
        edgebreaker::Mesh back;
        ASSERT_TRUE(edgebreaker::Decode(bytes.data(), bytes.data() + bytes.size(),
                                        mesh.vertex.size() / 3, back));
        EXPECT_EQ(back.vertices, walk.decoded.vertices);  // points no triangle uses are not here
        EXPECT_EQ(back.vertex, walk.decoded.vertex);
        EXPECT_EQ(back.opposite, walk.decoded.opposite);
        // Too few triangles allowed: refused before anything is built.
        EXPECT_FALSE(edgebreaker::Decode(bytes.data(), bytes.data() + bytes.size(),
                                         mesh.vertex.size() / 3 - 1, back));
    }
}

TEST(Edgebreaker, DamageFailsCleanly) {
    for (const Indices& shape : {Grid(6, 7, false), DoubleTorus(), Pieces()}) {
        const edgebreaker::Mesh mesh = Prepared(shape);
        std::vector<std::uint8_t> bytes;
        edgebreaker::Encode(mesh, bytes);
        edgebreaker::Mesh back;
        const std::size_t limit = mesh.vertex.size() / 3;
        for (std::size_t cut = 0; cut < bytes.size(); ++cut)
            EXPECT_FALSE(edgebreaker::Decode(bytes.data(), bytes.data() + cut, limit, back)) << cut;
        for (std::size_t i = 0; i < bytes.size(); ++i)
            for (const std::uint8_t x : {0x01, 0x10, 0x80}) {
                std::vector<std::uint8_t> bad = bytes;
                bad[i] ^= x;
                // Safe whatever it gives; a closed mesh that decodes is a sound one.
                if (edgebreaker::Decode(bad.data(), bad.data() + bad.size(), limit, back)) {
                    for (const std::uint32_t o : back.opposite)
                        ASSERT_LT(o, back.opposite.size());
                }
            }
    }
}

TEST(Edgebreaker, RegularSurfacesCostAboutTwoBitsATriangle) {
    const edgebreaker::Mesh mesh = Prepared(Grid(200, 300, false));
    std::vector<std::uint8_t> bytes;
    edgebreaker::Encode(mesh, bytes);
    const double bits = 8.0 * double(bytes.size()) / double(mesh.vertex.size() / 3);
    EXPECT_LT(bits, 2.0);
    RecordProperty("bits_per_triangle", std::to_string(bits));
}

}  // namespace
