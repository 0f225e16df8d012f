#include <gtest/gtest.h>

#include <map>

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

// The position the insertion rule gives: after every leading entry of equal or lower level.
std::uint32_t RulePosition(const std::vector<std::int8_t>& levels, std::int8_t level) {
    std::uint32_t p = 0;
    while (p < levels.size() && levels[p] <= level)
        ++p;
    return p;
}

// IndexOf by its definition: the first position whose object is the one asked for.
std::uint32_t FirstPosition(const IVScene& scene, const IVObject* object) {
    for (std::uint32_t i = 0; i < scene.GetCount(); ++i)
        if (scene.GetObject(i) == object) return i;
    return scene.GetCount();
}

// Level sequences for the tests below: written order, mixed, falling, the extremes, long ones.
std::vector<std::vector<std::int8_t>> LevelCases() {
    std::vector<std::vector<std::int8_t>> cases = {
        {0, 0, 0},
        {3, 1, 2, 1, 3, 0, 2},
        {5, 4, 3, 2, 1, 0, -1, -2},
        {-128, 127, -1, 0, -128, 127, 1, -1},
    };
    std::vector<std::int8_t> spread, falling;
    for (int i = 0; i < 40; ++i) {
        spread.push_back(static_cast<std::int8_t>(i * 37 % 7 - 3));
        falling.push_back(static_cast<std::int8_t>(20 - i / 2));
    }
    cases.push_back(spread);
    cases.push_back(falling);
    return cases;
}

// AddObject puts each entry where the insertion rule says and returns that position, for levels
// in any order (negative ones included), an object added twice, and IndexOf asked between the
// additions: it must follow the entries as they move.
TEST(Scene, AddObjectFollowsTheInsertionRule) {
    for (const auto& levels : LevelCases()) {
        IVScene scene;
        std::vector<MHDynBase> objects;
        std::vector<std::int8_t> model;
        for (std::size_t i = 0; i < levels.size(); ++i) {
            // Every fifth entry adds the object of two entries before once more.
            if (i % 5 == 4)
                objects.push_back(objects[i - 2]);
            else
                objects.push_back(New("TShape"));
            const std::uint32_t p = RulePosition(model, levels[i]);
            model.insert(model.begin() + p, levels[i]);
            ASSERT_EQ(scene.AddObject(objects.back(), MHDynBase(), levels[i]), p) << i;
            ASSERT_EQ(scene.levels, model) << i;
            for (const MHDynBase& o : objects)
                ASSERT_EQ(scene.IndexOf(o.As<IVObject>()), FirstPosition(scene, o.As<IVObject>()))
                    << i;
        }
        const MHDynBase stranger = New("TShape");
        EXPECT_EQ(scene.IndexOf(stranger.As<IVObject>()), scene.GetCount());
        EXPECT_EQ(scene.IndexOf(nullptr), scene.GetCount());
        ASSERT_EQ(scene.GetCount(), levels.size());
        EXPECT_EQ(scene.parameters.size(), levels.size());
        EXPECT_EQ(scene.entryFlags.size(), levels.size());
        EXPECT_EQ(scene.objectTransforms.size(), levels.size());
        EXPECT_EQ(scene.kindCounts[0], levels.size());
    }
}

