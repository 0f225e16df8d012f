#include "persistence/DynBase.h"

namespace KvxInternal {

bool MDynBase::Write(MFile&) {
    return true;
}
bool MDynBase::Read(MFile&) {
    return true;
}
bool MDynBase::WriteId(MFile&, const MClassInfo&) {
    return true;
}
const MClassInfo& MDynBase::GetClassInfo() const {
    return RootClassInfo();
}
void* MDynBase::CastTo(const MClassInfo& info) {
    return &info == &RootClassInfo() ? static_cast<void*>(this) : nullptr;
}
void MDynBase::CopyFrom(MDynBase&) {}

void MHDynBase::AdoptNew(const char* className) {
    Reset();
    Adopt(CreateByName(className));
}

void MHDynBase::AdoptNew(const MClassInfo& info) {
    Reset();
    Adopt(CreateByInfo(info));
}

void MHDynBase::Clone(const MHDynBase& other) {
    MDynBase* source = other.Get();
    if (source == nullptr) {
        Reset();
        return;
    }
    // Keep the source alive even when this handle held it.
    const MHDynBase keep(other);
    AdoptNew(source->GetClassInfo());
    if (Get() != nullptr) Get()->CopyFrom(*source);
}

namespace detail {

void Register(MClassInfo& record, const char* name, const char* tag, std::uint8_t version,
              std::uint8_t flags, ClassFactory factory, const char* const* bases, int count) {
    auto base = [&](int i) { return i < count ? bases[i] : nullptr; };
    if (tag == nullptr) {
        RegisterClass(record, name, factory, base(0));
    } else {
        RegisterClass(record, name, tag, version, flags, factory, base(0), base(1), base(2));
    }
}

}  // namespace detail

}  // namespace KvxInternal
