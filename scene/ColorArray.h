// IVColorArray: a persistent, identified array of 16-bit values (the triangle colour codes of a
// mesh, or an opaque data block a caller hands in), stored with a Huffman code built from the
// value frequencies, so that a mesh with few colours takes few bits per triangle.
//
// Chunk: "COLOR" [ "MUID" identity, "DATA" (version 2, flags 1) ]. The flat form, a "COLOR" chunk
// of version below 2, holds the same payload directly. The "DATA" version byte is not checked;
// a chunk without "DATA" reads as an empty array.
// Payload, little-endian:
//   uint32 D                 number of distinct values
//   D x (uint16 value, uint16 code length)
//                            the leaves of the code tree, depth first, left subtree first
//   int32 colorCount         number of values
//   bytes                    the codes of the values in order, first code bit first; each byte
//                            is filled from bit 0 up, a partial last byte is padded with 0 bits,
//                            and a stream without bits is one zero byte
// The code: one leaf per distinct value, in ascending value order, weighted by its count, in a
// queue ordered by weight in which a node goes after every node of equal weight already in it.
// The first two nodes taken become the left (code bit 0) and right (bit 1) child of a new node
// that enters the queue. A single distinct value has code length 0.
//
// Read is safe on untrusted input: it never reads outside its chunk and a few bytes cannot make
// it allocate much or run long. It fails (leaving the array empty) when
//   - D exceeds 65,536 (kMaxDistinct) or the bytes left in the chunk (4 bytes per leaf),
//   - a leaf value repeats,
//   - a code length exceeds 64 (kMaxCodeLength), or the lengths, in order, are not those of
//     a complete prefix code (exactly one tree whose root is at depth 0; length 0 only for a
//     single value),
//   - colorCount is negative, above 268,435,456 = 2^28 (kMaxColorCount), or above 0 with D 0,
//   - the bytes left cannot hold colorCount codes of the shortest length (checked before any
//     memory is reserved), or the bits run out while decoding.
// So values are reserved for at most 8 per byte left. A single distinct value (code length 0) is
// kept once, however large colorCount is, until a caller asks for all values (GetValues).
// Rebuilding the tree and decoding cost time linear in the payload size (and in colorCount).
//
// Write fails, writing nothing, unless colorCount equals the number of values and is at most
// kMaxColorCount, so that every array it writes reads back the same.
#pragma once

#include <cstdint>
#include <vector>

#include "maker/MStlBase.h"
#include "persistence/Identity.h"

class MFile;

namespace KvxInternal {

class IVColorArray : public virtual MUID {
    KVX_DYNAMIC_CLASS(IVColorArray, MUID)

public:
    static constexpr std::uint32_t kMaxDistinct = 65536;
    static constexpr std::uint16_t kMaxCodeLength = 64;
    static constexpr std::int32_t kMaxColorCount = std::int32_t{1} << 28;

    // Calling order of a writer: SetColorCount(n), then exactly n values.
    // Sets the count, empties the values and reserves room for n of them (nothing is reserved
    // for a count outside 0 to kMaxColorCount, which Write refuses).
    void SetColorCount(std::int32_t n);
    void AddValue(std::uint16_t value) {
        Materialize();
        colorValues_.push_back(value);
    }

    // A triangle colour, stored as its 16-bit code.
    void AddColor(const MStlColor& color) { AddValue(ConvertTo16BitValue(color)); }
    MStlColor GetColor(std::uint32_t i) const { return ConvertFrom16BitValue(GetValue(i)); }

    std::int32_t GetColorCount() const { return colorCount_; }
    // Value i; 0 for an index at or past the values held.
    std::uint16_t GetValue(std::uint32_t i) const {
        if (uniform_)
            return static_cast<std::int64_t>(i) < colorCount_ ? uniformValue_ : std::uint16_t{0};
        return i < colorValues_.size() ? colorValues_[i] : std::uint16_t{0};
    }
    // All values (an array read as one repeated value is expanded here, on request).
    const std::vector<std::uint16_t>& GetValues() const {
        Materialize();
        return colorValues_;
    }

    bool Write(MFile& file) override;
    bool Read(MFile& file) override;

private:
    bool WritePayload(MFile& file) const;
    bool ReadPayload(MFile& file);
    void Clear();
    void Materialize() const;

    mutable std::vector<std::uint16_t> colorValues_;
    std::int32_t colorCount_ = 0;
    // colorCount_ copies of uniformValue_, not yet expanded into colorValues_.
    mutable bool uniform_ = false;
    std::uint16_t uniformValue_ = 0;
};

}  // namespace KvxInternal
