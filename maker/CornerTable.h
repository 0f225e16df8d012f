// The corner table of a triangle mesh, made manifold for a traversal coder (the mesh payload's
// format 2 encodes connectivity by walking it).
//
// Corner c is corner c % 3 of kept triangle c / 3; the edge opposite corner c runs from the
// vertex of Next(c) to the vertex of Prev(c). Any mesh is accepted and nothing is lost:
// - Triangles with two equal corners (degenerate) are not kept: `loose` lists them.
// - Two kept triangles are joined across an edge only when they are its only two triangles and
//   run along it in opposite directions (consistently oriented); every other edge is a border
//   of each triangle on it (edges of three or more triangles, duplicate triangles, triangles
//   that disagree on orientation).
// - A vertex whose corners then form several fans (two cones touching at their tips, a surface
//   pinched at a point) keeps its id for its first fan; each further fan gets a new vertex id
//   from `points` on, and `original` says which point it copies.
// - Points used by no triangle appear in no corner (`used` is false for them).
//
// Building is linear in the triangles (plus a sort within each vertex's edge list, so n log n
// for a fan of every triangle around one point). The input is trusted: indices are below
// `points` (MStlBase guarantees it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "maker/LargeBuffer.h"

namespace KvxInternal {

class CornerTable {
public:
    static constexpr std::uint32_t kBorder = 0xFFFFFFFFu;

    // `indices`: 3 x `triangles` point indices, each below `points`.
    CornerTable(const std::uint32_t* indices, std::size_t triangles, std::uint32_t points);

    static std::uint32_t Next(std::uint32_t c) { return c % 3 == 2 ? c - 2 : c + 1; }
    static std::uint32_t Prev(std::uint32_t c) { return c % 3 == 0 ? c + 2 : c - 1; }

    std::size_t corners() const { return vertex.size(); }
    std::size_t kept() const { return triangle.size(); }
    // All vertex ids: the points, then the copies.
    std::size_t vertices() const { return points + original.size(); }
    // The point a vertex id stands for.
    std::uint32_t PointOf(std::uint32_t v) const { return v < points ? v : original[v - points]; }

    std::uint32_t points;
    LargeVector<std::uint32_t> vertex;    // per corner: its vertex id
    LargeVector<std::uint32_t> opposite;  // per corner: the corner across its edge, or kBorder
    LargeVector<std::uint32_t> triangle;  // per kept triangle: its index in the input
    LargeVector<std::uint32_t> loose;     // input indices of the degenerate triangles
    LargeVector<std::uint32_t> original;  // per copy (vertex id points + i): the point it copies
    LargeVector<bool> used;               // per point: a kept triangle uses it
};

}  // namespace KvxInternal
