#include "maker/Crypt.h"

#include <array>
#include <utility>

namespace {

using Table = std::array<std::array<unsigned char, 256>, 4>;

// Final mix of MurmurHash3: every input bit affects every output bit.
std::uint32_t Mix(std::uint32_t h) {
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return h;
}

// Four keyed permutations of the byte values (Fisher-Yates driven by a keyed xorshift).
Table MakeTables(std::uint32_t key) {
    Table t;
    for (std::uint32_t lane = 0; lane < 4; ++lane) {
        std::uint32_t state = Mix(key ^ (0x9E3779B9u * (lane + 1))) | 1u;
        auto& p = t[lane];
        for (int i = 0; i < 256; ++i)
            p[i] = static_cast<unsigned char>(i);
        for (int i = 255; i > 0; --i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            std::swap(p[i], p[Mix(state) % static_cast<std::uint32_t>(i + 1)]);
        }
    }
    return t;
}

void Apply(unsigned char* data, std::size_t length, const Table& t) {
    for (std::size_t i = 0; i < length; ++i)
        data[i] = t[i & 3][data[i]];
}

}  // namespace

void Encrypt(unsigned char* data, std::size_t length, std::uint32_t key) {
    Apply(data, length, MakeTables(key));
}

void Decrypt(unsigned char* data, std::size_t length, std::uint32_t key) {
    const Table forward = MakeTables(key);
    Table inverse;
    for (int lane = 0; lane < 4; ++lane)
        for (int v = 0; v < 256; ++v)
            inverse[lane][forward[lane][v]] = static_cast<unsigned char>(v);
    Apply(data, length, inverse);
}

std::uint32_t StringToULong(std::string_view text) {
    std::uint32_t h = 0x811C9DC5u;  // FNV-1a, then a full mix
    for (unsigned char c : text)
        h = (h ^ c) * 0x01000193u;
    return Mix(h ^ static_cast<std::uint32_t>(text.size()));
}

std::uint32_t RemixKey(std::uint32_t key) {
    return Mix(key + 0x9E3779B9u);
}
