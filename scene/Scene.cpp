#include "scene/Scene.h"

#include <algorithm>
#include <cstring>

#include "maker/ReadBudget.h"
#include "scene/Parameters.h"

namespace KvxInternal {

KVX_REGISTER_CLASS(IVScene, "IVSCN", 2, 2, &Make<IVScene>)
KVX_CLASS_CHUNKS(IVScene)

namespace {

constexpr char kMarker[2] = {'S', 'C'};
// What a record read from a file charges to the reader's budget (maker/ReadBudget.h): its entry
// with its transform, and the parameter object it creates when it names none.
constexpr std::uint64_t kRecordCharge = 256;
constexpr std::uint64_t kCreatedParameterCharge = 2048;
constexpr std::uint8_t kKindBits[4] = {0x1, 0x2, 0x4, 0x8};

// An entry's object or parameter as it can be referred to: a tagged class with an identity.
bool Referable(const MHDynBase& h) {
    return h && h->GetClassInfo().tag[0] != '\0' && h.As<MUID>() != nullptr;
}

bool WriteMarked(MFile& file, const MHDynBase& target) {
    return file.WRITE(kMarker, 2) == 2 && WriteReference(file, target);
}

// Reads "SC", a tag and an id. `info` is the class the tag names, or null.
bool ReadMarked(MFile& file, const MClassInfo*& info, MUIDValue& id) {
    char marker[2];
    char tag[7] = {};
    std::uint32_t words[2];
    if (file.READ(marker, 2) != 2 || std::memcmp(marker, kMarker, 2) != 0 ||
        file.READ(tag, 6) != 6 || file.READ(words, 2) != 2)
        return false;
    info = FindByTag(tag);
    id = MUIDValue{words[0], words[1]};
    return true;
}

// The object of a record: a concrete class of kind `base` (IVObject or IVPar), found or created.
bool Resolve(MFile& file, const MClassInfo& info, const MUIDValue& id, const MClassInfo& base,
             MHDynBase& out) {
    if (info.factory == nullptr || FindByInfo(&info, &base, SEARCH_BASES) == nullptr) return false;
    out = GetOrCreate(file, id, info);
    return static_cast<bool>(out);
}

}  // namespace

std::uint32_t IVScene::AddObject(const MHDynBase& object, const MHDynBase& parameter,
                                 std::int8_t level) {
    IVObject* sceneObject = object.As<IVObject>();
    if (sceneObject == nullptr) return GetCount();
    // The leading entries of equal or lower level end where the first higher level begins.
    const auto p = static_cast<std::uint32_t>(
        std::upper_bound(levels.begin(), levels.end(), level) - levels.begin());
    if (p < indexed_) {
        firstPosition_.clear();  // the positions from p on move up
        indexed_ = 0;
    }
    objects.insert(objects.begin() + p, object);
    parameters.insert(parameters.begin() + p, parameter);
    entryFlags.insert(entryFlags.begin() + p, 1);
    levels.insert(levels.begin() + p, level);
    objectTransforms.insert(objectTransforms.begin() + p, MHTransform());
    objectTransforms[p].Create();
    for (int bit = 0; bit < 4; ++bit)
        if (sceneObject->kindBits & kKindBits[bit]) ++kindCounts[bit];
    for (int bit = 0; bit < 4; ++bit)
        if (kindCounts[bit] != 0) kindMask |= kKindBits[bit];
    UpdateObjectTransform(p);
    return p;
}

std::uint32_t IVScene::IndexOf(const IVObject* object) const {
    for (; indexed_ < GetCount(); ++indexed_)
        firstPosition_.try_emplace(objects[indexed_].As<IVObject>(), indexed_);
    const auto it = firstPosition_.find(object);
    return it == firstPosition_.end() ? GetCount() : it->second;
}

void IVScene::UpdateObjectTransform(std::uint32_t i) {
    MTransform scene;
    IVAxisOrient::GetTransform(scene);
    scene.INVERT();
    MTransform own;
    if (IVObject* o = GetObject(i)) o->GetTransform(own);
    if (!objectTransforms[i]) objectTransforms[i].Create();
    *objectTransforms[i] = scene * own;
}

void IVScene::Clear() {
    levels.clear();
    parameters.clear();
    entryFlags.clear();
    objects.clear();
    objectTransforms.clear();
    std::fill(std::begin(kindCounts), std::end(kindCounts), 0);
    kindMask = 0;
    firstPosition_.clear();
    indexed_ = 0;
}

bool IVScene::WriteFields(MFile& file) {
    std::uint32_t n = 0;
    for (const MHDynBase& o : objects)
        n += Referable(o);
    if (file.WRITE(&n, 1) != 1) return false;
    for (std::uint32_t i = 0; i < GetCount(); ++i) {
        if (!Referable(objects[i])) continue;
        const bool hasParameter = Referable(parameters[i]);
        if (!WriteMarked(file, objects[i]) || file.WRITE(&hasParameter, 1) != 1 ||
            (hasParameter && !WriteMarked(file, parameters[i])) || file.WRITE(&levels[i], 1) != 1 ||
            file.WRITE(&entryFlags[i], 1) != 1)
            return false;
    }
    return sceneName.WRITE(file) && file.WRITE(&sceneNumber, 1) == 1;
}

bool IVScene::ReadFields(MFile& file, std::uint8_t version, std::uint8_t revision) {
    if (version != 2) return false;
    // Reading replaces whatever the scene held, so the lists and counters stay consistent.
    Clear();
    std::uint32_t n = 0;
    if (file.READ(&n, 1) != 1) return false;
    const std::int64_t minRecord = 2 + 14 + 1 + (revision >= 1) + (revision >= 2);
    if (static_cast<std::int64_t>(n) > file.REMAINING() / minRecord) return false;

    // The records are entered once all are read (or the read fails): a stable sort by level puts
    // them where AddObject would have put them one by one, after every entry of equal or lower
    // level read before, each with its own flag, in O(n log n) whatever the order of the levels
    // (one by one, records in falling order would each go in front).
    struct Record {
        MHDynBase object;
        MHDynBase parameter;
        std::int8_t level;
        std::uint8_t entryFlag;
    };
    std::vector<Record> records;
    const auto enter = [&] {
        const auto byLevel = [](const Record& a, const Record& b) { return a.level < b.level; };
        if (!std::is_sorted(records.begin(), records.end(), byLevel))
            std::stable_sort(records.begin(), records.end(), byLevel);
        for (const Record& r : records) {
            const std::uint32_t position = AddObject(r.object, r.parameter, r.level);
            if (position < GetCount()) entryFlags[position] = r.entryFlag;
        }
        records.clear();
    };
    const auto fail = [&] {
        enter();
        return false;
    };

    for (std::uint32_t i = 0; i < n; ++i) {
        const MClassInfo* objectClass = nullptr;
        MUIDValue objectId;
        // The entry, in the scene's lists and while it waits to be entered.
        if (!TakeReadBudget(file, 1, kRecordCharge)) return fail();
        if (!ReadMarked(file, objectClass, objectId)) return fail();
        const bool skipped = objectClass == nullptr;  // a class this library does not know
        MHDynBase object;
        if (!skipped && !Resolve(file, *objectClass, objectId, IVObject::ClassInfo(), object))
            return fail();

        bool hasParameter = false;
        if (file.READ(&hasParameter, 1) != 1) return fail();
        MHDynBase parameter;
        if (hasParameter) {
            const MClassInfo* parameterClass = nullptr;
            MUIDValue parameterId;
            if (!ReadMarked(file, parameterClass, parameterId)) return fail();
            // An unknown parameter class leaves the entry without a parameter, as written.
            if (parameterClass != nullptr &&
                !Resolve(file, *parameterClass, parameterId, IVPar::ClassInfo(), parameter))
                return fail();
        } else if (!skipped) {
            if (!TakeReadBudget(file, 1, kCreatedParameterCharge)) return fail();
            parameter = object.As<IVObject>()->CreateParameter();
        }
        std::int8_t level = 0;
        if (revision >= 1 && file.READ(&level, 1) != 1) return fail();
        // An entry whose flag byte is missing is still entered, with flag 1.
        if (!skipped) records.push_back(Record{object, parameter, level, 1});
        std::uint8_t entryFlag = 1;
        if (revision >= 2 && file.READ(&entryFlag, 1) != 1) return fail();
        if (!skipped) records.back().entryFlag = entryFlag;
    }
    enter();
    return revision < 1 || (sceneName.READ(file) && file.READ(&sceneNumber, 1) == 1);
}

// A scene copies nothing of its own.
void IVScene::CopyFrom(MDynBase&) {}

}  // namespace KvxInternal
