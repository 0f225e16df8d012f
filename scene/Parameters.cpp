#include "scene/Parameters.h"

#include <algorithm>

#include "maker/ReadBudget.h"

namespace KvxInternal {

KVX_REGISTER_CLASS(IVPar, "PAR", 2, 1, nullptr)
KVX_REGISTER_CLASS(IVParBasePoint, "PBPNT", 2, 0, &Make<IVParBasePoint>)
KVX_REGISTER_CLASS(IVParBaseLine, "PBLINE", 2, 0, &Make<IVParBaseLine>)
KVX_REGISTER_CLASS(IVParTriangle, "PTRIAN", 2, 0, &Make<IVParTriangle>)
KVX_REGISTER_CLASS(IVParClip, "PCLIP", 2, 0, &Make<IVParClip>)
KVX_REGISTER_CLASS(IVParDepth, "PDEPTH", 2, 1, &Make<IVParDepth>)

KVX_CLASS_CHUNKS(IVPar)
KVX_CLASS_CHUNKS(IVParBasePoint)
KVX_CLASS_CHUNKS(IVParBaseLine)
KVX_CLASS_CHUNKS(IVParTriangle)
KVX_CLASS_CHUNKS(IVParClip)
KVX_CLASS_CHUNKS(IVParDepth)

bool WriteColorRecord(MFile& file, const ColorRecord& c) {
    return WriteOne(file, c.red) && WriteOne(file, c.green) && WriteOne(file, c.blue) &&
           WriteOne(file, c.kind);
}

bool ReadColorRecord(MFile& file, ColorRecord& c) {
    return ReadOne(file, c.red) && ReadOne(file, c.green) && ReadOne(file, c.blue) &&
           ReadOne(file, c.kind);
}

std::uint32_t ColorRecordToValue(const ColorRecord& color) {
    std::uint32_t value = std::uint32_t{color.red} | std::uint32_t{color.green} << 8 |
                          std::uint32_t{color.blue} << 16;
    if (color.kind == 2) value += 0x1000000;
    if (color.kind == 3) value += 0x2000000;
    return value;
}

// --- IVPar: its "DATA" holds parFlagA and parFlagB twice; revision 0 carries only parFlagA. ----

MHDynBase IVPar::Duplicate() {
    auto* copy = new IVPar;
    copy->parFlagA = parFlagA;
    copy->parFlagB = parFlagB;
    MHDynBase handle;
    handle.Adopt(copy);
    return handle;
}

bool IVPar::WriteFields(MFile& file) {
    return WriteOne(file, parFlagA) && WriteOne(file, parFlagB) && WriteOne(file, parFlagB);
}

bool IVPar::ReadFields(MFile& file, std::uint8_t version, std::uint8_t flags) {
    if (version != 2 || !ReadOne(file, parFlagA)) return false;
    return flags < 1 || ReadOne(file, parFlagB);
}

void IVPar::CopyFrom(MDynBase& source) {
    if (IVPar* other = Cast<IVPar>(&source)) {
        parFlagA = other->parFlagA;
        parFlagB = other->parFlagB;
    }
    CopyFromBases(this, source);
}

// --- The members -------------------------------------------------------------------------------

bool BaseFields::Write(MFile& file) const {
    return WriteColorRecord(file, baseColor) && WriteOne(file, baseValue1) &&
           WriteOne(file, baseValue2) && WriteOne(file, baseValue3);
}

bool BaseFields::Read(MFile& file) {
    return ReadColorRecord(file, baseColor) && ReadOne(file, baseValue1) &&
           ReadOne(file, baseValue2) && ReadOne(file, baseValue3);
}

#define KVX_BASE_FIELDS_CLASS(K)                                                   \
    bool K::WriteFields(MFile& file) {                                             \
        return BaseFields::Write(file);                                            \
    }                                                                              \
    bool K::ReadFields(MFile& file, std::uint8_t version, std::uint8_t) {          \
        return version == 2 && BaseFields::Read(file);                             \
    }                                                                              \
    void K::CopyFrom(MDynBase& source) {                                           \
        if (K* other = Cast<K>(&source)) static_cast<BaseFields&>(*this) = *other; \
        CopyFromBases(this, source);                                               \
    }

KVX_BASE_FIELDS_CLASS(IVParBasePoint)
KVX_BASE_FIELDS_CLASS(IVParBaseLine)

bool IVParTriangle::WriteFields(MFile& file) {
    for (const ColorRecord& c : triangleColors)
        if (!WriteColorRecord(file, c)) return false;
    return WriteOne(file, triangleValue);
}

bool IVParTriangle::ReadFields(MFile& file, std::uint8_t version, std::uint8_t) {
    if (version != 2) return false;
    for (ColorRecord& c : triangleColors)
        if (!ReadColorRecord(file, c)) return false;
    return ReadOne(file, triangleValue);
}

void IVParTriangle::CopyFrom(MDynBase& source) {
    if (IVParTriangle* other = Cast<IVParTriangle>(&source)) {
        std::copy(std::begin(other->triangleColors), std::end(other->triangleColors),
                  triangleColors);
        triangleValue = other->triangleValue;
    }
    CopyFromBases(this, source);
}

bool IVParClip::WriteFields(MFile& file) {
    return file.WRITE(clipVector1, 3) == 3 && file.WRITE(clipVector2, 3) == 3 &&
           WriteOne(file, clipFlag);
}

bool IVParClip::ReadFields(MFile& file, std::uint8_t version, std::uint8_t) {
    return version == 2 && file.READ(clipVector1, 3) == 3 && file.READ(clipVector2, 3) == 3 &&
           ReadOne(file, clipFlag);
}

void IVParClip::CopyFrom(MDynBase& source) {
    if (IVParClip* other = Cast<IVParClip>(&source)) {
        std::copy(std::begin(other->clipVector1), std::end(other->clipVector1), clipVector1);
        std::copy(std::begin(other->clipVector2), std::end(other->clipVector2), clipVector2);
        clipFlag = other->clipFlag;
    }
    CopyFromBases(this, source);
}

// IVParDepth: revision 1 stores (value, flag) byte pairs; revision 0 stored 4-byte colour records
// of which the first byte is the value (and every flag is true).
bool IVParDepth::WriteFields(MFile& file) {
    const auto n = static_cast<std::uint32_t>(depthEntries.size());
    if (!WriteOne(file, n)) return false;
    for (const Entry& e : depthEntries)
        if (!WriteOne(file, e.entryValue) || !WriteOne(file, e.entryFlag)) return false;
    return WriteOne(file, depthValue);
}

bool IVParDepth::ReadFields(MFile& file, std::uint8_t version, std::uint8_t flags) {
    std::uint32_t n = 0;
    if (version != 2 || !ReadOne(file, n)) return false;
    const std::int64_t entrySize = flags >= 1 ? 2 : 4;
    if (static_cast<std::int64_t>(n) > file.REMAINING() / entrySize ||
        !TakeReadBudget(file, n, sizeof(Entry)))
        return false;
    depthEntries.clear();
    depthEntries.reserve(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        Entry e;
        if (flags >= 1) {
            if (!ReadOne(file, e.entryValue) || !ReadOne(file, e.entryFlag)) return false;
        } else {
            ColorRecord record;
            if (!ReadColorRecord(file, record)) return false;
            e.entryValue = record.red;
            e.entryFlag = true;
        }
        depthEntries.push_back(e);
    }
    return ReadOne(file, depthValue);
}

void IVParDepth::CopyFrom(MDynBase& source) {
    if (IVParDepth* other = Cast<IVParDepth>(&source)) {
        depthEntries = other->depthEntries;
        depthValue = other->depthValue;
    }
    CopyFromBases(this, source);
}

}  // namespace KvxInternal
