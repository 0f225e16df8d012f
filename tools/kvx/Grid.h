// Between the mesh files' floating-point coordinates and KVX's 32-bit integer grid.
//
// Two lengths are involved: the unit of the mesh files (millimetres unless told otherwise: mesh
// files carry no unit) and the grid step, the length of one integer step (1 µm unless told
// otherwise). Coordinates are rounded to the nearest step; one that does not fit a 32-bit
// integer is refused, never wrapped.
//
// The tool records both lengths in the KVX files it writes, as a last data block of its own
// layout (below), so that unpacking gives back the input's unit and scale. Files without the
// record are read with the lengths the options give or the defaults, and the tool says so.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "MeshFormats.h"
#include "maker/MStlBase.h"

namespace kvx::cli {

struct GridUnit {
    double stepMm = 0.001;  // one integer step
    std::string text = "1um";
    double fileUnitMm = 1.0;  // one unit of the mesh files
    std::string fileUnit = "mm";
    bool recorded = false;  // the lengths come from the KVX file's own record
    // One grid step in mesh-file units.
    double Step() const { return stepMm / fileUnitMm; }
};

// `grid`: "0.001" (mesh-file units), or a length with a suffix: "1um", "10nm", "0.01mm", "1cm",
// "1m", "1in", "1ft". `fileUnit`: mm, cm, m, in or ft. Throws CliError (usage) for anything
// else, zero, negative or not finite.
GridUnit ParseUnit(const std::string& grid, const std::string& fileUnit);

// What rounding to the grid did to a mesh.
struct GridReport {
    std::uint64_t mergedPoints = 0;        // distinct input points that met another on the grid
    std::uint64_t collapsedTriangles = 0;  // triangles with 3 distinct points that lost one
    std::uint64_t triangles = 0;
};

// Rounds the points to the grid and merges points that land on the same grid point. Throws
// CliError (grid) naming `file` when a coordinate does not fit.
GridReport ToGrid(const meshio::FloatMesh& in, const GridUnit& unit, const std::string& file,
                  MStlBase& out);

// The mesh in mesh-file units (colour codes are the same layout on both sides).
meshio::FloatMesh FromGrid(const MStlBase& mesh, const GridUnit& unit, bool colors);

// The record of the lengths, as a data block: the word 0x554B ("KU", low byte first), the layout
// version 1, then the grid step and the mesh-file unit in millimetres, each an IEEE 754 double
// in four words, least significant first.
std::vector<unsigned short> UnitBlock(const GridUnit& unit);
// The lengths of a block in that layout (exactly 10 words, both lengths finite, between 1e-12
// and 1e12 mm); nothing for any other block.
std::optional<GridUnit> ReadUnitBlock(std::span<const unsigned short> block);

// "1um", "0.5mm", "25.4um" for a length in millimetres.
std::string LengthText(double mm);

}  // namespace kvx::cli
