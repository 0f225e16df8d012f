// Reading a KVX file through the library's importer, with each failure turned into the tool's
// one-line error and exit code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "maker/Color.h"
#include "maker/MStlBase.h"

class MStlOperatorKVXImport;

namespace kvx::cli {

class Progress;

struct KvxMesh {
    std::string name;  // UTF-8
    MStlBase mesh;     // with its triangle colours, when the file gives them
    std::optional<Orvex::Common::Color> color;  // the mesh colour, when the file gives one
};

// The meshes of a KVX file, and its data blocks, which stay with the importer (kept open here)
// until they are asked for one at a time, so that a command holds at most one of them.
struct KvxContent {
    KvxContent();
    ~KvxContent();
    KvxContent(KvxContent&&) noexcept;
    KvxContent& operator=(KvxContent&&) noexcept;

    std::uint64_t DataBlockCount() const;
    // A copy of data block `index` (below DataBlockCount()), exactly as the file's writer added
    // it; a caller drops it before it asks for the next.
    std::vector<unsigned short> DataBlock(std::uint64_t index) const;

    std::uintmax_t fileSize = 0;     // of the KVX file (inside the package, for a package)
    std::uintmax_t packageSize = 0;  // of the self-extracting package it came in, or 0
    bool passwordProtected = false;
    std::vector<KvxMesh> meshes;
    std::unique_ptr<MStlOperatorKVXImport> importer;
};

// Reads a KVX file, or the KVX file inside a self-extracting package. Throws CliError: input
// (missing or unreadable), not KVX, password (protected and no password given, or a wrong one),
// corrupt (damaged content, including a mesh that does not decode), write (a temporary file
// could not be written: no verdict on the file).
KvxContent ReadKvx(const std::filesystem::path& file, const std::optional<std::string>& password,
                   Progress& progress);

}  // namespace kvx::cli
