// The bridge between mesh objects and the maker's MStlBase: ownership of the mesh, and the
// canonical triangle order through which triangle colours are matched to triangles (colours are
// listed in an order derived from the geometry, never in the mesh's own iteration order).
#pragma once

#include "maker/MStlBase.h"
#include "scene/ColorArray.h"

namespace KvxInternal {

// Holds the mesh of a mesh object and knows whether it owns it.
class MStlBaseWrapperForIVStlData {
public:
    MStlBaseWrapperForIVStlData() : mesh(new MStlBase), ownsMesh(true) {}
    ~MStlBaseWrapperForIVStlData() {
        if (ownsMesh) delete mesh;
    }
    MStlBaseWrapperForIVStlData(const MStlBaseWrapperForIVStlData&) = delete;
    MStlBaseWrapperForIVStlData& operator=(const MStlBaseWrapperForIVStlData&) = delete;

    // Refers to the caller's mesh without owning it (an owned mesh is deleted first).
    void AttachMesh(MStlBase* other) {
        if (ownsMesh) delete mesh;
        mesh = other;
        ownsMesh = false;
    }

    MStlBase* mesh;
    bool ownsMesh;
};

// The canonical order: by the sums of the points' x, then y, then z (32-bit wrapping sums); then
// by the points sorted ascending; then by the triangles' normals, computed from their points (so
// that the order does not depend on normals a host may not have set).
bool TriangleOrderLess(const MStlBase& mesh, const MStlTriangle& a, const MStlTriangle& b);

// Gives the first min(count, triangles) triangles, in canonical order, the array's colours.
void ApplyTriangleColors(MStlBase& mesh, const IVColorArray& colors);
// Fills the array with one colour per triangle, in canonical order.
void CollectTriangleColors(const MStlBase& mesh, IVColorArray& colors);

}  // namespace KvxInternal
