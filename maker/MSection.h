// Planar sections of a mesh: the contours where a plane cuts its triangles.
//
// MakeSection intersects every triangle with the plane and chains the segments into contours
// through the mesh edges they cross, so contours are closed where the mesh is closed and open
// where it has a boundary. A point exactly on the plane counts as lying on its positive side, so
// each edge is either crossed once or not at all and neighbouring triangles always agree.
// Cleared contours keep their storage for the next section (no allocation per point).
#pragma once

#include <cstddef>
#include <vector>

#include "maker/MStlBase.h"

struct MSectionPoint {
    float x = 0, y = 0, z = 0;
};

// A list of contours (polylines) of points of type P.
template <class P>
class MBorder {
public:
    struct Contour {
        std::vector<P> points;
        bool closed = false;
    };

    std::size_t Count() const { return count_; }
    const Contour& At(std::size_t i) const { return contours_[i]; }
    // Removes every contour; their storage is kept for the next ones.
    void Clear() {
        for (std::size_t i = 0; i < count_; ++i)
            contours_[i].points.clear();
        count_ = 0;
    }

protected:
    Contour& NewContour() {
        if (count_ == contours_.size()) contours_.emplace_back();
        Contour& c = contours_[count_++];
        c.closed = false;
        return c;
    }

private:
    std::vector<Contour> contours_;  // the first count_ are in use
    std::size_t count_ = 0;
};

class MSection : public MBorder<MSectionPoint> {
public:
    virtual ~MSection() = default;

    void SetMesh(const MStlBase* mesh) { mesh_ = mesh; }
    const MStlBase* GetMesh() const { return mesh_; }
    // Replaces the contours by the section of the mesh with the plane through the point
    // (px, py, pz) whose normal is (dx, dy, dz). False without a mesh or with a zero normal.
    bool MakeSection(float dx, float dy, float dz, float px, float py, float pz);

private:
    const MStlBase* mesh_ = nullptr;
};
