#include <gtest/gtest.h>

#include "maker/Logging.h"
#include "maker/MStlCompressor.h"
#include "mesh/STLData.h"
#include "support/Streams.h"

namespace {

using namespace KvxInternal;
using kvxtest::Bytes;
using kvxtest::Chunk;
using kvxtest::Concat;
using kvxtest::Words;
using Results = std::vector<std::int32_t>;

MStlBase Tetrahedron() {
    MStlBase m;
    const auto a = m.AddPoint(0, 0, 0), b = m.AddPoint(100, 0, 0), c = m.AddPoint(0, 100, 0),
               d = m.AddPoint(0, 0, 100);
    m.AddTriangle(a, c, b);
    m.AddTriangle(a, b, d)->SetColor(MStlColor{255, 0, 0, true});
    m.AddTriangle(b, c, d);
    m.AddTriangle(a, d, c);
    return m;
}

using Floats = std::vector<float>;

// x min, x max, y min, y max, z min, z max.
Floats Box(IVSTLData& stl) {
    Floats box(6);
    stl.GetBoundingBox(box[0], box[1], box[2], box[3], box[4], box[5]);
    return box;
}

std::vector<std::array<MStlPoint, 3>> Triangles(const MStlBase& m) {
    std::vector<std::array<MStlPoint, 3>> out;
    for (const MStlTriangle& t : m.Triangles()) {
        std::array<MStlPoint, 3> p = {m.GetPoint(t.points[0]), m.GetPoint(t.points[1]),
                                      m.GetPoint(t.points[2])};
        std::rotate(p.begin(), std::min_element(p.begin(), p.end()), p.end());
        out.push_back(p);
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(STLData, ParameterDefaults) {
    IVParSTLData p;
    const Bytes bytes = kvxtest::Written({&p});
    EXPECT_EQ(kvxtest::Layout(bytes),
              "PSTL .MUID .PTRIAN ..PAR ...DATA ..DATA .PBLINE ..PAR ...DATA ..DATA .PCLIP ..PAR "
              "...DATA ..DATA .DATA ");
    EXPECT_EQ(kvxtest::OwnData(bytes),
              Concat({Words({3, 0, 2}),
                      Bytes{0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0, 0}}));
    EXPECT_EQ(p.triangleColors[2], (ColorRecord{192, 192, 192, 0}));
    // Without "DATA" the defaults stay.
    kvxtest::Outcome out = kvxtest::ReadAll(Chunk("PSTL", 2, Chunk("MUID", 2, Words({1, 9}))));
    ASSERT_EQ(out.objects.size(), 1u);
    EXPECT_EQ(out.objects[0].As<IVParSTLData>()->stlValue1, 3);
}

// Export attaches the caller's mesh; import decodes, releases and loads again by position.
TEST(STLData, CompressedRoundTripAndReload) {
    kvxtest::TempDir dir;
    MStlBase caller = Tetrahedron();
    Bytes bytes;
    {
        MHDynBase object;
        object.AdoptNew("IVSTLData");
        auto* stl = object.As<IVSTLData>();
        stl->AttachMesh(&caller);
        stl->objectName = L"tetra";
        bytes = kvxtest::Written({stl});
    }  // the caller's mesh survives the object
    EXPECT_EQ(caller.NumberOfTriangles(), 4u);
    kvxtest::WriteFile(dir.file("stream"), bytes);

    kvxtest::Outcome out = kvxtest::ReadAll(bytes);
    ASSERT_EQ(out.results, (Results{READ_OK, READ_END}));
    auto* stl = out.objects[0].As<IVSTLData>();
    EXPECT_EQ(stl->objectName, MString(L"tetra"));
    EXPECT_EQ(Triangles(*stl->mesh), Triangles(caller));
    EXPECT_EQ(Box(*stl), (Floats{0, 100, 0, 100, 0, 100}));
    EXPECT_EQ(stl->storageKind, IVSTLData::StorageCompressed);
    const std::uint8_t version = bytes[static_cast<std::size_t>(stl->dataPosition)];
    EXPECT_TRUE(version == 1 || version == 2) << int(version);
    EXPECT_EQ(Bytes(bytes.begin() + stl->dataPosition - 12, bytes.begin() + stl->dataPosition - 8),
              (Bytes{'D', 'A', 'T', 'A'}));

    EXPECT_TRUE(stl->UnloadTriangleData());
    EXPECT_EQ(stl->mesh->NumberOfTriangles(), 0u);
    stl->sourceFile = MFileName(dir.wfile("stream"));
    for (int again = 0; again < 2; ++again) {
        ASSERT_TRUE(stl->LoadTriangleData());
        EXPECT_EQ(Triangles(*stl->mesh), Triangles(caller));
        // The box comes with the triangles, as the reader hands them out.
        EXPECT_EQ(Box(*stl), (Floats{0, 100, 0, 100, 0, 100}));
    }
    MHDynBase parameter = stl->CreateParameter();
    ASSERT_NE(parameter.As<IVParSTLData>(), nullptr);
    EXPECT_FALSE(parameter.As<IVParClip>()->clipFlag);
    EXPECT_EQ(parameter.As<IVParClip>()->clipVector1[0], 0.0f);
}

TEST(STLData, LoadLogsItsFailures) {
    std::vector<std::wstring> log;
    SetLogSink([&](const LogMessage& m) { log.push_back(m.GetText()); });
    kvxtest::TempDir dir;
    kvxtest::WriteFile(dir.file("short"), Bytes(10, 0));
    IVSTLData stl;
    stl.mesh->AddPoint(1, 1, 1);
    stl.sourceFile = MFileName(dir.wfile("missing"));
    EXPECT_FALSE(stl.LoadTriangleData());
    stl.sourceFile = MFileName(dir.wfile("short"));
    EXPECT_TRUE(stl.LoadTriangleData());  // nothing recorded: nothing read
    EXPECT_EQ(stl.mesh->NumberOfPoints(), 1u);
    stl.dataPosition = 99;
    EXPECT_FALSE(stl.LoadTriangleData());
    SetLogSink(nullptr);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], L"<IVSTLData::LoadTriangleData> Cannot open the '" + dir.wfile("missing") +
                          L"' STL data file.");
    EXPECT_EQ(log[1],
              L"<IVSTLData::LoadTriangleData> Cannot seek to 99 in '" + dir.wfile("short") + L"'");
}

// Legacy payload: corners, points as W-byte offsets, triangles as I-byte indices.
Bytes Legacy(std::int32_t lo, std::int32_t hi, std::size_t w, std::uint32_t points, std::size_t i,
             const std::vector<std::uint32_t>& indices) {
    Bytes out =
        Concat({Words({static_cast<std::uint32_t>(lo), static_cast<std::uint32_t>(lo),
                       static_cast<std::uint32_t>(lo), static_cast<std::uint32_t>(hi),
                       static_cast<std::uint32_t>(lo), static_cast<std::uint32_t>(lo), points})});
    for (std::uint32_t p = 0; p < points; ++p)
        for (int axis = 0; axis < 3; ++axis) {
            const std::uint32_t d =
                axis == 0 ? p % 2 * static_cast<std::uint32_t>(std::max(hi - lo, 0)) : p;
            for (std::size_t b = 0; b < w; ++b)
                out.push_back(static_cast<std::uint8_t>(d >> (8 * b)));
        }
    const auto n = static_cast<std::uint32_t>(indices.size() / 3);
    out = Concat({out, Words({n})});
    for (std::uint32_t x : indices)
        for (std::size_t b = 0; b < i; ++b)
            out.push_back(static_cast<std::uint8_t>(x >> (8 * b)));
    return out;
}

Bytes MeshChunk(const Bytes& payload, std::uint8_t dataVersion) {
    return Chunk("IVSTL", 2,
                 Concat({Chunk("MUID", 2, Words({5, 5})), Chunk("DATA", dataVersion, payload)}));
}

TEST(STLData, LegacyWidths) {
    const struct {
        std::int32_t lo, hi;
        std::size_t w;
        std::uint32_t points;
        std::size_t i;
    } cases[] = {
        // The largest extent and the point count choose the widths; an upper corner below the
        // lower one (negative extent) gives 1-byte offsets.
        {0, 255, 1, 3, 1},  {0, 256, 2, 3, 1},  {-10, 65526, 3, 3, 1}, {0, 16777216, 4, 3, 1},
        {100, 50, 1, 3, 1}, {0, 10, 1, 255, 1}, {0, 10, 1, 256, 2},    {0, 70000, 3, 256, 2},
    };
    for (const auto& c : cases) {
        const Bytes payload = Legacy(c.lo, c.hi, c.w, c.points, c.i, {0, 1, 2, c.points - 1, 1, 0});
        kvxtest::Outcome out = kvxtest::ReadAll(MeshChunk(payload, 1));
        ASSERT_EQ(out.objects.size(), 1u) << c.hi << " " << c.points;
        const MStlBase& m = *out.objects[0].As<IVSTLData>()->mesh;
        EXPECT_EQ(m.NumberOfPoints(), c.points);
        EXPECT_EQ(m.NumberOfTriangles(), 2u);
        EXPECT_EQ(m.GetPoint(1).x, c.lo + std::max(c.hi - c.lo, 0));
        EXPECT_EQ(m.GetPoint(2).y, c.lo + 2);
        EXPECT_EQ(out.objects[0].As<IVSTLData>()->storageKind, IVSTLData::StorageLegacy);
    }
    // Empty.
    EXPECT_EQ(kvxtest::ReadAll(MeshChunk(Legacy(0, 0, 1, 0, 1, {}), 1)).objects.size(), 1u);
}

// The flat form: the payload of the chunk's version right after its header, no dependency data.
TEST(STLData, FlatForm) {
    const Bytes payload = Legacy(-3, 9, 1, 4, 1, {0, 1, 2, 3, 2, 1});
    MFileMemory file;
    const Bytes flat = Chunk("IVSTL", 1, payload);
    file.OPEN_READ(flat.data(), flat.size());
    IVSTLData stl;
    ASSERT_TRUE(stl.Read(file));
    EXPECT_EQ(stl.storageKind, IVSTLData::StorageLegacy);
    EXPECT_EQ(stl.dataPosition, static_cast<std::int64_t>(flat.size() - payload.size()));
    // What was written: points (lo + (p odd ? extent : 0), lo + p, lo + p) and both triangles.
    const MStlBase& m = *stl.mesh;
    EXPECT_EQ(std::vector<MStlPoint>(m.Points().begin(), m.Points().end()),
              (std::vector<MStlPoint>{{-3, -3, -3}, {9, -2, -2}, {-3, -1, -1}, {9, 0, 0}}));
    ASSERT_EQ(m.NumberOfTriangles(), 2u);
    EXPECT_EQ(std::vector<std::uint32_t>(m.Triangles()[0].points, m.Triangles()[0].points + 3),
              (std::vector<std::uint32_t>{0, 1, 2}));
    EXPECT_EQ(std::vector<std::uint32_t>(m.Triangles()[1].points, m.Triangles()[1].points + 3),
              (std::vector<std::uint32_t>{3, 2, 1}));
    EXPECT_EQ(Box(stl), (Floats{-3, 9, -3, 0, -3, 0}));

    // Version 0 has no payload layout; a damaged payload fails as in the nested form.
    const Bytes cut(payload.begin(), payload.end() - 1);
    for (const Bytes& bad : {Chunk("IVSTL", 0, payload), Chunk("IVSTL", 1, cut)}) {
        MFileMemory f;
        f.OPEN_READ(bad.data(), bad.size());
        IVSTLData failed;
        EXPECT_FALSE(failed.Read(f));
    }
}

TEST(STLData, DamagedPayloadsFail) {
    const Bytes good = Legacy(0, 9, 1, 3, 1, {0, 1, 2});
    const Bytes badIndex = Legacy(0, 9, 1, 3, 1, {0, 1, 3});
    Bytes hugeCount = good;
    hugeCount[24] = 0xFF, hugeCount[25] = 0xFF, hugeCount[26] = 0xFF, hugeCount[27] = 0x7F;
    const struct {
        const char* what;
        Bytes chunk;
    } cases[] = {
        {"index not below the point count", MeshChunk(badIndex, 1)},
        {"point count beyond the chunk", MeshChunk(hugeCount, 1)},
        {"short legacy payload", MeshChunk(Bytes(good.begin(), good.end() - 1), 1)},
        {"DATA version 0", MeshChunk(good, 0)},
        {"no DATA", Chunk("IVSTL", 2, Chunk("MUID", 2, Words({5, 5})))},
        {"broken compressed payload", MeshChunk(Bytes{1, 0, 0, 0}, 2)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kvxtest::ReadAll(c.chunk).results, (Results{READ_FAILED})) << c.what;
}

}  // namespace
