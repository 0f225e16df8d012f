// Self-extracting packages: a stub program followed by a KVX file. The stub carries the marker
// text "Invalid KVX timecode" followed by at least 11 bytes; the package step writes the stub's
// size there (" %8d" and a NUL, from the second byte after the marker on), so the running stub
// finds where its KVX file starts.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "maker/MFileName.h"

namespace KvxInternal {

inline constexpr std::string_view kPackageMarker = "Invalid KVX timecode";
// Stubs of this size or more would need more than eight digits.
inline constexpr std::int64_t kMaxStubSize = 100000000;

enum class PackageResult { Written, StubUnusable, NoMarker, WriteFailed };

// Offset of the last character of the first full marker in `bytes`, or -1. The search restarts
// at the current byte when a partial match breaks off.
std::int64_t FindMarkerEnd(const std::uint8_t* bytes, std::size_t size);

// Writes the package `packageName`: the stub at `stubPath`, patched, then the file `kvxName`.
// An existing package file is replaced only when everything was written.
PackageResult BuildPackage(const MFileName& stubPath, const MFileName& kvxName,
                           const MFileName& packageName);

}  // namespace KvxInternal
