#include "maker/MStlCompressor.h"

#include <meshoptimizer.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "maker/MFile.h"
#include "maker/MeshCodec2.h"
#include "maker/ReadBudget.h"
#include "maker/Varint.h"

namespace {

using KvxInternal::GetVarint;
using KvxInternal::PutVarint;

// Level 9 costs little more than 6 on meshoptimizer output and saves up to 1% of it.
constexpr int kZstdLevel = 9;
constexpr std::uint8_t kHasColors = 1;
// Upper bounds of points and triangles per byte of their encoded blocks: the codecs never
// store them more densely (the vertex codec needs more than 1 byte for 6 equal points, the index
// codec a code byte per triangle), so larger counts are corrupt and cannot make us allocate.
constexpr std::uint64_t kPointsPerByte = 8;
constexpr std::uint64_t kTrianglesPerByte = 1;
// Compressed bytes fed to the decompressor at a time. A frame that fits in one read is decoded
// in a single pass straight into the body; larger ones go through the decoder's window.
constexpr std::size_t kReadChunk = std::size_t{4} << 20;
// What one decoded triangle costs: its storage, its colour code and its three decoded indices.
constexpr std::uint64_t kTriangleBytes = sizeof(MStlTriangle) + 2 + 3 * sizeof(std::uint32_t);

// After each triangle it emits, the vertex cache optimiser rescores the remaining triangles of
// every point in its cache, so its work grows with the sum over points of the square of their
// triangle counts (a fan of a million triangles around one point takes many minutes). Meshes
// whose sum stays within this many per triangle corner take it (its order compresses best;
// the sum per corner is at most the largest count, which is far below this in ordinary meshes);
// the others take the FIFO optimiser, which is linear whatever the mesh.
constexpr std::uint64_t kMaxCacheOptimiserWork = 256;
constexpr unsigned kFifoCacheSize = 16;

bool CacheOptimiserTooCostly(const std::vector<std::uint32_t>& indices, std::size_t points) {
    std::vector<std::uint32_t> valence(points);
    const std::uint64_t limit = kMaxCacheOptimiserWork * indices.size();
    std::uint64_t work = 0;  // the sum of the squared counts so far; stops before it overflows
    for (const std::uint32_t i : indices) {
        work += 2 * std::uint64_t{valence[i]++} + 1;
        if (work > limit) return true;
    }
    return false;
}

// A triangle's three indices and where it stands, ordered by the indices and then the place.
struct Placed {
    std::uint64_t first;   // indices 0 and 1
    std::uint64_t second;  // index 2 and the triangle's place
    friend bool operator<(const Placed& a, const Placed& b) {
        return a.first != b.first ? a.first < b.first : a.second < b.second;
    }
};

std::vector<Placed> SortedTriangles(const std::vector<std::uint32_t>& indices) {
    std::vector<Placed> out(indices.size() / 3);
    for (std::size_t t = 0; t < out.size(); ++t)
        out[t] = {std::uint64_t{indices[3 * t]} << 32 | indices[3 * t + 1],
                  std::uint64_t{indices[3 * t + 2]} << 32 | t};
    std::sort(out.begin(), out.end());
    return out;
}

// Triangle order for the index codec, and where each triangle came from (for its colour). The
// optimisers only reorder whole triangles, keeping each one's corner order; equal triangles are
// matched in turn, so they keep their colours as a multiset. Both steps are n log n at worst.
std::vector<std::uint32_t> CacheOrder(const std::vector<std::uint32_t>& indices, std::size_t points,
                                      std::vector<std::uint32_t>* origin) {
    std::vector<std::uint32_t> ordered(indices.size());
    if (CacheOptimiserTooCostly(indices, points))
        meshopt_optimizeVertexCacheFifo(ordered.data(), indices.data(), indices.size(), points,
                                        kFifoCacheSize);
    else
        meshopt_optimizeVertexCache(ordered.data(), indices.data(), indices.size(), points);
    if (origin != nullptr) {
        // Sorted by their indices, the k-th triangle of each side is the same triangle.
        const std::vector<Placed> from = SortedTriangles(indices), to = SortedTriangles(ordered);
        origin->resize(from.size());
        for (std::size_t k = 0; k < from.size(); ++k)
            (*origin)[static_cast<std::uint32_t>(to[k].second)] =
                static_cast<std::uint32_t>(from[k].second);
    }
    return ordered;
}

}  // namespace

