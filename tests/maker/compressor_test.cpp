#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <map>
#include <numbers>
#include <random>
#include <tuple>

#include <zstd.h>

#include "maker/MFile.h"
#include "maker/MStlCompressor.h"
#include "maker/ReadBudget.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A mesh as content: its points (a multiset) and its triangles as (coordinates rotated to start
// at the smallest point, colour), which keeps each triangle's orientation.
struct Content {
    std::vector<MStlPoint> points;
    std::vector<std::tuple<MStlPoint, MStlPoint, MStlPoint, std::uint16_t>> triangles;
    friend bool operator==(const Content&, const Content&) = default;
};

Content Of(const MStlBase& mesh) {
    Content c;
    c.points.assign(mesh.Points().begin(), mesh.Points().end());
    std::sort(c.points.begin(), c.points.end());
    for (const MStlTriangle& t : mesh.Triangles()) {
        MStlPoint p[3] = {mesh.GetPoint(t.points[0]), mesh.GetPoint(t.points[1]),
                          mesh.GetPoint(t.points[2])};
        const int first = static_cast<int>(std::min_element(p, p + 3) - p);
        std::rotate(p, p + first, p + 3);
        c.triangles.emplace_back(p[0], p[1], p[2], t.color);
    }
    std::sort(c.triangles.begin(), c.triangles.end(), [](const auto& a, const auto& b) {
        auto key = [](const auto& x) {
            const auto& [p, q, r, col] = x;
            return std::make_tuple(p.x, p.y, p.z, q.x, q.y, q.z, r.x, r.y, r.z, col);
        };
        return key(a) < key(b);
    });
    return c;
}

Bytes Encode(MStlBase& mesh, std::uint8_t version = MStlCompressor::kFormatVersion,
             std::uint64_t* readCost = nullptr) {
    MFileMemory file;
    file.OPEN_WRITE(0, nullptr);
    MStlCompressor compressor;
    compressor.SetFormatVersion(version);
    compressor.SetDataPointer(&mesh);
    compressor.SetFile(&file);
    EXPECT_TRUE(compressor.Operate(nullptr));
    if (readCost != nullptr) *readCost = compressor.ReadCost();
    return Bytes(file.GET_BUFFER(), file.GET_BUFFER() + file.SIZE());
}

// Decodes `bytes` followed by a trailer, and checks the file stands just after the payload.
// With `checkOnly`, the decode only proves the payload sound and must leave the mesh empty;
// `triangles` receives the count it found.
bool Decode(const Bytes& bytes, MStlBase& mesh, bool checkOnly = false,
            std::uint64_t* triangles = nullptr) {
    Bytes withTrailer = bytes;
    withTrailer.push_back(0xEE);
    MFileMemory file;
    file.OPEN_READ(withTrailer.data(), withTrailer.size());
    MStlCompressor compressor;
    compressor.SetDataPointer(&mesh);
    compressor.SetFile(&file);
    compressor.SetCheckOnly(checkOnly);
    const bool ok = compressor.Operate(nullptr);
    if (ok) {
        EXPECT_EQ(file.TELL(), static_cast<std::int64_t>(bytes.size()));
    }
    if (checkOnly) {
        EXPECT_EQ(mesh.NumberOfPoints() + mesh.NumberOfTriangles(), 0u);
    }
    if (triangles != nullptr) *triangles = compressor.DecodedTriangles();
    return ok;
}

std::array<std::int32_t, 6> Box(const MStlBase& m) {
    return {m.GetXMin(), m.GetYMin(), m.GetZMin(), m.GetXMax(), m.GetYMax(), m.GetZMax()};
}

MStlBase Grid(int n, bool colored) {
    MStlBase mesh;
    for (int i = 0; i <= n; ++i)
        for (int j = 0; j <= n; ++j)
            mesh.AddPoint(i * 1000, j * 1000, (i * j) % 7);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const auto a = static_cast<std::uint32_t>(i * (n + 1) + j), b = a + 1, c = a + n + 1,
                       d = c + 1;
            mesh.AddTriangle(a, c, b)->color =
                colored ? static_cast<std::uint16_t>(0x8000 | (i % 32)) : 0;
            mesh.AddTriangle(b, c, d);
        }
    return mesh;
}

