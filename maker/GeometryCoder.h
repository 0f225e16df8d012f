// Point positions of a mesh whose connectivity both sides already know (the mesh payload's
// format 2 codes connectivity first): each vertex, in id order, is predicted from vertices
// coded before it and its residual is entropy coded (maker/Rans.h).
//
// Prediction, for vertex v, over the corners c of v whose two other vertices a and b are known:
// - every such corner whose triangle has a known vertex w across the edge ab gives the
//   parallelogram a + b - w; their average (each axis summed in 64 bits, divided by the count,
//   rounded toward zero) is the prediction;
// - else the midpoint of the first such a and b (rounded toward zero);
// - else the first known neighbour (a vertex sharing a triangle with v);
// - else the last vertex coded before v, or the origin for the first.
// Residuals are exact 64-bit differences: any int32 coordinates survive.
//
// Residual coding: each axis's residual r becomes z = zigzag(r) (at most 35 bits); the bit
// length of z is a symbol of the table of the vertex's context, and the bits of z below its
// leading one follow raw. The context is the prediction's kind and, for predictions from a
// known edge, the bit length of that edge's longest axis: residuals grow with the local
// triangle size. docs/format.md gives the byte layout.
//
// Decoding is safe on untrusted input: every table and the stream are checked, a position that
// leaves the int32 range fails the decode, and the work is linear in the corners.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "maker/LargeBuffer.h"

#include "maker/MStlBase.h"

namespace KvxInternal::geometry {

// Connectivity as a corner table: corner c belongs to triangle c / 3; `opposite` holds the
// corner across the edge facing c, or 0xFFFFFFFF.
struct Connectivity {
    const std::uint32_t* vertex;
    const std::uint32_t* opposite;
    std::size_t corners;
    std::size_t vertices;
};

// One coded vertex: each axis's zigzagged residual, and the context whose table codes it.
struct Residual {
    std::uint64_t z[3];
    unsigned context;
};

// Appends the positions of the vertices with `coded[v]` set (the others are not coded and are
// never used as references) to `out`. With `residuals`, also hands out what was entropy coded,
// in coding order (for measurements of the entropy stage).
void Encode(const Connectivity& mesh, const LargeVector<MStlPoint>& positions,
            const LargeVector<bool>& coded, std::vector<std::uint8_t>& out,
            LargeVector<Residual>* residuals = nullptr);

// The entropy-coded half of Encode: the tables of the contexts used, then the rANS stream of
// `residuals` in order (the layout after the prediction, docs/format.md).
void EncodeResiduals(const LargeVector<Residual>& residuals, std::vector<std::uint8_t>& out);

// Reads what Encode wrote at `p`, which must end exactly at `end`, into `positions` (resized to
// the vertex count; vertices not coded are left at the origin). False on any damage.
bool Decode(const Connectivity& mesh, const LargeVector<bool>& coded, const std::uint8_t* p,
            const std::uint8_t* end, LargeVector<MStlPoint>& positions);

}  // namespace KvxInternal::geometry
