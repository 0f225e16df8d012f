// The entropy stage of the mesh payload's format 2 set against zstd's, on the same symbols: the
// point residuals of one mesh as its geometry block codes them (maker/GeometryCoder.h). Each
// residual axis is a length symbol of its vertex's context plus the raw bits below its leading
// one.
//
//  - Rans:        the library's own coding of the point block (geometry::EncodeResiduals: one
//                 rANS table per context, raw bits in the same stream);
//  - ZstdSplit:   the same symbols, one byte each, in one stream per context, and the raw bits
//                 packed in a stream of their own, each stream one zstd frame (level 19), so that
//                 zstd's Huffman and FSE stages see exactly the modelling rANS sees;
//  - ZstdVarint:  the zigzagged residuals as LEB128 varints in one zstd frame (level 19): zstd
//                 without the context modelling.
//
// Each Decode rebuilds the residuals' zigzagged values and returns false when they differ.
#pragma once

#include <cstdint>
#include <vector>

#include "maker/GeometryCoder.h"

namespace kvxbench {

using Residuals = KvxInternal::LargeVector<KvxInternal::geometry::Residual>;
using Bytes = std::vector<std::uint8_t>;

struct Rans {
    static constexpr const char* kName = "rans";
    static Bytes Encode(const Residuals& residuals);
    static bool Decode(const Bytes& bytes, const Residuals& expected);
};

struct ZstdSplit {
    static constexpr const char* kName = "zstd19_split";
    static Bytes Encode(const Residuals& residuals);
    static bool Decode(const Bytes& bytes, const Residuals& expected);
};

struct ZstdVarint {
    static constexpr const char* kName = "zstd19_varint";
    static Bytes Encode(const Residuals& residuals);
    static bool Decode(const Bytes& bytes, const Residuals& expected);
};

}  // namespace kvxbench
