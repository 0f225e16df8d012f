// The tool's commands. Each returns the exit code, or throws CliError.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Grid.h"
#include "MeshFormats.h"
#include "Password.h"

namespace kvx::cli {

struct Common {
    GridUnit unit;
    PasswordSource password;
    bool gridGiven = false;      // --grid was given (else the KVX file's record or the default)
    bool fileUnitGiven = false;  // --file-unit was given
    bool quiet = false;
    bool force = false;
    bool json = false;  // info and verify: JSON on standard output, errors included
};

struct PackOptions {
    std::vector<std::string> inputs;
    std::string output;
    std::vector<std::string> names;
    std::vector<std::string> dataFiles;
    std::optional<meshio::Format> inputFormat;  // else from each file's name
    bool colors = true;
    bool split = false;                  // each named part of a mesh file becomes its own mesh
    bool reproducible = false;           // ids derived from the content
    std::optional<std::string> sfxStub;  // set (possibly empty: the installed stub) with --sfx
};

struct UnpackOptions {
    std::string input;
    std::string folder;
    meshio::Format format = meshio::Format::Stl;
    meshio::StlColors stlColors = meshio::StlColors::ValidBit;
    std::vector<std::string> meshes;  // only these meshes (by name), when given
    bool ascii = false;
    bool colors = true;
};

int Pack(const PackOptions& options, const Common& common);
int Unpack(const UnpackOptions& options, const Common& common);
// Each file in turn; the exit code is the first failure's.
int Info(const std::vector<std::string>& inputs, const Common& common);
int Verify(const std::vector<std::string>& inputs, const Common& common);
// Mesh files (or KVX files, all meshes together) as sets of triangles on the grid.
int Compare(const std::string& first, const std::string& second, bool colors,
            std::optional<meshio::Format> format, const Common& common);

}  // namespace kvx::cli
