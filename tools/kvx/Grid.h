// Between the mesh files' floating-point coordinates and KVX's 32-bit integer grid.
//
// A grid unit is the length of one integer step, in the files' length unit. Mesh files carry no
// unit, so millimetres are assumed: the default unit is 1 µm (0.001). Coordinates are rounded to
// the nearest step; one that does not fit a 32-bit integer is refused, never wrapped.
#pragma once

#include <string>

#include "MeshFormats.h"
#include "maker/MStlBase.h"

namespace kvx::cli {

struct GridUnit {
    double size = 0.001;  // one integer step, in file units (millimetres)
    std::string text = "1um";
};

// "0.001" (file units), or a length with a suffix: "1um", "10nm", "0.01mm", "1cm", "1m", "1in".
// Throws CliError (usage) for anything else, zero, negative or not finite.
GridUnit ParseUnit(const std::string& text);

// Rounds the points to the grid and merges points that land on the same grid point. Throws
// CliError (grid) naming `file` when a coordinate does not fit.
void ToGrid(const meshio::FloatMesh& in, const GridUnit& unit, const std::string& file,
            MStlBase& out);

// The mesh in file units (colour codes are the same layout on both sides).
meshio::FloatMesh FromGrid(const MStlBase& mesh, const GridUnit& unit, bool colors);

}  // namespace kvx::cli