TEST(MStlCompressor, RoundTripsByContent) {
    std::vector<std::pair<const char*, MStlBase>> cases;
    cases.emplace_back("empty", MStlBase());
    {
        MStlBase m;
        m.AddTriangle(m.AddPoint(1, 2, 3), m.AddPoint(4, 5, 6), m.AddPoint(7, 8, 10));
        cases.emplace_back("one triangle", m);
    }
    {
        MStlBase m;  // two points at the same place, both used; an unused point; extremes
        const auto a = m.AddPoint(0, 0, 0), b = m.AddPoint(0, 0, 0),
                   c = m.AddPoint(INT_MAX, INT_MIN, 5);
        m.AddPoint(-7, -7, -7);
        m.AddTriangle(a, c, b);
        m.AddTriangle(a, a, c);  // degenerate
        m.AddTriangle(a, b, b);
        cases.emplace_back("duplicates, degenerate, unused", m);
    }
    {
        MStlBase m;  // three triangles on one edge, two of them equal but coloured differently
        const auto a = m.AddPoint(0, 0, 0), b = m.AddPoint(9, 0, 0), c = m.AddPoint(0, 9, 0),
                   d = m.AddPoint(0, 0, 9);
        m.AddTriangle(a, b, c)->color = 0x8001;
        m.AddTriangle(a, b, d)->color = 0x8002;
        m.AddTriangle(b, a, c);
        m.AddTriangle(a, b, d)->color = 0x8003;
        cases.emplace_back("non-manifold, coloured duplicates", m);
    }
    cases.emplace_back("grid, coloured", Grid(20, true));
    cases.emplace_back("more than 65536 points", Grid(256, false));
    {
        MStlBase m;  // random points: a frame larger than one read of the decoder
        std::mt19937 random(7);
        for (int i = 0; i < 30000; ++i)
            m.AddPoint(static_cast<std::int32_t>(random()), static_cast<std::int32_t>(random()),
                       static_cast<std::int32_t>(random()));
        for (int i = 0; i < 30000; ++i)
            m.AddTriangle(random() % 30000, random() % 30000, random() % 30000);
        cases.emplace_back("incompressible", m);
    }
    {
        MStlBase m;  // a fan: one point in every triangle, each with its own colour
        const auto centre = m.AddPoint(0, 0, 0);
        constexpr std::uint32_t kFan = 50000;
        for (std::uint32_t i = 0; i < kFan; ++i)
            m.AddPoint(static_cast<std::int32_t>(i), static_cast<std::int32_t>(i % 1000), 1);
        for (std::uint32_t i = 0; i < kFan; ++i)
            m.AddTriangle(centre, 1 + i, 1 + (i + 1) % kFan)->color =
                static_cast<std::uint16_t>(0x8000 | (i & 0x7FFF));
        cases.emplace_back("fan", m);
    }
    {
        MStlBase m = Grid(3, false);  // 18 triangles, each 2,000 times with varied colours
        const std::vector<MStlTriangle> once(m.Triangles().begin(), m.Triangles().end());
        for (std::uint32_t copy = 1; copy < 2000; ++copy)
            for (const MStlTriangle& t : once)
                m.AddTriangle(t.points[0], t.points[1], t.points[2])->color =
                    static_cast<std::uint16_t>(copy % 3 == 0 ? 0 : 0x8000 | copy % 7);
        cases.emplace_back("many equal triangles", m);
    }
    for (auto& [what, mesh] : cases) {
        std::map<int, Bytes> written;
        for (const std::uint8_t version : {1, 2, int{MStlCompressor::kAutomatic}}) {
            SCOPED_TRACE(::testing::Message() << what << ", format " << int(version));
            const Bytes& bytes = written[version] = Encode(mesh, version);
            if (version == MStlCompressor::kAutomatic) {
                // Exactly one format's payload, never larger than format 2's.
                ASSERT_TRUE(bytes[0] == 1 || bytes[0] == 2);
                EXPECT_EQ(bytes, written[bytes[0]]);
                EXPECT_LE(bytes.size(), written[2].size());
            } else {
                EXPECT_EQ(bytes[0], version);
            }
            if (std::string(what) == "incompressible") {
                EXPECT_GT(bytes.size(), 300000u);
            }
            MStlBase back;
            back.AddPoint(5, 5, 5);  // replaced by the decoded mesh
            ASSERT_TRUE(Decode(bytes, back));
            EXPECT_TRUE(Of(back) == Of(mesh));
            // The box of all points, as decoded, without asking for it.
            MStlBase expected = mesh;
            expected.UpdateExtremes(true);
            EXPECT_EQ(Box(back), Box(expected));
            for (const MStlTriangle& t : back.Triangles()) {
                MStlTriangle recomputed = t;
                recomputed.CalculateNormal(back);
                ASSERT_TRUE(std::equal(t.normal, t.normal + 3, recomputed.normal));
            }
            // A check passes and finds the triangles, leaving the mesh empty.
            std::uint64_t triangles = 0;
            MStlBase checked;
            EXPECT_TRUE(Decode(bytes, checked, true, &triangles));
            EXPECT_EQ(triangles, mesh.NumberOfTriangles());
        }
    }
}

