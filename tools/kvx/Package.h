// Self-extracting packages as input: the stub program, then a KVX file. The packager writes the
// stub's size as text (" %8d") from the second byte after the first "Invalid KVX timecode" in
// the stub on; that size is where the KVX file starts. Safe on untrusted input: the search is
// one pass over at most the stub's largest size, and nothing is taken from the file unchecked.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace kvx::cli {

struct PackagedKvx {
    std::uint64_t offset = 0;  // where the KVX file starts
    std::uint64_t bytes = 0;   // its size: the rest of the package
};

// The KVX file inside `file` when `file` is a package (an ELF program whose patched size points
// at a KVX magic word inside the file); nullopt for anything else.
std::optional<PackagedKvx> FindPackagedKvx(const std::filesystem::path& file);

// Copies the KVX part of a package into a new private temporary file and returns its path;
// throws CliError (write) naming TMPDIR when the copy cannot be written, (input) when the
// package cannot be read.
std::filesystem::path ExtractPackagedKvx(const std::filesystem::path& file,
                                         const PackagedKvx& part);

}  // namespace kvx::cli
