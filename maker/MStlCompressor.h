// Lossless mesh compression into and out of an MFile (the payload of a mesh object's chunk).
//
// Operate on a file open for writing appends the encoded mesh at the file's position; on a file
// open for reading it decodes the mesh at the file's position into the mesh (replacing its
// content) and leaves the file just after the payload. The payload is self-delimiting and starts
// with a format version byte (docs/format.md, "Mesh payload"):
//   version 1: counts, points (meshoptimizer vertex codec), triangles (meshoptimizer index
//   codec) and per-triangle colour codes, together in one zstd frame;
//   version 2: the body's size, then the body of maker/MeshCodec2.h (Edgebreaker connectivity,
//   predicted points, colours, rANS, a checksum).
// Both versions are read. By default (kAutomatic) a mesh is written in version 2, or in version
// 1 where that is smaller: every mesh below kBothFormatsBelow triangles is encoded both ways,
// larger ones only when version 2 spends more than kFormat1AboveHalfBytes / 2 bytes per triangle
// (fans, repeated triangles); a version-1 payload is not taken when it would charge readers more
// than the memory budget grants its own bytes, unless version 2 does too and leaves less room.
// SetFormatVersion(1 or 2) writes that version only. Points, triangles (each keeping its
// orientation) and colours survive exactly; the order of points and of triangles may change, and
// normals are recomputed on decode.
//
// Decoding is safe on untrusted input: the decoded size is bounded by kMaxExpansion x the bytes
// that remain (plus kExpansionFloor), counts are bounded by what the decoded blocks can hold, and
// every index is checked against the point count; running out of memory is a failure too. When
// the file is read under a budget (maker/ReadBudget.h), every buffer is charged to it before it
// is allocated (DecodeCost), and a charge that does not fit fails the decode. Damage
// the codecs can see makes Operate return false and leaves the mesh empty; the payload carries no
// checksum of its own, as the file's frame checksum covers it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "maker/MStlBase.h"

class MFile;

class MStlCompressor : public MOperator<MStlBase> {
public:
    // The newest version; kAutomatic picks version 1 or 2 per mesh (see above).
    static constexpr std::uint8_t kFormatVersion = 2;
    static constexpr std::uint8_t kAutomatic = 0;
    static constexpr std::uint64_t kBothFormatsBelow = std::uint64_t{1} << 17;
    static constexpr std::uint64_t kFormat1AboveHalfBytes = 7;
    static constexpr std::uint64_t kExpansionFloor = std::uint64_t{1} << 20;
    static constexpr std::uint64_t kMaxExpansion = 1024;

    void SetFile(MFile* file) { file_ = file; }
    // The version an encode writes: kAutomatic, 1 or 2 (anything else fails the encode).
    void SetFormatVersion(std::uint8_t version) { formatVersion_ = version; }
    // The version new compressors write (kAutomatic unless changed): for tests, seed
    // corpora and benchmarks that need whole files in format 1. Not thread-safe.
    static void SetDefaultFormatVersion(std::uint8_t version) { defaultVersion_ = version; }
    // A decode that only proves the payload sound: every check of a full decode is made and
    // charged alike, but the mesh is left empty (no normals are computed). DecodedTriangles()
    // then gives the triangle count.
    void SetCheckOnly(bool checkOnly) { checkOnly_ = checkOnly; }
    bool Operate(std::shared_ptr<IProgressDelegate> progress) override;
    // After a decode: the triangles it found (also when the decode only checked).
    std::uint64_t DecodedTriangles() const { return decodedTriangles_; }

    // After an encode: what decoding the payload will charge to a reader's budget. After a
    // decode: what it charged.
    std::uint64_t ReadCost() const { return readCost_; }
    // What decoding a payload of `payloadBytes` whose frame holds `bodyBytes` charges.
    static std::uint64_t DecodeCost(std::uint64_t payloadBytes, std::uint64_t bodyBytes,
                                    std::uint64_t points, std::uint64_t triangles);

private:
    bool Encode();
    // The whole payload (version byte included) and what reading it charges.
    bool Encode1(std::vector<unsigned char>& payload, std::uint64_t& cost) const;
    bool Encode2(std::vector<unsigned char>& payload, std::uint64_t& cost) const;
    bool Decode();
    bool Decode2();
    bool ReadFrame(std::unique_ptr<unsigned char[]>& body, std::size_t& bodySize);
    bool Charge(std::uint64_t count, std::uint64_t size);

    MFile* file_ = nullptr;
    static inline std::uint8_t defaultVersion_ = kAutomatic;
    std::uint8_t formatVersion_ = defaultVersion_;
    std::uint64_t readCost_ = 0;
    std::uint64_t decodedTriangles_ = 0;
    bool checkOnly_ = false;
};
