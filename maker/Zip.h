// Stream compression (zstd frames with a content checksum).
//
// Compress reads `in` to its end and writes one zstd frame to `out`. `level` 20 is the container
// level (kContainerLevel, chosen by measurement: see docs/maker.md); any other value is taken
// as a zstd level and clamped to zstd's range.
//
// Decompress reads `in` to its end and writes the decompressed bytes to `out`. It is safe on
// untrusted input: it fails on a corrupt, truncated or trailing-garbage stream, on a checksum
// mismatch, on a frame that needs a window above 2^kMaxWindowLog bytes, and once the output would
// exceed `maxOutput` bytes. What was written before a failure stays written; callers discard it.
#pragma once

#include <cstdint>
#include <istream>
#include <limits>
#include <ostream>

inline constexpr int kContainerLevel = 20;
inline constexpr int kMaxWindowLog = 27;

// The zstd level that a maker level stands for.
int ZstdLevelFor(int level);

bool Compress(std::ostream& out, std::istream& in, int level);
bool Decompress(std::ostream& out, std::istream& in,
                std::uint64_t maxOutput = std::numeric_limits<std::uint64_t>::max());
