// Files carried as KVX data blocks (16-bit words).
//
// A file added by the tool is stored as: the word 0x584B ("KX"), the layout version 1, the name's
// byte count N, the file's byte count L (two words, low first), then the name's UTF-8 bytes and
// the file's bytes, each padded to whole words with a zero byte; bytes go low half first. A block
// that does not follow this layout exactly (one from another program) is unpacked as its words,
// low byte first.
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace kvx::cli {

// Where a block keeps its file: the bytes start at word `firstWord`, low byte first.
struct DataFileLayout {
    std::string name;  // empty when the block names no (safe) file name
    std::size_t firstWord = 0;
    std::uint64_t size = 0;  // bytes
};

// Throws CliError (input) when the file cannot be read or is larger than a block can hold.
std::vector<unsigned short> PackDataFile(const std::filesystem::path& file);
// Never fails: names that could leave the output folder (paths, "..", hidden names) are dropped.
DataFileLayout ReadDataFileLayout(std::span<const unsigned short> block);
// Writes the file's bytes to `out` as they come, without a copy of the file; the stream's state
// tells whether that worked.
void WriteDataFile(std::span<const unsigned short> block, const DataFileLayout& layout,
                   std::ostream& out);

}  // namespace kvx::cli
