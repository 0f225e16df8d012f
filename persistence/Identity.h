// Object identities (MUID), the live-identity list, and references between objects in a file.
//
// An identified object carries an 8-byte id, unique per most-derived class. The process-wide
// live-identity list holds every object whose id has been set, in the order they got it; it is
// indexed by (id, class), so lookups cost O(1) and writing or reading n objects costs O(n).
//
// Identity chunk: "MUID", version 2, flags 0, holding word0 and word1 (32 bits each).
// Reference (inside a referring object's fields): the target's class tag padded with NUL bytes
// to 6 bytes, then word0 and word1. Reading a reference is safe on untrusted input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "persistence/DynBase.h"

class MFile;

namespace KvxInternal {

struct MUIDValue {
    std::uint32_t word0 = 0;
    std::uint32_t word1 = 0;
    bool IsNull() const { return word0 == 0 && word1 == 0; }
    friend bool operator==(const MUIDValue&, const MUIDValue&) = default;
};

class MUID : public virtual MDynBase {
    KVX_DYNAMIC_CLASS(MUID, MDynBase)

public:
    MUID() = default;
    // A copy starts without an identity.
    MUID(const MUID&) : MDynBase() {}
    MUID& operator=(const MUID&) { return *this; }
    ~MUID() override;

    // Writes the identity chunk when `info` is this object's own class (giving it an id first).
    bool WriteId(MFile& file, const MClassInfo& info) override;
    // Copies nothing but clears the id: a copy gets a fresh identity when it is next written.
    void CopyFrom(MDynBase& source) override;
    // CopyFrom, then this object's MDynBase part.
    virtual MDynBase& AssignFrom(MDynBase& source);

    // Gives the object an id when it has none; the id is unique among live objects of its class.
    void GenerateId();
    const MUIDValue& GetId() const { return id_; }
    // Sets the id read from a file and lists the object.
    void SetId(const MUIDValue& id);

private:
    friend class LiveIdentities;
    MUIDValue id_;
    // Membership in the live-identity list.
    const MClassInfo* listedClass_ = nullptr;
    std::uint64_t listedOrder_ = 0;
    MUID* nextSameKey_ = nullptr;
};

// While one is alive, the ids this thread generates follow from `seed` alone: the same seed and
// the same order of objects give the same ids, so a file's bytes can follow from its content.
// They stay unique among live objects of a class. Scopes nest; the innermost one counts.
class SeededIds {
public:
    explicit SeededIds(std::uint64_t seed);
    ~SeededIds();
    SeededIds(const SeededIds&) = delete;
    SeededIds& operator=(const SeededIds&) = delete;

private:
    friend class MUID;
    SeededIds* outer_;
    std::uint64_t seed_;
    std::uint64_t sequence_ = 0;
};

// An id together with the most-derived class that holds it: identities are unique per class.
struct IdentityKey {
    MUIDValue id;
    const MClassInfo* info = nullptr;
    friend bool operator==(const IdentityKey&, const IdentityKey&) = default;
};
struct IdentityKeyHash {
    std::size_t operator()(const IdentityKey& k) const;
};

// The live object with that id whose most-derived class is `info`, or null.
MUID* FindIdentified(const MUIDValue& id, const MClassInfo& info);
// That object, or a new one of class `info` with that id (empty when the class cannot be created
// or has no identity).
MHDynBase GetOrCreate(const MUIDValue& id, const MClassInfo& info);
// The same for an identity read from `file`: while a StreamScope reads the file, the object
// comes from (or joins) that scope only, never another file's objects or the process's other
// live objects; without a scope, as above.
MHDynBase GetOrCreate(MFile& file, const MUIDValue& id, const MClassInfo& info);
// Number of live identified objects (for tests and diagnostics).
std::size_t LiveIdentityCount();

// Writes the 14-byte reference to the handle's target (giving it an id first). False on a short
// write, an empty handle or a target without identity.
bool WriteReference(MFile& file, const MHDynBase& target);
// Reads a reference and resolves it to a live or new object. False, with `target` unchanged, on
// a short read, an unknown or abstract tag, or a class without identity.
bool ReadReference(MFile& file, MHDynBase& target);

}  // namespace KvxInternal
