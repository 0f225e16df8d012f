#include "persistence/ClassInfo.h"

#include <algorithm>
#include <cstring>

#include "maker/Text.h"
#include "persistence/DynBase.h"

namespace KvxInternal {

namespace {

// The registry proper: created by the first record, freed when the last record is destroyed.
struct Registry {
    MClassInfo* root = nullptr;
    std::vector<MClassInfo*> pending;
};

Registry* gRegistry = nullptr;
int gRegistered = 0;  // registered records alive

Registry& TheRegistry() {
    if (gRegistry == nullptr) {
        gRegistry = new Registry;
        gRegistry->root = new MClassInfo;
        std::strcpy(gRegistry->root->name, "MDynBase");
    }
    return *gRegistry;
}

void Erase(std::vector<MClassInfo*>& list, const MClassInfo* record) {
    list.erase(std::remove(list.begin(), list.end(), record), list.end());
}

void Fill(MClassInfo& record, const char* name, const char* tag, std::uint8_t version,
          std::uint8_t flags, ClassFactory factory) {
    std::memset(record.name, 0, sizeof record.name);
    std::strncpy(record.name, name, sizeof record.name - 1);
    std::memset(record.tag, 0, sizeof record.tag);
    if (tag != nullptr) std::strncpy(record.tag, tag, 6);
    record.version = version;
    record.flags = flags;
    record.factory = factory;
    record.bases.clear();
    record.derived.clear();
    record.pendingNames.clear();
    record.pendingSlots.clear();
}

// Links records that named `record` as a base before it existed.
void ResolvePending(Registry& registry, MClassInfo& record) {
    auto& pending = registry.pending;
    for (std::size_t i = 0; i < pending.size();) {
        MClassInfo* p = pending[i];
        for (std::size_t k = 0; k < p->pendingNames.size(); ++k) {
            if (CharacterSetConversions::String<char>(p->pendingNames[k]) != record.name) continue;
            record.derived.push_back(p);
            p->bases[p->pendingSlots[k]] = &record;
            p->pendingNames.erase(p->pendingNames.begin() + static_cast<std::ptrdiff_t>(k));
            p->pendingSlots.erase(p->pendingSlots.begin() + static_cast<std::ptrdiff_t>(k));
            break;
        }
        if (p->pendingNames.empty()) {
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

void AddBase(Registry& registry, MClassInfo& record, const char* baseName) {
    if (baseName == nullptr) return;
    const MClassInfo* found = FindByName(registry.root, baseName, SEARCH_DERIVED);
    for (std::size_t i = 0; found == nullptr && i < registry.pending.size(); ++i)
        found = FindByName(registry.pending[i], baseName, SEARCH_DERIVED);
    if (found != nullptr) {
        auto* base = const_cast<MClassInfo*>(found);
        base->derived.push_back(&record);
        record.bases.push_back(base);
        return;
    }
    auto& pending = registry.pending;
    if (std::find(pending.begin(), pending.end(), &record) == pending.end())
        pending.push_back(&record);
    record.pendingSlots.push_back(static_cast<std::uint32_t>(record.bases.size()));
    record.bases.push_back(nullptr);
    record.pendingNames.push_back(ConvertAnsiToUnicode(baseName));
}

template <class Match>
const MClassInfo* Search(const MClassInfo* start, int mode, const Match& match) {
    if (start == nullptr) return nullptr;
    if (match(*start)) return start;
    if (mode & SEARCH_BASES)
        for (const MClassInfo* base : start->bases)
            if (const MClassInfo* hit = Search(base, SEARCH_BASES, match)) return hit;
    if (mode & SEARCH_DERIVED)
        for (const MClassInfo* d : start->derived)
            if (const MClassInfo* hit = Search(d, SEARCH_DERIVED, match)) return hit;
    return nullptr;
}

}  // namespace

MClassInfo::MClassInfo() = default;

MClassInfo::~MClassInfo() {
    if (!registered || gRegistry == nullptr) return;
    // Leave the graph, so that lookups never meet a destroyed record.
    for (MClassInfo* base : bases)
        if (base != nullptr) Erase(base->derived, this);
    for (MClassInfo* d : derived)
        std::replace(d->bases.begin(), d->bases.end(), this, static_cast<MClassInfo*>(nullptr));
    Erase(gRegistry->pending, this);
    // The registry goes with the last record (at unload).
    if (--gRegistered == 0) {
        delete gRegistry->root;
        delete gRegistry;
        gRegistry = nullptr;
    }
}

void RegisterClass(MClassInfo& record, const char* name, const char* tag, std::uint8_t version,
                   std::uint8_t flags, ClassFactory factory, const char* base1, const char* base2,
                   const char* base3) {
    Registry& registry = TheRegistry();
    if (!record.registered) ++gRegistered;
    record.registered = true;
    Fill(record, name, tag, version, flags, factory);
    ResolvePending(registry, record);
    for (const char* base : {base1, base2, base3})
        AddBase(registry, record, base);
}

void RegisterClass(MClassInfo& record, const char* name, ClassFactory factory, const char* base) {
    RegisterClass(record, name, nullptr, 0, 0, factory, base, nullptr, nullptr);
}

const MClassInfo& RootClassInfo() {
    return *TheRegistry().root;
}

const MClassInfo* FindByName(const MClassInfo* start, const char* name, int mode) {
    if (name == nullptr) return nullptr;
    return Search(start, mode, [&](const MClassInfo& r) { return std::strcmp(r.name, name) == 0; });
}

const MClassInfo* FindByTag(const MClassInfo* start, const char* tag, int mode) {
    if (tag == nullptr) return nullptr;
    return Search(start, mode,
                  [&](const MClassInfo& r) { return std::strncmp(r.tag, tag, 6) == 0; });
}

const MClassInfo* FindByInfo(const MClassInfo* start, const MClassInfo* info, int mode) {
    return Search(start, mode, [&](const MClassInfo& r) { return &r == info; });
}

const MClassInfo* FindByName(const char* name) {
    return FindByName(&RootClassInfo(), name, SEARCH_DERIVED);
}
const MClassInfo* FindByTag(const char* tag) {
    return FindByTag(&RootClassInfo(), tag, SEARCH_DERIVED);
}
const MClassInfo* FindByInfo(const MClassInfo* info) {
    return FindByInfo(&RootClassInfo(), info, SEARCH_DERIVED);
}

MDynBase* CreateByName(const char* name) {
    const MClassInfo* info = FindByName(name);
    return info != nullptr && info->factory != nullptr ? info->factory() : nullptr;
}

MDynBase* CreateByInfo(const MClassInfo& info) {
    if (FindByInfo(&info) == nullptr || info.factory == nullptr) return nullptr;
    return info.factory();
}

bool IsKindOf(const MDynBase* object, const MClassInfo& info) {
    if (object == nullptr) return false;
    const MClassInfo& own = object->GetClassInfo();
    return &own == &info || FindByInfo(&own, &info, SEARCH_BASES) != nullptr;
}

}  // namespace KvxInternal
