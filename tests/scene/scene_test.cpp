#include <gtest/gtest.h>

#include "scene/Dependencies.h"
#include "scene/Parameters.h"
#include "support/Streams.h"

namespace kvxtest {

// A scene object that makes its own parameter, like a mesh does.
class TShape : public KvxInternal::IVDependency {
    KVX_DYNAMIC_CLASS(TShape, KvxInternal::IVDependency)

public:
    TShape() : KvxInternal::IVObject(KvxInternal::kKindMesh) {}
    KvxInternal::MHDynBase CreateParameter() override {
        KvxInternal::MHDynBase p;
        p.AdoptNew("IVParBaseLine");
        return p;
    }
    // Its own class chunk around the IVDependency chunk, with no fields of its own.
    bool Write(MFile& f) override {
        return KvxInternal::WriteClassChunk(*this, f, [](MFile&) { return true; });
    }
    bool Read(MFile& f) override {
        return KvxInternal::ReadClassChunk(*this, f,
                                           [](MFile&, std::uint8_t, std::uint8_t) { return true; });
    }
};
KVX_REGISTER_CLASS(TShape, "TSHAPE", 2, 0, &KvxInternal::Make<TShape>)

// A scene object whose class has no tag: it cannot be referred to in a file.
class TUntagged : public KvxInternal::IVDependency {
    KVX_DYNAMIC_CLASS(TUntagged, KvxInternal::IVDependency)

public:
    TUntagged() : KvxInternal::IVObject(KvxInternal::kKindDependency) {}
};
KVX_REGISTER_CLASS(TUntagged, nullptr, 0, 0, &KvxInternal::Make<TUntagged>)

}  // namespace kvxtest