// Larger meshes try format 1 only where format 2 does poorly, and never take a format-1 payload
// that charges readers more than the budget grants its bytes (it could make the file unreadable).
TEST(MStlCompressor, AutomaticFormatForLargeMeshes) {
    constexpr std::uint32_t kMany = MStlCompressor::kBothFormatsBelow + 1000;
    MStlBase fan;  // format 2 spends several bytes per triangle; format 1 a fraction of one
    const auto centre = fan.AddPoint(0, 0, 0);
    for (std::uint32_t i = 0; i < kMany; ++i) {
        const double a = 2 * std::numbers::pi * i / kMany;
        fan.AddPoint(static_cast<std::int32_t>(std::lround(kMany / 2.0 * std::cos(a))),
                     static_cast<std::int32_t>(std::lround(kMany / 2.0 * std::sin(a))),
                     static_cast<std::int32_t>(i % 64));
    }
    for (std::uint32_t i = 0; i < kMany; ++i)
        fan.AddTriangle(centre, 1 + i, 1 + (i + 1) % kMany);
    MStlBase repeated;  // format 1 is tiny but would charge far more than 1024 x its bytes
    repeated.AddTriangle(repeated.AddPoint(0, 0, 0), repeated.AddPoint(5, 0, 0),
                         repeated.AddPoint(0, 5, 0));
    for (std::uint32_t i = 1; i < kMany; ++i)
        repeated.AddTriangle(0, 1, 2);
    struct Case {
        const char* what;
        MStlBase* mesh;
        std::uint8_t expected;
    };
    MStlBase grid = Grid(257, false);  // an ordinary mesh: format 1 is not even tried
    for (const Case& c :
         {Case{"grid", &grid, 2}, Case{"fan", &fan, 1}, Case{"repeated", &repeated, 2}}) {
        SCOPED_TRACE(c.what);
        ASSERT_GE(c.mesh->NumberOfTriangles(), MStlCompressor::kBothFormatsBelow);
        std::uint64_t cost = 0;
        const Bytes bytes = Encode(*c.mesh, MStlCompressor::kAutomatic, &cost);
        EXPECT_EQ(bytes[0], c.expected);
        EXPECT_LE(cost, MReadBudget::kPerFileByte * bytes.size());
        MStlBase back;
        ASSERT_TRUE(Decode(bytes, back));
        EXPECT_TRUE(Of(back) == Of(*c.mesh));
    }
    // The repeated mesh is the case the budget rule decides.
    std::uint64_t cost1 = 0;
    const Bytes format1 = Encode(repeated, 1, &cost1);
    EXPECT_LT(format1.size(), 1000u);
    EXPECT_GT(cost1, MReadBudget::kPerFileByte * format1.size());
}

