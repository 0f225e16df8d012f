// Parameter objects: the presentation settings a scene pairs with each object. IVPar is the
// abstract, identified root; the five members are building blocks that richer parameter classes
// combine (one shared IVPar part and identity).
//
// Reading is safe on untrusted input: IVParDepth checks its entry count against the bytes that
// remain in its chunk before it allocates.
#pragma once

#include <cstdint>
#include <vector>

#include "persistence/Identity.h"
#include "persistence/ObjectStream.h"

namespace KvxInternal {

// Red, green, blue and a kind byte.
struct ColorRecord {
    std::uint8_t red = 0, green = 0, blue = 0, kind = 0;
    friend bool operator==(const ColorRecord&, const ColorRecord&) = default;
};

// A colour record in a file: four one-byte elements.
bool WriteColorRecord(MFile& file, const ColorRecord& color);
bool ReadColorRecord(MFile& file, ColorRecord& color);

// red | green << 8 | blue << 16, plus 0x1000000 for kind 2 and 0x2000000 for kind 3.
std::uint32_t ColorRecordToValue(const ColorRecord& color);

class IVPar : public virtual MUID {
    KVX_DYNAMIC_CLASS(IVPar, MUID)

public:
    // A new IVPar with this one's two flags.
    virtual MHDynBase Duplicate();

    bool parFlagA = false;
    bool parFlagB = true;

    KVX_CLASS_CHUNK_MEMBERS
};

// Fields shared by IVParBasePoint and IVParBaseLine.
struct BaseFields {
    ColorRecord baseColor;
    std::int32_t baseValue1 = 0;
    std::int32_t baseValue2 = 13;
    std::int32_t baseValue3 = 1;
    bool Write(MFile& file) const;
    bool Read(MFile& file);
};

class IVParBasePoint : public virtual IVPar, public BaseFields {
    KVX_DYNAMIC_CLASS(IVParBasePoint, IVPar)
    KVX_CLASS_CHUNK_MEMBERS
};

class IVParBaseLine : public virtual IVPar, public BaseFields {
    KVX_DYNAMIC_CLASS(IVParBaseLine, IVPar)
    KVX_CLASS_CHUNK_MEMBERS
};

class IVParTriangle : public virtual IVPar {
    KVX_DYNAMIC_CLASS(IVParTriangle, IVPar)

public:
    ColorRecord triangleColors[5];
    std::int32_t triangleValue = 1;

    KVX_CLASS_CHUNK_MEMBERS
};

class IVParClip : public virtual IVPar {
    KVX_DYNAMIC_CLASS(IVParClip, IVPar)

public:
    float clipVector1[3] = {1.0f, 1.0f, 1.0f};
    float clipVector2[3] = {0.0f, 0.0f, 0.0f};
    bool clipFlag = true;

    KVX_CLASS_CHUNK_MEMBERS
};

class IVParDepth : public virtual IVPar {
    KVX_DYNAMIC_CLASS(IVParDepth, IVPar)

public:
    struct Entry {
        std::uint8_t entryValue = 0;
        bool entryFlag = false;
        friend bool operator==(const Entry&, const Entry&) = default;
    };
    std::vector<Entry> depthEntries;
    float depthValue = 0.0f;

    KVX_CLASS_CHUNK_MEMBERS
};

}  // namespace KvxInternal
