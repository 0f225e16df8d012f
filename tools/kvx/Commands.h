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
    bool quiet = false;
    bool force = false;
};

struct PackOptions {
    std::vector<std::string> inputs;
    std::string output;
    std::vector<std::string> names;
    std::vector<std::string> dataFiles;
    bool colors = false;
    std::optional<std::string> sfxStub;  // set (possibly empty: the installed stub) with --sfx
};

struct UnpackOptions {
    std::string input;
    std::string folder;
    meshio::Format format = meshio::Format::Stl;
    meshio::StlColors stlColors = meshio::StlColors::ValidBit;
    bool asciiStl = false;
    bool colors = false;
};

int Pack(const PackOptions& options, const Common& common);
int Unpack(const UnpackOptions& options, const Common& common);
int Info(const std::string& input, bool json, const Common& common);
int Verify(const std::string& input, const Common& common);
int Compare(const std::string& first, const std::string& second, bool colors, const Common& common);

}  // namespace kvx::cli