namespace {

using namespace KvxInternal;
using kvxtest::Bytes;
using kvxtest::Chunk;
using kvxtest::Concat;
using kvxtest::Words;
using Results = std::vector<std::int32_t>;

MHDynBase New(const char* className) {
    MHDynBase h;
    h.AdoptNew(className);
    return h;
}

Bytes NameBytes(const char* ascii) {
    return Concat({Words({static_cast<std::uint32_t>(std::strlen(ascii))}),
                   Bytes(ascii, ascii + std::strlen(ascii))});
}

TEST(Scene, NewSceneChunk) {
    IVScene scene;
    const Bytes bytes = kvxtest::Written({&scene});
    EXPECT_EQ(kvxtest::Layout(bytes), "IVSCN .IVVPNT ..DATA .DATA ");
    EXPECT_EQ(kvxtest::OwnData(bytes), Concat({Words({0}), NameBytes("Scene 1"), Words({1})}));
    EXPECT_EQ(kvxtest::Contents(bytes, "DATA", 3).size(), 52u);  // the view point's floats
}

TEST(Scene, AddObjectOrderAndKinds) {
    IVScene scene;
    const std::int8_t levels[] = {0, 2, 1, 1, -1};
    const std::uint32_t expected[] = {0, 1, 1, 2, 0};
    std::vector<MHDynBase> objects;
    for (std::size_t i = 0; i < 5; ++i) {
        objects.push_back(New("IVDependency"));
        EXPECT_EQ(scene.AddObject(objects.back(), MHDynBase(), levels[i]), expected[i]) << i;
    }
    EXPECT_EQ(scene.levels, (std::vector<std::int8_t>{-1, 0, 1, 1, 2}));
    // Equal levels keep their order of arrival.
    EXPECT_EQ(scene.IndexOf(objects[2].As<IVObject>()), 2u);
    EXPECT_EQ(scene.IndexOf(objects[3].As<IVObject>()), 3u);
    EXPECT_EQ(scene.IndexOf(nullptr), 5u);
    EXPECT_EQ(scene.kindMask, 0);

    IVScene kinds;
    MHDynBase mesh = New("TShape"), section = New("IVDependency");
    section.As<IVObject>()->kindBits = kKindSection;
    kinds.AddObject(mesh, MHDynBase(), 0);
    kinds.AddObject(section, MHDynBase(), 0);
    EXPECT_EQ(std::vector<std::uint32_t>(kinds.kindCounts, kinds.kindCounts + 4),
              (std::vector<std::uint32_t>{1, 2, 0, 0}));
    EXPECT_EQ(kinds.kindMask, 0x3);
    // Only scene objects can be added.
    EXPECT_EQ(kinds.AddObject(New("IVParClip"), MHDynBase(), 0), 2u);
    EXPECT_EQ(kinds.GetCount(), 2u);
}

// The stream as an exporter writes it: objects, parameters, then the scene dependency.
TEST(Scene, RoundTripResolvesToTheObjectsRead) {
    Bytes bytes;
    {
        MHDynBase a = New("TShape"), b = New("TShape"), untagged = New("TUntagged"),
                  pa = New("IVParClip");
        pa.As<IVParClip>()->clipFlag = false;
        a.As<IVDependency>()->objectName = L"first";
        MHDynBase sceneHandle = New("IVSceneDependency");
        auto* scene = sceneHandle.As<IVSceneDependency>();
        scene->AddObject(a, pa, 0);
        scene->AddObject(b, MHDynBase(), 3);
        scene->AddObject(untagged, MHDynBase(), 1);
        scene->entryFlags[0] = 7;
        scene->sceneName = L"S";
        bytes = kvxtest::Written({a.Get(), b.Get(), pa.Get(), scene});
    }
    kvxtest::Outcome out = kvxtest::ReadAll(bytes);
    ASSERT_EQ(out.results, (Results{READ_OK, READ_OK, READ_OK, READ_OK, READ_END}));
    auto* scene = out.objects[3].As<IVSceneDependency>();
    ASSERT_NE(scene, nullptr);
    ASSERT_EQ(scene->GetCount(), 2u);  // the untagged object is not written
    EXPECT_EQ(scene->objects[0].Get(), out.objects[0].Get());
    EXPECT_EQ(scene->objects[1].Get(), out.objects[1].Get());
    EXPECT_EQ(scene->GetParameter(0).Get(), out.objects[2].Get());
    EXPECT_FALSE(scene->GetParameter(0).As<IVParClip>()->clipFlag);
    // No parameter written: the object's own fresh parameter.
    EXPECT_NE(scene->GetParameter(1).As<IVParBaseLine>(), nullptr);
    EXPECT_EQ(scene->levels, (std::vector<std::int8_t>{0, 3}));
    EXPECT_EQ(scene->entryFlags, (std::vector<std::uint8_t>{7, 1}));
    EXPECT_EQ(scene->sceneName, MString(L"S"));
    EXPECT_EQ(out.objects[0].As<IVDependency>()->objectName, MString(L"first"));
}

// Hand-made scene chunks: older revisions, unknown and wrong classes.
Bytes SceneChunk(const Bytes& data, std::uint8_t revision) {
    return Chunk("IVSCN", 2, Chunk("DATA", 2, data, revision));
}
Bytes Record(const char* tag, std::uint32_t id) {
    Bytes out = {'S', 'C'};
    Bytes t(6, 0);
    std::memcpy(t.data(), tag, std::strlen(tag));
    return Concat({out, t, Words({id, id})});
}

TEST(Scene, ReadRevisionsAndRecords) {
    const Bytes shape = Record("TSHAPE", 41);
    // Revision 0: no level, flag, name or number.
    kvxtest::Outcome out = kvxtest::ReadAll(SceneChunk(Concat({Words({1}), shape, Bytes{0}}), 0));
    ASSERT_EQ(out.objects.size(), 1u);
    auto* scene = out.objects[0].As<IVScene>();
    EXPECT_EQ(scene->levels, std::vector<std::int8_t>{0});
    EXPECT_EQ(scene->sceneName, MString(L"Scene 1"));
    EXPECT_EQ(scene->sceneNumber, 1u);
    // Revision 1: levels, name and number; every flag 1.
    out = kvxtest::ReadAll(
        SceneChunk(Concat({Words({1}), shape, Bytes{0, 5}, NameBytes("N"), Words({9})}), 1));
    ASSERT_EQ(out.objects.size(), 1u);
    scene = out.objects[0].As<IVScene>();
    EXPECT_EQ(scene->levels, std::vector<std::int8_t>{5});
    EXPECT_EQ(scene->entryFlags, std::vector<std::uint8_t>{1});
    EXPECT_EQ(scene->sceneNumber, 9u);
    // A record of a class nobody knows is read over and skipped.
    out = kvxtest::ReadAll(
        SceneChunk(Concat({Words({2}), Record("ALIEN", 1), Bytes{1}, Record("ALIENP", 2),
                           Bytes{0, 3}, shape, Bytes{0, 0, 4}, NameBytes(""), Words({1})}),
                   2));
    ASSERT_EQ(out.objects.size(), 1u);
    scene = out.objects[0].As<IVScene>();
    ASSERT_EQ(scene->GetCount(), 1u);
    EXPECT_EQ(scene->entryFlags, std::vector<std::uint8_t>{4});

    const struct {
        const char* what;
        Bytes data;
    } refused[] = {
        {"object tag of a parameter class",
         Concat({Words({1}), Record("PCLIP", 1), Bytes{0, 0, 1}, NameBytes(""), Words({1})})},
        {"object tag of an abstract class",
         Concat({Words({1}), Record("IVOBJ", 1), Bytes{0, 0, 1}, NameBytes(""), Words({1})})},
        {"parameter tag of a scene object",
         Concat({Words({1}), shape, Bytes{1}, Record("TSHAPE", 2), Bytes{0, 1}, NameBytes(""),
                 Words({1})})},
        {"missing marker",
         Concat({Words({1}), Bytes{'X', 'C'}, Bytes(shape.begin() + 2, shape.end()), Bytes{0, 0, 1},
                 NameBytes(""), Words({1})})},
        {"count beyond the chunk", Concat({Words({0x10000000}), shape, Bytes{0, 0, 1}})},
        {"short name", Concat({Words({0}), Words({5}), Bytes{'a'}})},
    };
    for (const auto& c : refused)
        EXPECT_EQ(kvxtest::ReadAll(SceneChunk(c.data, 2)).results, (Results{READ_FAILED}))
            << c.what;
}

TEST(SceneDependency, ChunksAndForms) {
    IVSceneDependency scene;
    const Bytes bytes = kvxtest::Written({&scene});
    EXPECT_EQ(kvxtest::Layout(bytes),
              "IVSCND .MUID .IVSCN ..IVVPNT ...DATA ..DATA .MDEPD ..DATA .DATA ");
    EXPECT_TRUE(kvxtest::OwnData(bytes).empty());
    // The flat form of a scene dependency reads (as nothing); that of a dependency object fails.
    EXPECT_EQ(kvxtest::ReadAll(Chunk("IVSCND", 1, Chunk("MUID", 2, Words({5, 5})))).results,
              (Results{READ_OK, READ_END}));
    EXPECT_EQ(kvxtest::ReadAll(Chunk("IVDEPD", 1, Chunk("MUID", 2, Words({5, 5})))).results,
              (Results{READ_FAILED}));
}

}  // namespace