bool MStlCompressor::Operate(std::shared_ptr<IProgressDelegate> progress) {
    if (data_ == nullptr || file_ == nullptr || !file_->IS_OPEN()) return false;
    bool ok = false;
    try {
        decodedTriangles_ = 0;
        ok = file_->IsReading() ? Decode() : Encode();
        if (ok && file_->IsReading()) {
            if (decodedTriangles_ == 0) decodedTriangles_ = data_->NumberOfTriangles();
            // Format 1 is checked by decoding it in full.
            if (checkOnly_) data_->ClearStl(true);
        }
    } catch (const std::bad_alloc&) {
        // Counts within the limits can still ask for more memory than there is.
        if (file_->IsReading()) data_->ClearStl(true);
    }
    if (ok && progress) progress->Progress(1.0);
    return ok;
}

bool MStlCompressor::Encode2(std::vector<unsigned char>& payload, std::uint64_t& cost) const {
    std::vector<std::uint8_t> body;
    if (data_->NumberOfPoints() > UINT32_MAX || data_->NumberOfTriangles() > UINT32_MAX / 4)
        return false;
    cost = KvxInternal::codec2::Encode(*data_, body);
    // Readers take bodies of at most 2^32 - 1 bytes.
    if (body.size() > UINT32_MAX) return false;
    payload = {2};
    PutVarint(payload, static_cast<std::uint32_t>(body.size()));
    payload.insert(payload.end(), body.begin(), body.end());
    return true;
}

bool MStlCompressor::Decode2() {
    // The body's size (a varint of at most 5 bytes), then the body.
    std::uint64_t size = 0;
    int shift = 0;
    for (unsigned char byte = 0x80; byte & 0x80; shift += 7) {
        if (shift >= 35 || file_->READ(&byte, 1) != 1) return false;
        size |= std::uint64_t{byte & 0x7Fu} << shift;
    }
    if (size > UINT32_MAX || size > static_cast<std::uint64_t>(file_->REMAINING()) ||
        !Charge(1, size))
        return false;
    std::vector<std::uint8_t> body(size);
    if (file_->READ(body.data(), body.size()) != body.size()) return false;
    const auto charge = [this](std::uint64_t count, std::uint64_t bytes) {
        return Charge(count, bytes);
    };
    if (checkOnly_)
        return KvxInternal::codec2::Check(body.data(), body.data() + body.size(), charge,
                                          decodedTriangles_);
    return KvxInternal::codec2::Decode(body.data(), body.data() + body.size(), *data_, charge);
}

bool MStlCompressor::Encode() {
    std::vector<unsigned char> payload;
    std::uint64_t cost = 0;
    if (formatVersion_ == 1 || formatVersion_ == 2) {
        if (!(formatVersion_ == 1 ? Encode1(payload, cost) : Encode2(payload, cost))) return false;
    } else if (formatVersion_ == kAutomatic) {
        if (!Encode2(payload, cost)) return false;
        const std::uint64_t triangles = data_->NumberOfTriangles();
        if (triangles < kBothFormatsBelow ||
            2 * payload.size() > kFormat1AboveHalfBytes * triangles) {
            // What reading a payload may charge is bounded by what the file's bytes grant it
            // (MReadBudget). A format-1 payload is only taken where it leaves no less room than
            // format 2, or pays its own way, so the choice never makes a file unreadable.
            const auto room = [](std::size_t bytes, std::uint64_t charge) {
                return static_cast<__int128>(MReadBudget::kPerFileByte) * bytes -
                       static_cast<__int128>(charge);
            };
            std::vector<unsigned char> other;
            std::uint64_t otherCost = 0;
            if (Encode1(other, otherCost) && other.size() < payload.size() &&
                room(other.size(), otherCost) >=
                    std::min<__int128>(0, room(payload.size(), cost))) {
                payload.swap(other);
                cost = otherCost;
            }
        }
    } else {
        return false;
    }
    readCost_ = cost;
    return file_->WRITE(payload.data(), payload.size()) == payload.size();
}

