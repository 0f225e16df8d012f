// The mesh payload's format 2 (docs/format.md, "Mesh payload, format 2"): connectivity by
// Edgebreaker (maker/Edgebreaker.h) over the mesh made closed and manifold
// (maker/CornerTable.h), points by parallelogram prediction (maker/GeometryCoder.h), triangle
// colours against their neighbours, all entropy coded with rANS (maker/Rans.h), and a checksum.
//
// Every point, every triangle (with its orientation) and every colour code survive; points and
// triangles are reordered. Degenerate triangles, non-manifold edges and vertices, borders,
// several components, handles and unused points are all carried.
//
// Decoding is safe on untrusted input: the body's checksum is checked before anything else,
// every count is charged through `charge` (count, bytes each) before it is allocated, every
// block is checked, and any failure leaves the mesh empty.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "maker/GeometryCoder.h"
#include "maker/MStlBase.h"

namespace KvxInternal::codec2 {

// Appends the body of `mesh` to `out`; returns what decoding it will charge (DecodeCost). With
// `residuals`, also hands out the point residuals as the geometry block codes them.
std::uint64_t Encode(const MStlBase& mesh, std::vector<std::uint8_t>& out,
                     LargeVector<geometry::Residual>* residuals = nullptr);

// What Decode charges for a body of `bodyBytes` (read into memory by the caller, and charged by
// it) of `points` whose closed mesh has `closedTriangles` triangles and `walkVertices` vertices.
std::uint64_t DecodeCost(std::uint64_t bodyBytes, std::uint64_t points,
                         std::uint64_t closedTriangles, std::uint64_t walkVertices);

// Charges `count` items of `bytes` each to the reader's budget; false when they do not fit.
using Charge = std::function<bool(std::uint64_t count, std::uint64_t bytes)>;

// Decodes the body [p, end) into `mesh` (replacing its content). False on any damage.
bool Decode(const std::uint8_t* p, const std::uint8_t* end, MStlBase& mesh, const Charge& charge);
// Proves the body [p, end) sound: every check of Decode passes (with the same charges), but no
// mesh is built and no normal computed. Sets `triangles` to the mesh's triangle count.
bool Check(const std::uint8_t* p, const std::uint8_t* end, const Charge& charge,
           std::uint64_t& triangles);

// The body's checksum: a 64-bit hash of `size` bytes.
std::uint64_t Checksum(const std::uint8_t* data, std::size_t size);

}  // namespace KvxInternal::codec2
