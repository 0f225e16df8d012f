#include "EntropyStage.h"

#include <zstd.h>

#include <bit>
#include <cstring>

#include "maker/Rans.h"
#include "maker/Varint.h"

namespace kvxbench {

namespace {

using KvxInternal::GetVarint;

constexpr int kZstdLevel = 19;

unsigned Contexts(const Residuals& residuals) {
    unsigned n = 0;
    for (const auto& r : residuals)
        n = std::max(n, r.context + 1);
    return n;
}

unsigned Length(std::uint64_t z) {
    return static_cast<unsigned>(std::bit_width(z));
}

void PutU32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

bool GetU32(const std::uint8_t*& p, const std::uint8_t* end, std::uint32_t& v) {
    if (end - p < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i)
        v |= std::uint32_t{*p++} << (8 * i);
    return true;
}

void PutFrame(Bytes& out, const Bytes& content) {
    Bytes frame(ZSTD_compressBound(content.size()));
    frame.resize(
        ZSTD_compress(frame.data(), frame.size(), content.data(), content.size(), kZstdLevel));
    PutU32(out, static_cast<std::uint32_t>(content.size()));
    PutU32(out, static_cast<std::uint32_t>(frame.size()));
    out.insert(out.end(), frame.begin(), frame.end());
}

bool GetFrame(const std::uint8_t*& p, const std::uint8_t* end, Bytes& content) {
    std::uint32_t size = 0, packed = 0;
    if (!GetU32(p, end, size) || !GetU32(p, end, packed) || end - p < packed) return false;
    content.resize(size);
    const std::size_t got = ZSTD_decompress(content.data(), size, p, packed);
    p += packed;
    return !ZSTD_isError(got) && got == size;
}

}  // namespace

Bytes Rans::Encode(const Residuals& residuals) {
    Bytes out;
    KvxInternal::geometry::EncodeResiduals(residuals, out);
    return out;
}

bool Rans::Decode(const Bytes& bytes, const Residuals& expected) {
    const std::uint8_t* p = bytes.data();
    const std::uint8_t* const end = p + bytes.size();
    // The layout of the point block: the tables of the contexts used, each after its id.
    std::uint32_t present = 0;
    if (!GetVarint(p, end, present)) return false;
    std::vector<KvxInternal::rans::Table> tables(Contexts(expected));
    for (std::uint32_t i = 0; i < present; ++i) {
        std::uint32_t c = 0;
        if (!GetVarint(p, end, c) || c >= tables.size() || !tables[c].Read(p, end)) return false;
    }
    KvxInternal::rans::Decoder d;
    if (!d.Start(p, static_cast<std::size_t>(end - p))) return false;
    bool same = true;
    for (const auto& r : expected)
        for (const std::uint64_t want : r.z) {
            const unsigned length = d.Get(tables[r.context]);
            std::uint64_t z = length == 0 ? 0 : std::uint64_t{1} << (length - 1);
            for (unsigned done = 0; done + 1 < length;) {
                const unsigned bits = std::min(KvxInternal::rans::kMaxRawBits, length - 1 - done);
                z |= std::uint64_t{d.GetBits(bits)} << done;
                done += bits;
            }
            same &= z == want;
        }
    return d.Finish() && same;
}

Bytes ZstdSplit::Encode(const Residuals& residuals) {
    const unsigned contexts = Contexts(residuals);
    std::vector<Bytes> symbols(contexts);
    Bytes raw;
    std::uint64_t pending = 0;
    unsigned filled = 0;
    for (const auto& r : residuals)
        for (const std::uint64_t z : r.z) {
            const unsigned length = Length(z);
            symbols[r.context].push_back(static_cast<std::uint8_t>(length));
            for (unsigned done = 0; done + 1 < length;) {
                const unsigned bits = std::min(16u, length - 1 - done);
                pending |= ((z >> done) & ((std::uint64_t{1} << bits) - 1)) << filled;
                filled += bits;
                done += bits;
                while (filled >= 8) {
                    raw.push_back(static_cast<std::uint8_t>(pending));
                    pending >>= 8;
                    filled -= 8;
                }
            }
        }
    if (filled > 0) raw.push_back(static_cast<std::uint8_t>(pending));
    Bytes out;
    PutU32(out, contexts);
    for (const Bytes& s : symbols)
        PutFrame(out, s);
    PutFrame(out, raw);
    return out;
}

bool ZstdSplit::Decode(const Bytes& bytes, const Residuals& expected) {
    const std::uint8_t* p = bytes.data();
    const std::uint8_t* const end = p + bytes.size();
    std::uint32_t contexts = 0;
    if (!GetU32(p, end, contexts) || contexts > 256) return false;
    std::vector<Bytes> symbols(contexts);
    Bytes raw;
    for (Bytes& s : symbols)
        if (!GetFrame(p, end, s)) return false;
    if (!GetFrame(p, end, raw)) return false;
    std::vector<std::size_t> next(contexts, 0);
    std::size_t rawAt = 0;
    std::uint64_t pending = 0;
    unsigned filled = 0;
    bool same = true;
    for (const auto& r : expected)
        for (const std::uint64_t want : r.z) {
            if (r.context >= contexts || next[r.context] >= symbols[r.context].size()) return false;
            const unsigned length = symbols[r.context][next[r.context]++];
            std::uint64_t z = length == 0 ? 0 : std::uint64_t{1} << (length - 1);
            const unsigned bits = length == 0 ? 0 : length - 1;
            while (filled < bits) {
                if (rawAt >= raw.size()) return false;
                pending |= std::uint64_t{raw[rawAt++]} << filled;
                filled += 8;
            }
            if (bits > 0) {
                z |= pending & ((std::uint64_t{1} << bits) - 1);
                pending = bits == 64 ? 0 : pending >> bits;
                filled -= bits;
            }
            same &= z == want;
        }
    return same;
}

Bytes ZstdVarint::Encode(const Residuals& residuals) {
    Bytes varints;
    for (const auto& r : residuals)
        for (std::uint64_t z : r.z) {
            while (z >= 0x80) {
                varints.push_back(static_cast<std::uint8_t>(z | 0x80));
                z >>= 7;
            }
            varints.push_back(static_cast<std::uint8_t>(z));
        }
    Bytes out;
    PutFrame(out, varints);
    return out;
}

bool ZstdVarint::Decode(const Bytes& bytes, const Residuals& expected) {
    const std::uint8_t* p = bytes.data();
    Bytes varints;
    if (!GetFrame(p, p + bytes.size(), varints)) return false;
    const std::uint8_t* q = varints.data();
    const std::uint8_t* const end = q + varints.size();
    bool same = true;
    for (const auto& r : expected)
        for (const std::uint64_t want : r.z) {
            std::uint64_t z = 0;
            for (unsigned shift = 0;; shift += 7) {
                if (q == end || shift > 63) return false;
                const std::uint8_t byte = *q++;
                z |= std::uint64_t{byte & 0x7Fu} << shift;
                if (!(byte & 0x80)) break;
            }
            same &= z == want;
        }
    return same && q == end;
}

}  // namespace kvxbench
