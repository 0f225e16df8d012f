// The KVX container: magic word, optional password obfuscation, zstd-compressed object stream.
// The byte layout is documented in docs/format.md.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "maker/MFileName.h"

class MFile;

namespace KvxInternal {

// Outcomes of ReadEnvelope; the values are those of the importer's result codes.
enum EnvelopeResult : int {
    kEnvelopeFailed = 0,  // no memory for the file, or no container tag inside
    kEnvelopeOk = 1,
    kEnvelopeBadMagic = 3,  // not a KVX file, or shorter than 8 bytes
    kEnvelopeWrongPassword = 4,
    kEnvelopeCannotOpen = 5,
    kEnvelopeDecompressFailed = 10,  // corrupt or truncated payload
    kEnvelopeTempFileFailed = 11,    // the temporary file could not be created or written
};

// Buffer sizes of the files the container opens.
inline constexpr std::size_t kContainerFileBuffer = 0x40000;
inline constexpr std::size_t kPayloadWriteBuffer = 0xA00000;
// Length of the container's outer chunk header: where the first object chunk starts.
inline constexpr std::int64_t kPayloadStart = 12;
// A payload may decompress to at most kMaxExpansionFloor + kMaxExpansionRatio x its compressed
// size, so a small file cannot fill the disk.
inline constexpr std::uint64_t kMaxExpansionFloor = std::uint64_t{64} << 20;
inline constexpr std::uint64_t kMaxExpansionRatio = 1024;

// Writes the object chunks after the outer header; false stops the export.
using ContentWriter = std::function<bool(MFile&)>;

// `fileName` with the extension of its last element replaced by ".kvx".
MFileName KvxFileName(const std::wstring& fileName);

// The key that the conversion of the password gives (StringToULong of its UTF-8 bytes).
std::uint32_t RawPasswordKey(const std::wstring& password);
// The 32-bit key that a password stands for: its raw key, unless obfuscating with that key
// leaves file bytes 4 and 5 ("IP") unchanged, which would make the file look unobfuscated.
// Such a key (about one in 65,536) is re-mixed until the result changes those bytes, so every
// password's files read back; all other passwords keep their raw key.
std::uint32_t PasswordKey(const std::wstring& password);

// Writes a KVX file named KvxFileName(fileName). The content is staged in a temporary file,
// compressed and obfuscated in memory, written to a new file beside the target and renamed over
// it, so a failure leaves an existing target untouched and no partial file behind. Temporary
// files are removed on every path. True when the file was written.
// `acceptSize`, when given, is asked before anything is written to the target whether a file of
// that many bytes may be written; false stops the export.
bool WriteEnvelope(const std::wstring& fileName, const std::wstring& password,
                   const ContentWriter& writeContent,
                   const std::function<bool(std::uint64_t)>& acceptSize = {});

// Opens a KVX file and unwraps its object stream into a new temporary file. On kEnvelopeOk,
// `temp` is open for reading at the first object chunk and `tempName` names it; the caller owns
// the file and removes it. On any other result no temporary file is left behind.
int ReadEnvelope(const std::wstring& fileName, const std::wstring& password, MFile& temp,
                 MFileName& tempName);

}  // namespace KvxInternal