bool MStlCompressor::Encode1(std::vector<unsigned char>& payload, std::uint64_t& cost) const {
    const MStlBase& mesh = *data_;
    const std::size_t pointCount = mesh.NumberOfPoints();
    const std::size_t triangleCount = mesh.NumberOfTriangles();
    if (pointCount > UINT32_MAX || triangleCount > UINT32_MAX / 3) return false;
    const bool colored = mesh.HasColoredTriangles();

    std::vector<std::uint32_t> indices;
    indices.reserve(triangleCount * 3);
    for (const MStlTriangle& t : mesh.Triangles())
        indices.insert(indices.end(), t.points, t.points + 3);
    std::vector<std::uint32_t> origin;
    indices = CacheOrder(indices, pointCount, colored ? &origin : nullptr);

    // Points in the order the triangles first use them, then the unused ones in their order.
    std::vector<std::uint32_t> remap(pointCount);
    std::size_t next =
        meshopt_optimizeVertexFetchRemap(remap.data(), indices.data(), indices.size(), pointCount);
    for (std::uint32_t& r : remap)
        if (r == ~0u) r = static_cast<std::uint32_t>(next++);
    std::vector<MStlPoint> points(pointCount);
    for (std::size_t i = 0; i < pointCount; ++i)
        points[remap[i]] = mesh.Points()[i];
    for (std::uint32_t& i : indices)
        i = remap[i];

    meshopt_encodeVertexVersion(0);
    meshopt_encodeIndexVersion(1);
    std::vector<unsigned char> vertexBlock(
        meshopt_encodeVertexBufferBound(pointCount, sizeof(MStlPoint)));
    vertexBlock.resize(meshopt_encodeVertexBuffer(vertexBlock.data(), vertexBlock.size(),
                                                  points.data(), pointCount, sizeof(MStlPoint)));
    std::vector<unsigned char> body = {static_cast<unsigned char>(colored ? kHasColors : 0)};
    if (vertexBlock.size() > UINT32_MAX) return false;  // readers take sizes below 2^32
    PutVarint(body, static_cast<std::uint32_t>(pointCount));
    PutVarint(body, static_cast<std::uint32_t>(triangleCount));
    PutVarint(body, static_cast<std::uint32_t>(vertexBlock.size()));
    body.insert(body.end(), vertexBlock.begin(), vertexBlock.end());
    const std::size_t indexStart = body.size();
    body.resize(indexStart + meshopt_encodeIndexBufferBound(indices.size(), pointCount));
    body.resize(indexStart + meshopt_encodeIndexBuffer(body.data() + indexStart,
                                                       body.size() - indexStart, indices.data(),
                                                       indices.size()));
    if (colored) {
        for (std::size_t t = 0; t < triangleCount; ++t) {
            const std::uint16_t c = mesh.Triangles()[origin[t]].color;
            body.push_back(static_cast<unsigned char>(c));
            body.push_back(static_cast<unsigned char>(c >> 8));
        }
    }

    // The frame records its content size; it delimits itself, so nothing else is needed.
    const unsigned char version = 1;
    std::vector<unsigned char> frame(ZSTD_compressBound(body.size()));
    const std::size_t packed =
        ZSTD_compress(frame.data(), frame.size(), body.data(), body.size(), kZstdLevel);
    if (ZSTD_isError(packed)) return false;
    // What reading this payload back will charge to the reader's budget.
    cost = DecodeCost(packed, body.size(), pointCount, triangleCount);
    payload.assign(1, version);
    payload.insert(payload.end(), frame.begin(),
                   frame.begin() + static_cast<std::ptrdiff_t>(packed));
    return true;
}

// Decompresses the zstd frame at the file's position into `body`, reading in chunks and
// stepping back over what follows the frame.
bool MStlCompressor::ReadFrame(std::unique_ptr<unsigned char[]>& body, std::size_t& bodySize) {
    std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> ctx(ZSTD_createDCtx(), &ZSTD_freeDCtx);
    // Our encoder's windows are far smaller; a larger one only makes hostile input costly.
    if (!ctx || ZSTD_isError(ZSTD_DCtx_setParameter(ctx.get(), ZSTD_d_windowLogMax, 24)))
        return false;
    const std::int64_t available = file_->REMAINING();
    // Filled by the reads, so not cleared first.
    const auto chunkSize = static_cast<std::size_t>(std::min<std::int64_t>(available, kReadChunk));
    if (!Charge(1, chunkSize)) return false;
    const auto chunk = std::make_unique_for_overwrite<unsigned char[]>(chunkSize);
    ZSTD_inBuffer in{chunk.get(), 0, 0};
    in.size = file_->READ(chunk.get(), chunkSize);
    const unsigned long long size = ZSTD_getFrameContentSize(chunk.get(), in.size);
    if (size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR || size == 0 ||
        size > kExpansionFloor + kMaxExpansion * static_cast<std::uint64_t>(available) ||
        !Charge(1, size))
        return false;
    // Written in full by the decompressor, so not cleared first.
    body = std::make_unique_for_overwrite<unsigned char[]>(size);
    bodySize = size;
    ZSTD_outBuffer out{body.get(), bodySize, 0};
    for (;;) {
        const std::size_t hint = ZSTD_decompressStream(ctx.get(), &out, &in);
        if (ZSTD_isError(hint)) return false;
        if (hint == 0) break;
        if (in.pos == in.size) {
            in.size = file_->READ(chunk.get(), chunkSize);
            in.pos = 0;
            if (in.size == 0) return false;  // truncated
        } else if (out.pos == out.size) {
            return false;  // more content than the header announced
        }
    }
    if (out.pos != out.size) return false;
    const std::size_t unread = in.size - in.pos;
    return unread == 0 || file_->SEEK(-static_cast<std::int64_t>(unread), MFile::SEEK_FROM_CURRENT);
}

