// The bases of everything that stands in a scene: IVObject (abstract scene object with an axis,
// a kind and one stored flag), IVObjectMouse (an abstract level between IVObject and the
// dependency objects) and IVViewPoint (angles, a centre and view numbers, with the transform
// rebuilt from them).
#pragma once

#include <cstdint>

#include "maker/MTransform.h"
#include "persistence/ObjectStream.h"
#include "scene/Axis.h"

namespace KvxInternal {

// Kinds a scene counts (IVObject::kindBits).
inline constexpr std::uint8_t kKindDependency = 0;
inline constexpr std::uint8_t kKindSection = 2;
inline constexpr std::uint8_t kKindMesh = 3;

inline constexpr float kEmptyBoxMin = 3.4028235e38f;

class IVObject : public IVAxisContainer, public virtual MDynBase {
    KVX_DYNAMIC_CLASS(IVObject, MDynBase)

public:
    explicit IVObject(std::uint8_t kind);

    // Empty box: every minimum kEmptyBoxMin, every maximum -kEmptyBoxMin.
    virtual void GetBoundingBox(float& xMin, float& xMax, float& yMin, float& yMax, float& zMin,
                                float& zMax);
    virtual void GetBoundingRect(float& xMin, float& xMax, float& yMin, float& yMax);
    virtual void ApplyTransform(const MTransform& t) { Transform(t); }
    // Applies `t`, given in the frame of `other`, to this object.
    virtual void TransformRelative(MTransform& t, IVObject& other);
    // A new parameter object suited to this object (empty for plain objects).
    virtual MHDynBase CreateParameter() { return MHDynBase(); }
    virtual bool QueryA() { return true; }
    virtual bool QueryB() { return true; }
    // Applies a transform to the object's own geometry.
    virtual void Transform(const MTransform& t) = 0;

    std::uint8_t kindBits;
    bool objectFlag = true;

    KVX_CLASS_CHUNK_MEMBERS
};

class IVObjectMouse : public virtual IVObject {
    KVX_DYNAMIC_CLASS(IVObjectMouse, IVObject)

public:
    IVObjectMouse() : IVObject(kKindDependency) {}

    KVX_CLASS_CHUNK_MEMBERS
};

class IVViewPoint : public virtual MDynBase {
    KVX_DYNAMIC_CLASS(IVViewPoint, MDynBase)

public:
    void SetCenter(float c0, float c1, float c2, float s0, float s1, float s2);
    void SetRotation(float a, float b, float c);
    void GetRotation(float& a, float& b, float& c) const;

    float rotation[3] = {0, 0, 0};
    float center[3] = {0, 0, 0};
    float centerShift[3] = {0, 0, 0};
    float viewExtent[4] = {0.0f, 0.0f, 300.0f, 200.0f};
    MTransform viewTransform;

    KVX_CLASS_CHUNK_MEMBERS
};

}  // namespace KvxInternal
