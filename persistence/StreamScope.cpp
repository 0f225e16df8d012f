#include "persistence/StreamScope.h"

#include "persistence/Dependency.h"

namespace KvxInternal {

StreamScope::StreamScope(MFile& file, std::uint64_t limit) : MReadSession(file, limit) {}

StreamScope::~StreamScope() {
    BreakLinks();
}

StreamScope* StreamScope::Of(const MFile& file) {
    return dynamic_cast<StreamScope*>(MReadSession::Of(file));
}

bool StreamScope::Charge(const MClassInfo& info) {
    return Budget().Take(info.instanceSize + MReadBudget::kObjectOverhead);
}

MHDynBase StreamScope::GetOrCreate(const MUIDValue& id, const MClassInfo& info) {
    const IdentityKey key{id, &info};
    if (const auto it = identified_.find(key); it != identified_.end()) return it->second;
    if (info.factory == nullptr || !Charge(info)) return MHDynBase();
    MHDynBase created;
    created.AdoptNew(info);
    MUID* identified = created.As<MUID>();
    if (identified == nullptr) return MHDynBase();
    identified->SetId(id);
    identified_.emplace(key, created);
    return created;
}

MHDynBase StreamScope::Create(const MClassInfo& info) {
    if (info.factory == nullptr || !Charge(info)) return MHDynBase();
    MHDynBase created;
    created.AdoptNew(info);
    return created;
}

void StreamScope::BreakLinks() {
    for (auto& [key, object] : identified_)
        if (MDependency* d = object.As<MDependency>()) d->DetachChildren();
}

}  // namespace KvxInternal
