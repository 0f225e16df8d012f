// Small persistent classes that exercise the framework like the scene classes do:
//   TPar (abstract, identified) <- TParA, TParB <- TParAB (one shared TPar and MUID part),
//   TPlain (not identified) with a reference to another object.
#pragma once

#include <cstdint>

#include "persistence/Identity.h"
#include "persistence/ObjectStream.h"

namespace kvxtest {

using KvxInternal::MDynBase;
using KvxInternal::MHDynBase;
using KvxInternal::MUID;

// Counts destructions, to see objects die with their last handle.
inline int gDestroyed = 0;

class TPar : public virtual MUID {
    KVX_DYNAMIC_CLASS(TPar, MUID)

public:
    ~TPar() override { ++gDestroyed; }
    std::int32_t a = 1;

    KVX_CLASS_CHUNK_MEMBERS
};

class TParA : public virtual TPar {
    KVX_DYNAMIC_CLASS(TParA, TPar)

public:
    std::int32_t b = 2;

    KVX_CLASS_CHUNK_MEMBERS
};

class TParB : public virtual TPar {
    KVX_DYNAMIC_CLASS(TParB, TPar)

public:
    std::int32_t c = 3;

    KVX_CLASS_CHUNK_MEMBERS
};

class TParAB : public TParA, public TParB {
    KVX_DYNAMIC_CLASS(TParAB, TParA, TParB)

public:
    std::int32_t d = 4;

    KVX_CLASS_CHUNK_MEMBERS
};

class TPlain : public virtual MDynBase {
    KVX_DYNAMIC_CLASS(TPlain, MDynBase)

public:
    std::int32_t e = 5;
    MHDynBase target;  // written as a reference when set
    // What the field reader was given (the flat form passes the class chunk's bytes).
    std::uint8_t seenVersion = 0, seenFlags = 0;

    KVX_CLASS_CHUNK_MEMBERS
};

}  // namespace kvxtest
