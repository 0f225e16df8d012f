// What several commands share: reading mesh files onto the grid, opening KVX files, warnings
// and errors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"
#include "Errors.h"
#include "KvxFile.h"
#include "maker/MStlBase.h"

namespace kvx::cli {

class Progress;

// "kvx: warning: TEXT" on standard error (also with --quiet: a warning is about the data).
void Warn(const std::string& text);
// The error line on standard error; with `json`, also {"error": {"code": N, "message": "..."}}
// on standard output.
void ReportError(ExitCode code, const std::string& message, bool json);

// A mesh read onto the grid, with the name it would get in a KVX file.
struct GridMesh {
    std::string name;
    MStlBase mesh;
};

struct ReadChoices {
    std::optional<meshio::Format> format;  // else from the file's name
    bool colors = true;                    // keep triangle colours
    bool split = false;                    // one mesh per named part of the file
    Progress* progress = nullptr;          // step fractions while the file is read
};

// Reads a mesh file ("-": standard input, which then needs a format) onto the grid. Prints the
// reader's warnings and what rounding to the grid cost. Throws CliError.
std::vector<GridMesh> ReadMeshFile(const std::string& file, const Common& common,
                                   const ReadChoices& choices);

// A KVX file opened with the password the options name (the progress bar is cleared after),
// with the lengths it records (when it does and the options do not say otherwise) in `unit`.
struct OpenedKvx {
    KvxContent content;
    GridUnit unit;
    std::uint64_t dataBlocks = 0;  // the user's data blocks (the length record is not one)
};
OpenedKvx OpenKvx(const std::string& input, const Common& common, Progress& progress);

std::size_t ColoredTriangles(const MStlBase& mesh);

// The tool's name for a file given as "-".
std::string DisplayName(const std::string& file);

}  // namespace kvx::cli
