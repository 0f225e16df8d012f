// Planar sections: IVSection stores a cutting plane (a point and a direction) and computes the
// contours where it cuts its mesh, the first of its children; IVParSection is its parameter
// record (a base line, red by default). The contours are never stored, only the plane.
#pragma once

#include "maker/MSection.h"
#include "scene/Dependencies.h"
#include "scene/Parameters.h"

namespace KvxInternal {

class IVSection : public IVDependency, public MSection {
    KVX_DYNAMIC_CLASS(IVSection, IVDependency)

public:
    IVSection() : IVObject(kKindSection) {}

    // The bounding box of the mesh it cuts (empty without one).
    void GetBoundingBox(float& xMin, float& xMax, float& yMin, float& yMax, float& zMin,
                        float& zMax) override;
    // A new IVParSection (red).
    MHDynBase CreateParameter() override;
    // Moves the plane (the point fully, the direction by the rotation only) and recomputes a
    // section that was computed before.
    void Transform(const MTransform& t) override;
    // Recomputes the contours on the mesh of the first child; without a mesh child the section is
    // left as it is.
    void UpdateSection();

    float sectionPoint[3] = {0, 0, 0};
    float sectionDirection[3] = {0, 0, 0};

    KVX_CLASS_CHUNK_MEMBERS
};

class IVParSection : public IVParBaseLine {
    KVX_DYNAMIC_CLASS(IVParSection, IVParBaseLine)

public:
    IVParSection() { baseColor = ColorRecord{255, 0, 0, 0}; }

    KVX_CLASS_CHUNK_MEMBERS
};

}  // namespace KvxInternal
