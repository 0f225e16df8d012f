#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "mesh/STLData.h"
#include "scene/Section.h"
#include "support/Streams.h"

namespace {

using namespace KvxInternal;
using kvxtest::Bytes;
using kvxtest::Chunk;
using kvxtest::Concat;
using kvxtest::FloatBytes;
using kvxtest::Words;
using Results = std::vector<std::int32_t>;

// An axis-aligned cube [0, s]^3, two triangles a face, facing out.
MStlBase Cube(std::int32_t s) {
    MStlBase m;
    for (int i = 0; i < 8; ++i)
        m.AddPoint(i & 1 ? s : 0, i & 2 ? s : 0, i & 4 ? s : 0);
    const std::uint32_t faces[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                                       {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    for (const auto& f : faces) {
        m.AddTriangle(f[0], f[1], f[2]);
        m.AddTriangle(f[0], f[2], f[3]);
    }
    return m;
}

// A torus around the z axis: radii R and r, n x n quads.
MStlBase Torus(double R, double r, int n) {
    MStlBase m;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const double u = 2 * std::numbers::pi * i / n, v = 2 * std::numbers::pi * j / n;
            m.AddPoint(static_cast<std::int32_t>(std::lround((R + r * std::cos(v)) * std::cos(u))),
                       static_cast<std::int32_t>(std::lround((R + r * std::cos(v)) * std::sin(u))),
                       static_cast<std::int32_t>(std::lround(r * std::sin(v))));
        }
    auto at = [n](int i, int j) { return static_cast<std::uint32_t>((i % n) * n + j % n); };
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            m.AddTriangle(at(i, j), at(i + 1, j), at(i + 1, j + 1));
            m.AddTriangle(at(i, j), at(i + 1, j + 1), at(i, j + 1));
        }
    return m;
}

TEST(Section, PlaneContours) {
    const MStlBase cube = Cube(100);
    const MStlBase torus = Torus(1000, 300, 40);
    const struct {
        const char* what;
        const MStlBase* mesh;
        float d[3], p[3];
        std::size_t contours;
    } cases[] = {
        {"cube, level cut", &cube, {0, 0, 1}, {0, 0, 50}, 1},
        {"cube, slanted cut", &cube, {1, 1, 1}, {50, 50, 50}, 1},
        {"plane touching the bottom face",
         &cube,
         {0, 0, 1},
         {0, 0, 0},
         0},  // on the plane is above it
        {"torus, across its axis", &torus, {0, 0, 1}, {0, 0, 0}, 2},
        {"torus, along its axis", &torus, {1, 0, 0}, {0, 0, 0}, 2},
        {"plane that misses", &cube, {0, 0, 1}, {0, 0, 500}, 0},
    };
    for (const auto& c : cases) {
        MSection section;
        section.SetMesh(c.mesh);
        ASSERT_TRUE(section.MakeSection(c.d[0], c.d[1], c.d[2], c.p[0], c.p[1], c.p[2])) << c.what;
        ASSERT_EQ(section.Count(), c.contours) << c.what;
        for (std::size_t i = 0; i < section.Count(); ++i) {
            EXPECT_TRUE(section.At(i).closed) << c.what;
            for (const MSectionPoint& q : section.At(i).points) {
                const double onPlane =
                    c.d[0] * (q.x - c.p[0]) + c.d[1] * (q.y - c.p[1]) + c.d[2] * (q.z - c.p[2]);
                EXPECT_NEAR(onPlane, 0.0, 1e-2) << c.what;
            }
        }
    }
    MSection level;
    level.SetMesh(&cube);
    level.MakeSection(0, 0, 1, 0, 0, 50);
    EXPECT_EQ(level.At(0).points.size(), 8u);  // 4 corners and 4 face diagonals
    // Recomputing reuses the contours; without a mesh or a direction nothing is computed.
    level.MakeSection(0, 0, 1, 0, 0, 500);
    EXPECT_EQ(level.Count(), 0u);
    EXPECT_FALSE(level.MakeSection(0, 0, 0, 0, 0, 0));
    MSection none;
    EXPECT_FALSE(none.MakeSection(0, 0, 1, 0, 0, 0));
}

TEST(Section, ChunksAndForms) {
    IVSection section;
    const Bytes bytes = kvxtest::Written({&section});
    EXPECT_EQ(kvxtest::Layout(bytes).substr(0, 20), "IVSEC .MUID .IVDEPD ");
    EXPECT_EQ(kvxtest::OwnData(bytes), Bytes(24, 0));
    EXPECT_EQ(
        kvxtest::Contents(bytes, "IVSEC", 1)[kvxtest::Contents(bytes, "IVSEC", 1).size() - 24 - 6],
        1);  // "DATA" version 1

    // The flat form: the plane right after the class chunk header.
    const Bytes plane = FloatBytes({1, 2, 3, 0, 0, 1});
    const Bytes flat = Chunk("IVSEC", 1, plane);
    MFileMemory file;
    file.OPEN_READ(flat.data(), flat.size());
    IVSection read;
    ASSERT_TRUE(read.Read(file));
    EXPECT_EQ(read.sectionPoint[2], 3.0f);
    EXPECT_EQ(read.sectionDirection[2], 1.0f);
    EXPECT_EQ(
        kvxtest::ReadAll(
            Chunk("IVSEC", 2, Concat({Chunk("MUID", 2, Words({3, 3})), Chunk("DATA", 2, plane)})))
            .results,
        (Results{READ_FAILED}));
    kvxtest::Outcome noData = kvxtest::ReadAll(Chunk("IVSEC", 2, Chunk("MUID", 2, Words({4, 4}))));
    ASSERT_EQ(noData.objects.size(), 1u);
    EXPECT_EQ(noData.objects[0].As<IVSection>()->sectionDirection[2], 0.0f);

    MHDynBase parameter = section.CreateParameter();
    ASSERT_NE(parameter.As<IVParSection>(), nullptr);
    EXPECT_EQ(parameter.As<IVParSection>()->baseColor, (ColorRecord{255, 0, 0, 0}));
    const Bytes par = kvxtest::Written({parameter.Get()});
    EXPECT_EQ(kvxtest::Layout(par), "PSEC .MUID .PBLINE ..PAR ...DATA ..DATA .DATA ");
    EXPECT_TRUE(kvxtest::OwnData(par).empty());
}

TEST(Section, TransformAndUpdate) {
    MHDynBase sectionHandle, meshHandle;
    sectionHandle.AdoptNew("IVSection");
    meshHandle.AdoptNew("IVSTLData");
    auto* section = sectionHandle.As<IVSection>();
    section->sectionPoint[2] = 50;
    section->sectionDirection[2] = 1;
    float box[6];
    section->GetBoundingBox(box[0], box[1], box[2], box[3], box[4], box[5]);
    EXPECT_EQ(box[0], 3.4028235e38f);  // no mesh child: an empty box
    section->UpdateSection();          // and nothing to compute
    EXPECT_EQ(section->GetMesh(), nullptr);

    // Never computed: a transform moves only the plane. A translation keeps the direction.
    MTransform shift;
    shift.translation = Eigen::Vector3d(0, 0, 10);
    section->Transform(shift);
    EXPECT_EQ(section->sectionPoint[2], 60);
    EXPECT_EQ(section->sectionDirection[2], 1);
    EXPECT_EQ(section->Count(), 0u);

    *meshHandle.As<IVSTLData>()->mesh = Cube(100);
    meshHandle.As<IVSTLData>()->mesh->UpdateExtremes();
    section->AddChild(meshHandle);
    section->UpdateSection();
    EXPECT_EQ(section->Count(), 1u);
    section->GetBoundingBox(box[0], box[1], box[2], box[3], box[4], box[5]);
    EXPECT_EQ(box[5], 100.0f);
    // Once computed, a transform recomputes: a quarter turn about x makes the plane vertical.
    MTransform turn;
    turn.ROTATION(90, 0, 0, 0, 0, 0);
    section->Transform(turn);
    EXPECT_NEAR(section->sectionDirection[1], -1, 1e-6);
    EXPECT_EQ(section->Count(), 0u);  // the plane y = -60 misses the cube
    section->DetachChildren();
}

}  // namespace