bool MStlCompressor::Charge(std::uint64_t count, std::uint64_t size) {
    if (!TakeReadBudget(*file_, count, size)) return false;
    readCost_ += count * size;
    return true;
}

std::uint64_t MStlCompressor::DecodeCost(std::uint64_t payloadBytes, std::uint64_t bodyBytes,
                                         std::uint64_t points, std::uint64_t triangles) {
    return std::min<std::uint64_t>(payloadBytes, kReadChunk) + bodyBytes +
           points * sizeof(MStlPoint) + triangles * kTriangleBytes;
}

bool MStlCompressor::Decode() {
    MStlBase& mesh = *data_;
    mesh.ClearStl(true);
    readCost_ = 0;
    unsigned char version = 0;
    if (file_->READ(&version, 1) != 1) return false;
    if (version == 2) {
        const bool ok = Decode2();
        if (!ok) mesh.ClearStl(true);
        return ok;
    }
    if (version != 1) return false;
    std::unique_ptr<unsigned char[]> body;
    std::size_t bodySize = 0;
    if (!ReadFrame(body, bodySize)) return false;

    // Body: flags, counts, vertex block size, then the vertex block, the index block and the
    // colour codes; the sizes must add up exactly.
    const unsigned char* p = body.get();
    const unsigned char* const end = p + bodySize;
    const std::uint8_t flags = *p++;
    std::uint32_t points32 = 0, triangles32 = 0, vertices32 = 0;
    if ((flags & ~kHasColors) != 0 || !GetVarint(p, end, points32) ||
        !GetVarint(p, end, triangles32) || !GetVarint(p, end, vertices32))
        return false;
    const std::uint64_t pointCount = points32, triangleCount = triangles32,
                        vertexBytes = vertices32;
    const std::uint64_t colorBytes = (flags & kHasColors) ? 2 * triangleCount : 0;
    const std::uint64_t left = static_cast<std::uint64_t>(end - p);
    if (vertexBytes + colorBytes > left) return false;
    const std::uint64_t indexBytes = left - vertexBytes - colorBytes;
    if (pointCount > kPointsPerByte * vertexBytes + 1024 ||
        triangleCount > kTrianglesPerByte * indexBytes)
        return false;
    // Before anything is allocated for them: the points and the triangles (with their colour
    // codes and the decoded indices).
    if (!Charge(pointCount, sizeof(MStlPoint)) || !Charge(triangleCount, kTriangleBytes))
        return false;
    const unsigned char* const vertices = p;
    const unsigned char* const indexBlock = vertices + vertexBytes;
    const unsigned char* const colorCodes = indexBlock + indexBytes;

    std::vector<MStlPoint> points(pointCount);
    if (meshopt_decodeVertexBuffer(points.data(), pointCount, sizeof(MStlPoint), vertices,
                                   vertexBytes) != 0)
        return false;
    std::vector<std::uint16_t> colors(colorBytes / 2);
    for (std::size_t t = 0; t < colors.size(); ++t)
        colors[t] = static_cast<std::uint16_t>(colorCodes[2 * t] | colorCodes[2 * t + 1] << 8);

    mesh.SetPoints(std::move(points));
    const auto decodeIndices = [&](std::uint32_t* indices) {
        return meshopt_decodeIndexBuffer(indices, 3 * triangleCount, sizeof(std::uint32_t),
                                         indexBlock, indexBytes) == 0;
    };
    if (!mesh.DecodeTriangles(triangleCount, decodeIndices, colors)) {
        mesh.ClearStl(true);
        return false;
    }
    // The box of all points, as the other mesh readers leave it.
    mesh.UpdateExtremes(true);
    return true;
}