// Format 2 keeps every 16-bit code, also one without the valid bit (format 1 takes a mesh
// without valid colours as uncoloured).
TEST(MStlCompressor, Format2KeepsEveryColourCode) {
    const MStlBase grid = Grid(4, false);
    std::vector<std::uint32_t> indices;
    std::vector<std::uint16_t> codes;
    for (const MStlTriangle& t : grid.Triangles()) {
        indices.insert(indices.end(), t.points, t.points + 3);
        codes.push_back(static_cast<std::uint16_t>((codes.size() + 1) * 0x0d01 & 0x7FFF));
    }
    MStlBase mesh;
    mesh.SetPoints({grid.Points().begin(), grid.Points().end()});
    ASSERT_TRUE(mesh.SetTriangles(indices, codes));
    MStlBase back;
    ASSERT_TRUE(Decode(Encode(mesh, 2), back));
    EXPECT_TRUE(Of(back) == Of(mesh));
}

TEST(MStlCompressor, DamageFailsCleanly) {
    MStlBase mesh = Grid(6, true);
    for (const std::uint8_t version : {1, 2}) {
        SCOPED_TRACE(::testing::Message() << "format " << int(version));
        const Bytes bytes = Encode(mesh, version);
        for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
            MStlBase back;
            EXPECT_FALSE(Decode(Bytes(bytes.begin(), bytes.begin() + cut), back)) << cut;
            EXPECT_EQ(back.NumberOfPoints() + back.NumberOfTriangles(), 0u) << cut;
            EXPECT_FALSE(Decode(Bytes(bytes.begin(), bytes.begin() + cut), back, true)) << cut;
        }
        // Format 1 leaves bit flips to the file's checksum: they must fail cleanly or still give
        // a sound mesh (every index names a point). Format 2 has a checksum of its own.
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            for (std::uint8_t flip : {0x01, 0x80}) {
                Bytes bad = bytes;
                bad[i] ^= flip;
                MStlBase back;
                const bool decoded = Decode(bad, back);
                // A check says what a full decode says.
                EXPECT_EQ(Decode(bad, back, true), decoded) << i;
                if (version == 2) {
                    EXPECT_FALSE(decoded) << i;
                }
                if (!decoded) continue;
                for (const MStlTriangle& t : back.Triangles())
                    for (std::uint32_t p : t.points)
                        ASSERT_LT(p, back.NumberOfPoints()) << i;
            }
        }
    }
}

// The payload with a hand-made body: version 1, then one zstd frame.
Bytes Payload(const Bytes& body) {
    Bytes out(1 + ZSTD_compressBound(body.size()));
    out[0] = 1;
    out.resize(1 + ZSTD_compress(out.data() + 1, out.size() - 1, body.data(), body.size(), 3));
    return out;
}

TEST(MStlCompressor, HostileHeadersDoNotAllocate) {
    MStlBase back;
    // A billion points and triangles (varints) over empty blocks.
    EXPECT_FALSE(Decode(
        Payload({0x00, 0x80, 0x94, 0xEB, 0xDC, 0x03, 0x80, 0x94, 0xEB, 0xDC, 0x03, 0x00}), back));
    // Unknown flags, a varint longer than five bytes, sizes past the body.
    EXPECT_FALSE(Decode(Payload({0x02, 0x00, 0x00, 0x00}), back));
    EXPECT_FALSE(Decode(Payload({0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00}), back));
    EXPECT_FALSE(Decode(Payload({0x00, 0x01, 0x00, 0x7F}), back));
    MStlBase tiny;
    Bytes bytes = Encode(tiny);
    bytes[0] = 3;  // a format this version does not know
    EXPECT_FALSE(Decode(bytes, back));
}

}  // namespace
