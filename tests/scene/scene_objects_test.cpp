#include <gtest/gtest.h>

#include <Eigen/LU>  // determinant()
#include <cmath>
#include <cstring>

#include "scene/Dependencies.h"
#include "support/Streams.h"

namespace {

using namespace KvxInternal;
using kvxtest::Bytes;
using kvxtest::FloatBytes;

bool Near(const MTransform& a, const MTransform& b) {
    return a.matrix.isApprox(b.matrix, 1e-9) && a.inverse.isApprox(b.inverse, 1e-9) &&
           (a.translation - b.translation).norm() < 1e-6;
}

TEST(Transform, OrientationCodes) {
    const struct {
        const wchar_t* code;
        bool valid;
        Eigen::Vector3d xImage;  // where the local x axis points
    } cases[] = {
        {L"RBP", true, {1, 0, 0}}, {L"rbp", true, {1, 0, 0}}, {L"LFP", true, {-1, 0, 0}},
        {L"BLP", true, {0, 1, 0}}, {L"RBD", false, {}},       {L"RRP", false, {}},
        {L"XYZ", false, {}},       {L"RB", false, {}},
    };
    for (const auto& c : cases) {
        MTransform t;
        t.translation = Eigen::Vector3d(1, 2, 3);
        const MTransform before = t;
        EXPECT_EQ(MTransformOrient::ORIENTATION(t, c.code), c.valid);
        if (!c.valid) {
            EXPECT_EQ(t, before);
            continue;
        }
        EXPECT_TRUE(t.matrix.col(0).isApprox(c.xImage));
        EXPECT_NEAR(t.matrix.determinant(), 1.0, 1e-12);
        EXPECT_TRUE((t.matrix * t.inverse).isIdentity());
        EXPECT_TRUE(t.translation.isZero());
    }
}

TEST(Transform, ComposeInvertAndCenter) {
    MTransform r;
    r.ROTATION(30, -45, 60, 5, 6, 7);
    MTransform s;
    s.ROTATION(10, 20, 30, 0, 0, 0);
    s.CENTER(1, 2, 3, 0, 0, 0);
    const float p[3] = {0.5f, -2.0f, 4.0f};
    float viaProduct[3], viaSteps[3], tmp[3];
    (r * s).TRANSFORM3D(viaProduct, p);
    s.TRANSFORM3D(tmp, p);
    r.TRANSFORM3D(viaSteps, tmp);
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(viaProduct[i], viaSteps[i], 1e-4);
    // The centre of a centred rotation stays in place; the shift then moves it.
    const float c[3] = {1, 2, 3};
    float out[3];
    s.TRANSFORM3D(out, c);
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(out[i], c[i], 1e-5);
    s.CENTER(1, 2, 3, 10, 0, 0);
    s.TRANSFORM3D(out, c);
    EXPECT_NEAR(out[0], 11, 1e-5);
    // Inverting twice gives the transform back; a transform times its inverse is the identity.
    MTransform inv = r;
    inv.INVERT();
    EXPECT_TRUE(Near(r * inv, MTransform()));
    inv.INVERT();
    EXPECT_TRUE(Near(inv, r));
    // t2 in the frame t1: t1⁻¹ · t2 · t1.
    MTransform conj;
    conj.T1THIS_FROM_T2T1(s, r);
    MTransform rInv = r;
    rInv.INVERT();
    EXPECT_TRUE(Near(conj, rInv * s * r));
}

TEST(Axes, TransformsAndCopies) {
    IVDependency object;
    MTransform t;
    t.ROTATION(1, 2, 3, 4, 5, 6);
    object.GetTransform(t);
    EXPECT_TRUE(Near(t, MTransform()));  // a new object's axis is the identity

    IVAxisOrient orient;
    orient.GetTransform(t);
    EXPECT_TRUE(Near(t, MTransform()));  // "RBP", unit scale, no translation
    orient.scale[0] = 2, orient.scale[1] = 4, orient.scale[2] = 0.5f;
    orient.translation[2] = 9;
    std::strcpy(orient.orientationCode, "LFP");
    orient.GetTransform(t);
    EXPECT_TRUE(t.matrix.isApprox((Eigen::Matrix3d() << -2, 0, 0, 0, -4, 0, 0, 0, 0.5).finished()));
    EXPECT_TRUE(
        t.inverse.isApprox((Eigen::Matrix3d() << -0.5, 0, 0, 0, -0.25, 0, 0, 0, 2).finished()));
    EXPECT_EQ(t.translation, Eigen::Vector3d(0, 0, 9));

    // From a scene (an oriented axis): a new orient axis with the scene's values.
    IVScene scene;
    scene.scale[1] = 3;
    object.CopyAxisFrom(scene);
    ASSERT_EQ(&object.axis->GetClassInfo(), &IVAxisOrient::ClassInfo());
    EXPECT_EQ(object.axis.As<IVAxisOrient>()->scale[1], 3);
    EXPECT_NE(object.axis.Get(), static_cast<MDynBase*>(static_cast<IVAxisOrient*>(&scene)));
    IVAxisTransform moved;
    moved.transform.ROTATION(0, 0, 90, 1, 1, 1);
    object.CopyAxisFrom(moved);
    object.GetTransform(t);
    EXPECT_EQ(t, moved.transform);
    IVViewPoint notAnAxis;
    object.CopyAxisFrom(notAnAxis);
    EXPECT_EQ(&object.axis->GetClassInfo(), &IVAxisTransform::ClassInfo());
    // Axes are never stored.
    EXPECT_TRUE(kvxtest::Written({&orient, &moved}).empty());
}

// An object's own axis as the source: the copy is taken before the old axis is let go.
TEST(Axes, CopyFromOwnAxis) {
    IVAxisOrient orient;
    orient.scale[0] = 2, orient.scale[1] = 3, orient.scale[2] = 4;
    orient.translation[1] = 5;
    std::strcpy(orient.orientationCode, "LFP");
    IVAxisTransform moved;
    moved.transform.ROTATION(10, 20, 30, 1, 2, 3);
    MDynBase* sources[] = {&orient, &moved};
    for (MDynBase* source : sources) {
        IVDependency object;
        object.CopyAxisFrom(*source);
        MTransform before;
        object.GetTransform(before);
        const MClassInfo* kind = &object.axis->GetClassInfo();

        object.CopyAxisFrom(*object.axis);
        EXPECT_EQ(&object.axis->GetClassInfo(), kind);
        MTransform after;
        object.GetTransform(after);
        EXPECT_EQ(after, before);
    }
}

TEST(SceneObjects, ObjectChunksAndBox) {
    IVDependency object;
    const Bytes bytes = kvxtest::Written({&object});
    EXPECT_EQ(kvxtest::Layout(bytes),
              "IVDEPD .MUID .IVOBJM ..IVOBJ ...DATA ..DATA .MDEPD ..DATA .DATA ");
    EXPECT_EQ(kvxtest::Contents(bytes, "DATA", 4), Bytes{1});  // IVObject: objectFlag
    EXPECT_TRUE(kvxtest::Contents(bytes, "DATA", 3).empty());  // IVObjectMouse: empty
    float box[6];
    object.GetBoundingBox(box[0], box[1], box[2], box[3], box[4], box[5]);
    for (int i = 0; i < 6; i += 2) {
        EXPECT_EQ(box[i], 3.4028235e38f);
        EXPECT_EQ(box[i + 1], -3.4028235e38f);
    }
}

TEST(SceneObjects, ViewPoint) {
    IVViewPoint defaults;
    EXPECT_EQ(kvxtest::OwnData(kvxtest::Written({&defaults})),
              FloatBytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 300, 200}));

    IVViewPoint v;
    v.SetCenter(1, 2, 3, 4, 5, 6);
    v.SetRotation(10, 20, 30);
    v.viewExtent[0] = 7;
    Bytes bytes = kvxtest::Written({&v});
    kvxtest::Outcome out = kvxtest::ReadAll(bytes);
    ASSERT_EQ(out.objects.size(), 1u);
    auto* back = out.objects[0].As<IVViewPoint>();
    float a, b, c;
    back->GetRotation(a, b, c);
    EXPECT_EQ(a + b + c, 60);
    EXPECT_EQ(back->viewExtent[0], 7);
    EXPECT_TRUE(Near(back->viewTransform, v.viewTransform));

    // Without "DATA" the defaults stay; a "DATA" of version 1 fails.
    out = kvxtest::ReadAll(kvxtest::Chunk("IVVPNT", 2, {}));
    ASSERT_EQ(out.objects.size(), 1u);
    EXPECT_EQ(out.objects[0].As<IVViewPoint>()->viewExtent[2], 300);
    out = kvxtest::ReadAll(kvxtest::Chunk(
        "IVVPNT", 2,
        kvxtest::Chunk("DATA", 1, FloatBytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}))));
    EXPECT_EQ(out.results, (std::vector<std::int32_t>{READ_FAILED}));
}

}  // namespace