// A scene read from records in any order of levels equals the scene that AddObject calls in
// record order make, with each record's flag stored at the position AddObject returned right
// after the call: same objects, parameters, levels and flags at every position, same counters and
// the same IndexOf answers.
TEST(Scene, ReadRecordsEqualAddObjectCalls) {
    for (const auto& levels : LevelCases()) {
        const auto n = static_cast<std::uint32_t>(levels.size());
        // Record i: object 100 + i (every fifth repeats the object of two records before), a
        // parameter of its own for even i (none for odd i: a fresh one is made), flag 10 + i.
        const auto objectId = [](std::uint32_t i) { return 100 + (i % 5 == 4 ? i - 2 : i); };
        Bytes data = Words({n});
        for (std::uint32_t i = 0; i < n; ++i) {
            data = Concat({data, Record("TSHAPE", objectId(i))});
            data = i % 2 == 0 ? Concat({data, Bytes{1}, Record("PCLIP", 500 + i)})
                              : Concat({data, Bytes{0}});
            data.push_back(static_cast<std::uint8_t>(levels[i]));
            data.push_back(static_cast<std::uint8_t>(10 + i));
        }
        data = Concat({data, NameBytes("R"), Words({2})});
        kvxtest::Outcome out = kvxtest::ReadAll(SceneChunk(data, 2));
        ASSERT_EQ(out.results, (Results{READ_OK, READ_END}));
        const IVScene& read = *out.objects[0].As<IVScene>();

        // The objects and parameters the read resolved, by identity.
        std::map<std::uint32_t, MHDynBase> byId;
        for (std::uint32_t i = 0; i < read.GetCount(); ++i)
            for (const MHDynBase* h : {&read.objects[i], &read.GetParameter(i)})
                if (h->As<MUID>() != nullptr) byId[h->As<MUID>()->GetId().word0] = *h;
        IVScene made;
        for (std::uint32_t i = 0; i < n; ++i) {
            MHDynBase object = byId[objectId(i)];
            ASSERT_NE(object.As<IVObject>(), nullptr) << i;
            MHDynBase parameter =
                i % 2 == 0 ? byId[500 + i] : object.As<IVObject>()->CreateParameter();
            const std::uint32_t at = made.AddObject(object, parameter, levels[i]);
            made.entryFlags[at] = static_cast<std::uint8_t>(10 + i);
        }
        ASSERT_EQ(read.GetCount(), made.GetCount());
        EXPECT_EQ(read.levels, made.levels);
        EXPECT_EQ(read.entryFlags, made.entryFlags);
        for (std::uint32_t i = 0; i < n; ++i) {
            EXPECT_EQ(read.objects[i].Get(), made.objects[i].Get()) << i;
            const MHDynBase& p = read.GetParameter(i);
            if (p.As<IVParClip>() != nullptr)
                EXPECT_EQ(p.Get(), made.GetParameter(i).Get()) << i;
            else
                EXPECT_NE(made.GetParameter(i).As<IVParBaseLine>(), nullptr) << i;
            EXPECT_NE(p.As<IVPar>(), nullptr) << i;
            EXPECT_EQ(read.IndexOf(read.GetObject(i)), made.IndexOf(made.GetObject(i))) << i;
            EXPECT_TRUE(read.objectTransforms[i]) << i;
        }
        EXPECT_EQ(std::vector<std::uint32_t>(read.kindCounts, read.kindCounts + 4),
                  std::vector<std::uint32_t>(made.kindCounts, made.kindCounts + 4));
        EXPECT_EQ(read.kindMask, made.kindMask);
    }
}

// A read that fails part-way keeps the records read before the failure, in the order and with
// the flags that entering them one by one gives; a record whose flag byte is missing is entered
// with flag 1.
TEST(Scene, FailedReadKeepsTheRecordsReadSoFar) {
    // The first record's parameter makes the bytes enough for the count; the third record ends
    // before its flag byte.
    const Bytes data =
        Concat({Words({3}), Record("TSHAPE", 61), Bytes{1}, Record("PCLIP", 71), Bytes{2, 7},
                Record("TSHAPE", 62), Bytes{0, static_cast<std::uint8_t>(-1), 8},
                Record("TSHAPE", 63), Bytes{0, 1}});
    MFileMemory file;
    const Bytes bytes = SceneChunk(data, 2);
    file.OPEN_READ(bytes.data(), bytes.size());
    IVScene scene;
    EXPECT_FALSE(scene.Read(file));
    ASSERT_EQ(scene.GetCount(), 3u);
    EXPECT_EQ(scene.levels, (std::vector<std::int8_t>{-1, 1, 2}));
    EXPECT_EQ(scene.entryFlags, (std::vector<std::uint8_t>{8, 1, 7}));
    EXPECT_EQ(scene.objects[0].As<MUID>()->GetId(), (MUIDValue{62, 62}));
    EXPECT_EQ(scene.objects[2].As<MUID>()->GetId(), (MUIDValue{61, 61}));
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
