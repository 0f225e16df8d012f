// What several commands share: reading mesh files onto the grid and opening KVX files.
#pragma once

#include <string>

#include "Commands.h"
#include "KvxFile.h"
#include "maker/MStlBase.h"

namespace kvx::cli {

class Progress;

// Reads a mesh file onto the grid; colours are kept only when asked for.
void ReadInput(const std::string& file, const Common& common, bool colors, MStlBase& out);

// Reads a whole KVX file with the password the options name; the progress bar is cleared after.
KvxContent OpenKvx(const std::string& input, const Common& common, Progress& progress);

std::size_t ColoredTriangles(const MStlBase& mesh);

}  // namespace kvx::cli
