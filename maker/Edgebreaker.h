// Connectivity of closed manifold triangle meshes as Edgebreaker symbols (C, L, E, R, S), for
// the mesh payload's format 2 (docs/format.md, "Connectivity coder").
//
// The encoder walks each component from a start triangle: a triangle whose tip vertex is new is
// C and the walk goes right; otherwise the neighbours across its right and left edges decide:
// both visited E (the branch ends, the walk resumes at the latest pending left neighbour that
// is still unvisited), right visited R (go left), left visited L (go right), neither S (go right,
// the left neighbour waits). A pending left neighbour found visited when its turn comes (a
// handle: the surface is not a sphere) is written as an event naming the triangle and edge
// that the S triangle's left edge is glued to.
//
// The decoder reads the symbols backwards and glues each triangle to what it has built so far,
// so it needs no offsets and works in linear time: each symbol costs a constant, and a C costs
// a walk around its tip vertex, which happens once per vertex.
//
// Triangle i of the decoded mesh owns corners 3i (its tip), 3i + 1 and 3i + 2 in the triangle's
// order; vertex ids are given in walk order (the start triangle's three corners, then the tip
// of each C). Components come one after another, each as its start triangle and its symbols.
//
// Decoding is safe on untrusted input: every glue checks that both edges are still open, every
// walk is bounded, the vertex of every corner must be introduced exactly once, and a decoded
// triangle with two equal vertices, an edge left open or a symbol stream not used exactly
// fails the decode. The triangle count is bounded by the caller before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "maker/LargeBuffer.h"

namespace KvxInternal::edgebreaker {

inline constexpr std::uint32_t kOpen = 0xFFFFFFFFu;

// A corner table: corner c of triangle c / 3, its vertex and the corner across the edge it
// faces. Encoder input must be closed (every opposite set) and manifold.
struct Mesh {
    LargeVector<std::uint32_t> vertex, opposite;
    std::size_t vertices = 0;
};

// The encoder's walk: the mesh as the decoder will rebuild it, and where everything went.
struct Walk {
    Mesh decoded;                      // corners in decoded order, vertex ids in walk order
    LargeVector<std::uint32_t> tip;    // per decoded triangle: the input corner that is its tip
    LargeVector<std::uint32_t> newId;  // per input vertex: its id in walk order
};

// Closes a manifold corner table whose open edges (opposite kOpen) form border loops: each loop
// gets a new vertex (ids from `mesh.vertices` on, one per loop, in the order of the loops'
// first corners) and a fan of triangles joining it to the loop's edges. Triangles from
// `mesh.vertex.size() / 3` on are the new ones. Returns the number of loops.
std::size_t CloseBorders(Mesh& mesh);

// Appends the connectivity of `mesh` to `out` and returns the walk.
Walk Encode(const Mesh& mesh, std::vector<std::uint8_t>& out);

// Reads a block written by Encode, exactly from `p` to `end`; at most `maxTriangles`
// triangles are accepted. False on any damage.
bool Decode(const std::uint8_t* p, const std::uint8_t* end, std::size_t maxTriangles, Mesh& out);
// The number of triangles a block written by Encode announces (what Decode will rebuild, if the
// block is sound), read from its head without allocating; false when the head is damaged or
// announces more than `maxTriangles`.
bool AnnouncedTriangles(const std::uint8_t* p, const std::uint8_t* end, std::size_t maxTriangles,
                        std::size_t& triangles);

}  // namespace KvxInternal::edgebreaker
