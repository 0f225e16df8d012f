// Reading a whole KVX file through the library's importer, with each failure turned into the
// tool's one-line error and exit code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "maker/Color.h"
#include "maker/MStlBase.h"

namespace kvx::cli {

class Progress;

struct KvxMesh {
    std::string name;  // UTF-8
    MStlBase mesh;
    std::optional<Orvex::Common::Color> color;  // the mesh colour, when the file gives one
};

struct KvxContent {
    std::uintmax_t fileSize = 0;
    bool passwordProtected = false;
    // True when the file carries one colour array per mesh before its data blocks.
    bool colorArrays = false;
    std::vector<KvxMesh> meshes;
    std::vector<std::vector<unsigned short>> dataBlocks;
};

// Throws CliError: input (missing or unreadable), not KVX, password (protected and no password
// given, or a wrong one), corrupt (damaged content, including a mesh that does not decode).
KvxContent ReadKvx(const std::filesystem::path& file, const std::optional<std::string>& password,
                   Progress& progress);

}  // namespace kvx::cli
