#include "maker/GeometryCoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "maker/CornerTable.h"

namespace {

using namespace KvxInternal;

struct Mesh {
    std::vector<std::uint32_t> indices;
    std::vector<MStlPoint> points;
};

// A torus of 2 n^2 triangles, in micrometres (outer radius 40 mm).
Mesh Torus(int n) {
    Mesh m;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const double u = 2 * std::numbers::pi * i / n, v = 2 * std::numbers::pi * j / n;
            m.points.push_back(
                {static_cast<std::int32_t>(1000 * (40 + 12 * std::cos(v)) * std::cos(u)),
                 static_cast<std::int32_t>(1000 * (40 + 12 * std::cos(v)) * std::sin(u)),
                 static_cast<std::int32_t>(1000 * 12 * std::sin(v))});
        }
    const auto at = [n](int i, int j) { return static_cast<std::uint32_t>((i % n) * n + j % n); };
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            m.indices.insert(m.indices.end(), {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j),
                                               at(i + 1, j + 1), at(i, j + 1)});
    return m;
}

// The vertex ids renumbered in the order a walk over neighbouring triangles meets them, as a
// traversal coder numbers them.
std::vector<std::uint32_t> WalkOrder(CornerTable& t) {
    std::vector<std::uint32_t> id(t.vertices(), 0xFFFFFFFFu);
    std::vector<bool> seen(t.kept(), false);
    std::uint32_t next = 0;
    std::vector<std::uint32_t> queue;
    for (std::uint32_t seed = 0; seed < t.kept(); ++seed) {
        if (seen[seed]) continue;
        seen[seed] = true;
        queue.assign(1, seed);
        for (std::size_t q = 0; q < queue.size(); ++q)
            for (std::uint32_t c = 3 * queue[q]; c < 3 * queue[q] + 3; ++c) {
                if (id[t.vertex[c]] == 0xFFFFFFFFu) id[t.vertex[c]] = next++;
                const std::uint32_t o = t.opposite[c];
                if (o != CornerTable::kBorder && !seen[o / 3]) {
                    seen[o / 3] = true;
                    queue.push_back(o / 3);
                }
            }
    }
    for (auto& v : id)
        if (v == 0xFFFFFFFFu) v = next++;
    for (auto& v : t.vertex)
        v = id[v];
    return id;
}

struct Case {
    CornerTable table;
    LargeVector<MStlPoint> positions;  // by vertex id
    LargeVector<bool> coded;
};

Case Prepare(const Mesh& m, bool walk) {
    Case c{CornerTable(m.indices.data(), m.indices.size() / 3,
                       static_cast<std::uint32_t>(m.points.size())),
           {},
           {}};
    std::vector<std::uint32_t> pointOf(c.table.vertices());
    for (std::uint32_t v = 0; v < pointOf.size(); ++v)
        pointOf[v] = c.table.PointOf(v);
    if (walk) {
        const std::vector<std::uint32_t> id = WalkOrder(c.table);
        std::vector<std::uint32_t> renamed(pointOf.size());
        for (std::uint32_t v = 0; v < pointOf.size(); ++v)
            renamed[id[v]] = pointOf[v];
        pointOf = renamed;
    }
    for (const std::uint32_t p : pointOf)
        c.positions.push_back(m.points[p]);
    c.coded.assign(c.positions.size(), true);
    return c;
}

geometry::Connectivity Of(const CornerTable& t) {
    return {t.vertex.data(), t.opposite.data(), t.corners(), t.vertices()};
}

std::vector<std::uint8_t> EncodeCase(const Case& c) {
    std::vector<std::uint8_t> out;
    geometry::Encode(Of(c.table), c.positions, c.coded, out);
    return out;
}

bool DecodesBack(const Case& c, const std::vector<std::uint8_t>& bytes) {
    LargeVector<MStlPoint> back;
    if (!geometry::Decode(Of(c.table), c.coded, bytes.data(), bytes.data() + bytes.size(), back))
        return false;
    for (std::size_t v = 0; v < back.size(); ++v)
        if (c.coded[v] && (back[v].x != c.positions[v].x || back[v].y != c.positions[v].y ||
                           back[v].z != c.positions[v].z))
            return false;
    return true;
}

TEST(GeometryCoder, RoundTripsExactly) {
    std::mt19937 rng(5);
    Mesh extremes = Torus(6);
    constexpr std::int32_t lo = std::numeric_limits<std::int32_t>::min();
    constexpr std::int32_t hi = std::numeric_limits<std::int32_t>::max();
    for (std::size_t i = 0; i < extremes.points.size(); ++i)
        extremes.points[i] = i % 2 ? MStlPoint{lo, hi, lo} : MStlPoint{hi, lo, hi};
    Mesh noise = Torus(10);
    for (auto& p : noise.points)
        p = {static_cast<std::int32_t>(rng()), static_cast<std::int32_t>(rng()),
             static_cast<std::int32_t>(rng())};
    Mesh pieces;  // triangles sharing nothing, and a point on its own
    for (std::uint32_t i = 0; i < 30; ++i) {
        pieces.indices.insert(pieces.indices.end(), {3 * i, 3 * i + 1, 3 * i + 2});
        for (int k = 0; k < 3; ++k)
            pieces.points.push_back({static_cast<std::int32_t>(i * 100 + k), 7, -3});
    }
    const struct {
        const char* name;
        Mesh mesh;
        bool walk;
    } cases[] = {
        {"torus, walk order", Torus(40), true},
        {"torus, input order", Torus(40), false},
        {"int32 extremes", extremes, true},
        {"random coordinates", noise, true},
        {"scattered triangles", pieces, true},
        {"one triangle", {{0, 1, 2}, {{0, 0, 0}, {5, 0, 0}, {0, 5, 0}}}, false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        Case c = Prepare(k.mesh, k.walk);
        EXPECT_TRUE(DecodesBack(c, EncodeCase(c)));
        // Vertices left out are neither coded nor used for prediction.
        for (std::size_t v = 0; v < c.coded.size(); v += 3)
            c.coded[v] = false;
        EXPECT_TRUE(DecodesBack(c, EncodeCase(c)));
    }
}

// On a smooth mesh, the walk order and the parallelograms pay: a vertex takes a few bytes.
TEST(GeometryCoder, SmoothSurfacesCostLittle) {
    const Case c = Prepare(Torus(120), true);
    const std::vector<std::uint8_t> bytes = EncodeCase(c);
    EXPECT_TRUE(DecodesBack(c, bytes));
    const double perVertex = double(bytes.size()) / double(c.positions.size());
    EXPECT_LT(perVertex, 4.0);
    RecordProperty("bytes_per_vertex", std::to_string(perVertex));
}

TEST(GeometryCoder, DamageFails) {
    const Case c = Prepare(Torus(8), true);
    const std::vector<std::uint8_t> bytes = EncodeCase(c);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut)
        EXPECT_FALSE(DecodesBack(c, {bytes.begin(), bytes.begin() + cut})) << cut;
    std::vector<std::uint8_t> longer = bytes;
    longer.push_back(0);
    EXPECT_FALSE(DecodesBack(c, longer));
    // Whatever a byte is changed to, decoding stays safe (and mostly notices).
    std::size_t noticed = 0, tried = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        for (const std::uint8_t x : {0x01, 0x80, 0xFF}) {
            std::vector<std::uint8_t> bad = bytes;
            bad[i] ^= x;
            ++tried;
            noticed += !DecodesBack(c, bad);
        }
    EXPECT_GT(noticed, tried * 9 / 10);
}

}  // namespace
