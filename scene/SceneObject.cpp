#include "scene/SceneObject.h"

#include <algorithm>

namespace KvxInternal {

KVX_REGISTER_CLASS(IVObject, "IVOBJ", 2, 0, nullptr)
KVX_REGISTER_CLASS(IVObjectMouse, "IVOBJM", 2, 0, nullptr)
KVX_REGISTER_CLASS(IVViewPoint, "IVVPNT", 2, 0, &Make<IVViewPoint>)

KVX_CLASS_CHUNKS(IVObject)
KVX_CLASS_CHUNKS(IVObjectMouse)
KVX_CLASS_CHUNKS(IVViewPoint)

// --- IVObject ----------------------------------------------------------------------------------

IVObject::IVObject(std::uint8_t kind) : kindBits(kind) {
    axis.AdoptNew(IVAxis::ClassInfo());
}

void IVObject::GetBoundingBox(float& xMin, float& xMax, float& yMin, float& yMax, float& zMin,
                              float& zMax) {
    xMin = yMin = zMin = kEmptyBoxMin;
    xMax = yMax = zMax = -kEmptyBoxMin;
}

void IVObject::GetBoundingRect(float& xMin, float& xMax, float& yMin, float& yMax) {
    xMin = yMin = kEmptyBoxMin;
    xMax = yMax = -kEmptyBoxMin;
}

void IVObject::TransformRelative(MTransform& t, IVObject& other) {
    MTransform own, others;
    GetTransform(own);
    other.GetTransform(others);
    others.INVERT();
    const MTransform relative(others, own);
    MTransform result;
    result.T1THIS_FROM_T2T1(t, relative);
    Transform(result);
}

bool IVObject::WriteFields(MFile& file) {
    return file.WRITE(&objectFlag, 1) == 1;
}

bool IVObject::ReadFields(MFile& file, std::uint8_t version, std::uint8_t) {
    return version == 2 && file.READ(&objectFlag, 1) == 1;
}

void IVObject::CopyFrom(MDynBase& source) {
    if (IVObject* other = Cast<IVObject>(&source)) {
        axis.Clone(other->axis);
        kindBits = other->kindBits;
        objectFlag = other->objectFlag;
    }
}

// --- IVObjectMouse: no fields; its "DATA" chunk is empty and never inspected. ------------------

bool IVObjectMouse::WriteFields(MFile&) {
    return true;
}
bool IVObjectMouse::ReadFields(MFile&, std::uint8_t, std::uint8_t) {
    return true;
}
void IVObjectMouse::CopyFrom(MDynBase& source) {
    IVObject::CopyFrom(source);
}

// --- IVViewPoint -------------------------------------------------------------------------------

void IVViewPoint::SetCenter(float c0, float c1, float c2, float s0, float s1, float s2) {
    viewTransform.CENTER(c0, c1, c2, s0, s1, s2);
    center[0] = c0, center[1] = c1, center[2] = c2;
    centerShift[0] = s0, centerShift[1] = s1, centerShift[2] = s2;
}

void IVViewPoint::SetRotation(float a, float b, float c) {
    viewTransform.ROTATION(a, b, c, 0, 0, 0);
    viewTransform.CENTER(center[0], center[1], center[2], centerShift[0], centerShift[1],
                         centerShift[2]);
    rotation[0] = a, rotation[1] = b, rotation[2] = c;
}

void IVViewPoint::GetRotation(float& a, float& b, float& c) const {
    a = rotation[0], b = rotation[1], c = rotation[2];
}

bool IVViewPoint::WriteFields(MFile& file) {
    return file.WRITE(rotation, 3) == 3 && file.WRITE(center, 3) == 3 &&
           file.WRITE(centerShift, 3) == 3 && file.WRITE(viewExtent, 4) == 4;
}

bool IVViewPoint::ReadFields(MFile& file, std::uint8_t version, std::uint8_t) {
    if (version != 2 || file.READ(rotation, 3) != 3 || file.READ(center, 3) != 3 ||
        file.READ(centerShift, 3) != 3 || file.READ(viewExtent, 4) != 4)
        return false;
    SetCenter(center[0], center[1], center[2], centerShift[0], centerShift[1], centerShift[2]);
    SetRotation(rotation[0], rotation[1], rotation[2]);
    return true;
}

void IVViewPoint::CopyFrom(MDynBase& source) {
    if (IVViewPoint* other = Cast<IVViewPoint>(&source)) {
        std::copy(std::begin(other->rotation), std::end(other->rotation), rotation);
        std::copy(std::begin(other->center), std::end(other->center), center);
        std::copy(std::begin(other->centerShift), std::end(other->centerShift), centerShift);
        std::copy(std::begin(other->viewExtent), std::end(other->viewExtent), viewExtent);
        viewTransform = other->viewTransform;
    }
}

}  // namespace KvxInternal
