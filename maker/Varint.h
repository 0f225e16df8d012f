// LEB128 varints of 32-bit values, as the mesh payload's format 2 and its entropy tables use
// them. GetVarint is safe on untrusted input: it stops at `end`, and refuses a varint longer
// than 5 bytes or above 2^32 - 1.
#pragma once

#include <cstdint>
#include <vector>

namespace KvxInternal {

inline void PutVarint(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (; v >= 0x80; v >>= 7)
        out.push_back(static_cast<std::uint8_t>(v | 0x80));
    out.push_back(static_cast<std::uint8_t>(v));
}

// Reads a varint at `p` (advanced past it); false when it runs past `end` or is too long.
inline bool GetVarint(const std::uint8_t*& p, const std::uint8_t* end, std::uint32_t& v) {
    v = 0;
    for (int shift = 0; shift < 35 && p < end; shift += 7) {
        const std::uint8_t byte = *p++;
        v |= std::uint32_t{byte & 0x7Fu} << shift;
        if ((byte & 0x80) == 0) return shift < 28 || byte < 0x10;
    }
    return false;
}

}  // namespace KvxInternal
