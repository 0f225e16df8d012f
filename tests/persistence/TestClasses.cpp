#include "persistence/TestClasses.h"

namespace kvxtest {

using KvxInternal::Cast;
using KvxInternal::Make;

KVX_REGISTER_CLASS(TPar, "TPAR", 2, 1, nullptr)
KVX_REGISTER_CLASS(TParA, "TPARA", 2, 0, &Make<TParA>)
KVX_REGISTER_CLASS(TParB, "TPARB", 2, 0, &Make<TParB>)
KVX_REGISTER_CLASS(TParAB, "TPARAB", 2, 0, &Make<TParAB>)
KVX_REGISTER_CLASS(TPlain, "TPLAIN", 2, 0, &Make<TPlain>)

KVX_CLASS_CHUNKS(TPar)
KVX_CLASS_CHUNKS(TParA)
KVX_CLASS_CHUNKS(TParB)
KVX_CLASS_CHUNKS(TParAB)
KVX_CLASS_CHUNKS(TPlain)

namespace {

// One int32 field, read only from a "DATA" chunk of the class's version.
bool ReadInt(MFile& file, std::uint8_t version, std::int32_t& value) {
    return version == 2 && file.READ(&value, 1) == 1;
}

}  // namespace

#define KVX_TEST_FIELD(K, field)                                          \
    bool K::WriteFields(MFile& file) {                                    \
        return file.WRITE(&field, 1) == 1;                                \
    }                                                                     \
    bool K::ReadFields(MFile& file, std::uint8_t version, std::uint8_t) { \
        return ReadInt(file, version, field);                             \
    }                                                                     \
    void K::CopyFrom(MDynBase& source) {                                  \
        if (K* other = Cast<K>(&source)) field = other->field;            \
        KvxInternal::CopyFromBases(this, source);                         \
    }

KVX_TEST_FIELD(TPar, a)
KVX_TEST_FIELD(TParA, b)
KVX_TEST_FIELD(TParB, c)
KVX_TEST_FIELD(TParAB, d)

bool TPlain::WriteFields(MFile& file) {
    const bool hasTarget = static_cast<bool>(target);
    return file.WRITE(&e, 1) == 1 && file.WRITE(&hasTarget, 1) == 1 &&
           (!hasTarget || KvxInternal::WriteReference(file, target));
}

// Also read in the flat form (version 1).
bool TPlain::ReadFields(MFile& file, std::uint8_t version, std::uint8_t flags) {
    seenVersion = version;
    seenFlags = flags;
    bool hasTarget = false;
    if (!ReadInt(file, version == 1 ? 2 : version, e) || file.READ(&hasTarget, 1) != 1)
        return false;
    return !hasTarget || KvxInternal::ReadReference(file, target);
}

void TPlain::CopyFrom(MDynBase& source) {
    if (TPlain* other = Cast<TPlain>(&source)) {
        e = other->e;
        target.Clone(other->target);
    }
    KvxInternal::CopyFromBases(this, source);
}

}  // namespace kvxtest
