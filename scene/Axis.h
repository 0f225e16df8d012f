// Axes: the small objects that give a scene object its transform. They are registered but never
// stored (no tag; Write and Read do nothing), so every object read from a file gets a default
// axis.
#pragma once

#include <cstdint>

#include "maker/MTransform.h"
#include "persistence/DynBase.h"

namespace KvxInternal {

// The plain axis: the identity.
class IVAxis : public virtual MDynBase {
    KVX_DYNAMIC_CLASS(IVAxis, MDynBase)

public:
    virtual void GetTransform(MTransform& out);
};

// An axis given by an orientation code, scale factors and a translation.
class IVAxisOrient : public IVAxis {
    KVX_DYNAMIC_CLASS(IVAxisOrient, IVAxis)

public:
    void GetTransform(MTransform& out) override;
    void CopyFrom(MDynBase& source) override;
    void CopyOrientFrom(const IVAxisOrient& other);

    char orientationCode[4] = {'R', 'B', 'P', '\0'};
    float scale[3] = {1.0f, 1.0f, 1.0f};
    float translation[3] = {0.0f, 0.0f, 0.0f};
};

// An axis that stores a whole transform (the identity by default).
class IVAxisTransform : public IVAxis {
    KVX_DYNAMIC_CLASS(IVAxisTransform, IVAxis)

public:
    void GetTransform(MTransform& out) override;
    void CopyFrom(MDynBase& source) override;

    MTransform transform;
};

// Holds the axis of a scene object. The handle is never empty once the object is constructed.
class IVAxisContainer {
public:
    virtual ~IVAxisContainer() = default;
    virtual void GetTransform(MTransform& out);
    // Replaces the axis by a new one of the source's kind (orient, transform or plain axis)
    // with a copy of its values; a source that is no axis changes nothing.
    virtual void CopyAxisFrom(MDynBase& source);

    MHDynBase axis;
};

}  // namespace KvxInternal
