// MDynBase, the base of every persistent class, and the handle that holds persistent objects.
//
// Every persistent class reaches MDynBase through virtual inheritance, so an object has one
// MDynBase part and one reference count however many registered bases it has. Cross-casts go
// through CastTo with a class record, never through the language's run-time type information.
//
// A persistent class K names its registered bases once, with KVX_DYNAMIC_CLASS(K, Bases...) in
// its body; KVX_REGISTER_CLASS(K, ...) in its source file defines the record, registers it when
// the library loads (and on first use, so a record is never used unregistered) and defines the
// registry-driven CastTo. The chunk templates and CopyFromBases take the bases from the same list.
#pragma once

#include "persistence/ClassInfo.h"
#include "persistence/Handles.h"

class MFile;

namespace KvxInternal {

class MDynBase : public HCNT {
public:
    MDynBase() = default;
    ~MDynBase() override = default;

    // The slots in their order (after the destructor).
    virtual bool Write(MFile& file);
    virtual bool Read(MFile& file);
    virtual bool WriteId(MFile& file, const MClassInfo& info);
    virtual const MClassInfo& GetClassInfo() const;
    virtual void* CastTo(const MClassInfo& info);
    virtual void CopyFrom(MDynBase& source);

    static const MClassInfo& ClassInfo() { return RootClassInfo(); }
};

// The part of `object` that belongs to T, or null.
template <class T>
T* Cast(MDynBase* object) {
    return object == nullptr ? nullptr : static_cast<T*>(object->CastTo(T::ClassInfo()));
}

// The registered bases of a class, in order, as types.
template <class... T>
struct TypeList {};

// A class's factory: a new object at count 1.
template <class K>
MDynBase* Make() {
    return new K;
}

// CastTo of class K: K's own part, else the first registered base that has a part for `info`,
// asked in order (each on its own part, not virtually).
template <class K, class... Bases>
void* CastToParts(K* self, const MClassInfo& info, TypeList<Bases...>) {
    if (&info == &K::ClassInfo()) return static_cast<void*>(self);
    void* part = nullptr;
    ((part = part != nullptr ? part : static_cast<Bases*>(self)->Bases::CastTo(info)), ...);
    return part;
}

// CopyFrom of the registered bases of K, in order.
template <class K, class... Bases>
void CopyFromBases(K* self, MDynBase& source, TypeList<Bases...>) {
    (static_cast<Bases*>(self)->Bases::CopyFrom(source), ...);
}
template <class K>
void CopyFromBases(K* self, MDynBase& source) {
    CopyFromBases(self, source, typename K::RegisteredBases{});
}

namespace detail {
void Register(MClassInfo& record, const char* name, const char* tag, std::uint8_t version,
              std::uint8_t flags, ClassFactory factory, const char* const* bases, int count);
template <class... Bases>
void Register(MClassInfo& record, const char* name, const char* tag, std::uint8_t version,
              std::uint8_t flags, ClassFactory factory, TypeList<Bases...>) {
    // Asking for the bases' records registers them first.
    const char* names[] = {Bases::ClassInfo().name..., nullptr};
    Register(record, name, tag, version, flags, factory, names, static_cast<int>(sizeof...(Bases)));
}
}  // namespace detail

// The handle stored in every list of persistent objects.
class MHDynBase : public MHBase<MDynBase, MDynBase> {
public:
    using MHBase::MHBase;

    // Holds a new object of the named class (count 1); empty when the class is unknown or
    // abstract.
    void AdoptNew(const char* className);
    void AdoptNew(const MClassInfo& info);
    // A separate object of the same class with the same persistent content (and no identity);
    // empty when `other` is empty.
    void Clone(const MHDynBase& other);

    template <class T>
    T* As() const {
        return Cast<T>(Get());
    }
};

}  // namespace KvxInternal

// In the class body of a persistent class K: its registered bases (persistent classes, in order).
#define KVX_DYNAMIC_CLASS(K, ...)                                    \
public:                                                              \
    using RegisteredBases = ::KvxInternal::TypeList<__VA_ARGS__>;    \
    static const ::KvxInternal::MClassInfo& ClassInfo();             \
    const ::KvxInternal::MClassInfo& GetClassInfo() const override { \
        return ClassInfo();                                          \
    }                                                                \
    void* CastTo(const ::KvxInternal::MClassInfo& info) override;    \
                                                                     \
private:

// In the source file of K (inside namespace KvxInternal): tag (null for the short form),
// version, flags and factory (null for abstract classes).
#define KVX_REGISTER_CLASS(K, tag, version, flags, factory)                              \
    const ::KvxInternal::MClassInfo& K::ClassInfo() {                                    \
        static ::KvxInternal::MClassInfo record;                                         \
        static const bool registered = [] {                                              \
            ::KvxInternal::detail::Register(record, #K, tag, version, flags, factory,    \
                                            K::RegisteredBases{});                       \
            record.instanceSize = sizeof(K);                                             \
            return true;                                                                 \
        }();                                                                             \
        (void)registered;                                                                \
        return record;                                                                   \
    }                                                                                    \
    void* K::CastTo(const ::KvxInternal::MClassInfo& info) {                             \
        return ::KvxInternal::CastToParts(this, info, K::RegisteredBases{});             \
    }                                                                                    \
    namespace {                                                                          \
    [[maybe_unused]] const ::KvxInternal::MClassInfo& kvxRegistered##K = K::ClassInfo(); \
    }
