// Intrusive reference counts (HCNT) and the handles that hold counted objects (MHBase).
//
// An object starts at count 1, the creator's reference: a handle that receives a freshly created
// object adopts it without adding a reference. Counts are plain (not atomic); objects and
// handles are used by one thread at a time.
#pragma once

#include <cstdint>

namespace KvxInternal {

class HCNT {
public:
    // Marks an object whose count never changes (and which handles therefore never delete).
    static constexpr std::uint32_t NOT_COUNTED = 0x40000000;

    HCNT() = default;
    // A copy is a new object: it starts with its own count of 1.
    HCNT(const HCNT&) {}
    HCNT& operator=(const HCNT&) { return *this; }
    virtual ~HCNT() = default;

    void AddRef() {
        if (count_ != NOT_COUNTED) ++count_;
    }
    void Release() {
        if (count_ == NOT_COUNTED) return;
        if (--count_ == 0) delete this;
    }
    std::uint32_t GetCount() const { return count_; }
    void SetNotCounted() { count_ = NOT_COUNTED; }

private:
    std::uint32_t count_ = 1;
};

// A handle on a counted object of class C that gives access to its part A.
template <class C, class A>
class MHBase {
public:
    MHBase() = default;
    explicit MHBase(C* object) : object_(object) {
        if (object_ != nullptr) object_->AddRef();
    }
    MHBase(const MHBase& other) : MHBase(other.object_) {}
    MHBase& operator=(const MHBase& other) {
        Assign(other);
        return *this;
    }
    virtual ~MHBase() { Reset(); }

    // Holds `object` (adding a reference); nothing when it is already held. The new object is
    // referenced before the old one is released, so an object kept alive only by the old one
    // survives the exchange.
    void Assign(C* object) {
        if (object == object_) return;
        if (object != nullptr) object->AddRef();
        C* old = object_;
        object_ = nullptr;  // the handle is empty while the old object is released
        if (old != nullptr) old->Release();
        object_ = object;
    }
    void Assign(const MHBase& other) { Assign(other.object_); }

    // Holds a freshly created object (count 1) without adding a reference.
    void Adopt(C* object) {
        Reset();
        object_ = object;
    }
    void Reset() {
        C* old = object_;
        object_ = nullptr;
        if (old != nullptr) old->Release();
    }

    A* Get() const { return object_; }
    A* operator->() const { return object_; }
    A& operator*() const { return *object_; }
    C* GetCounted() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    friend bool operator==(const MHBase& a, const MHBase& b) { return a.object_ == b.object_; }

private:
    C* object_ = nullptr;
};

}  // namespace KvxInternal
