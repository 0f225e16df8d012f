#include "maker/MStlCompressor.h"

#include <meshoptimizer.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "maker/MFile.h"

namespace {

constexpr int kZstdLevel = 6;
constexpr std::uint8_t kHasColors = 1;
constexpr std::size_t kHeaderSize = 1 + 1 + 4 + 4 + 4;
// Upper bounds of points and triangles per byte of their encoded blocks: the codecs never
// store them more densely, so larger counts are corrupt and cannot make us allocate.
constexpr std::uint64_t kPointsPerByte = 64;
constexpr std::uint64_t kTrianglesPerByte = 16;

void PutU32(std::vector<unsigned char>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

std::uint32_t GetU32(const unsigned char* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

// Triangle order for the index codec, and where each triangle came from (for its colour).
std::vector<std::uint32_t> CacheOrder(const std::vector<std::uint32_t>& indices, std::size_t points,
                                      std::vector<std::uint32_t>* origin) {
    std::vector<std::uint32_t> ordered(indices.size());
    meshopt_optimizeVertexCache(ordered.data(), indices.data(), indices.size(), points);
    if (origin != nullptr) {
        // The optimiser only reorders whole triangles; find each one's source (duplicates are
        // matched in turn, so equal triangles keep their colours as a multiset).
        std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> where;
        auto key = [](const std::uint32_t* t) {
            return (std::uint64_t{t[0]} * 0x9E3779B97F4A7C15ull) ^
                   (std::uint64_t{t[1]} * 0xC2B2AE3D27D4EB4Full) ^
                   (std::uint64_t{t[2]} * 0x165667B19E3779F9ull);
        };
        const std::size_t count = indices.size() / 3;
        for (std::size_t t = count; t-- > 0;)
            where[key(&indices[3 * t])].push_back(static_cast<std::uint32_t>(t));
        origin->resize(count);
        for (std::size_t t = 0; t < count; ++t) {
            auto& candidates = where[key(&ordered[3 * t])];
            auto it = std::find_if(candidates.rbegin(), candidates.rend(), [&](std::uint32_t s) {
                return std::equal(&indices[3 * s], &indices[3 * s] + 3, &ordered[3 * t]);
            });
            (*origin)[t] = *it;
            candidates.erase(std::next(it).base());
        }
    }
    return ordered;
}

}  // namespace

bool MStlCompressor::Operate(std::shared_ptr<IProgressDelegate> progress) {
    if (data_ == nullptr || file_ == nullptr || !file_->IS_OPEN()) return false;
    const bool ok = file_->IsReading() ? Decode() : Encode();
    if (ok && progress) progress->Progress(1.0);
    return ok;
}

bool MStlCompressor::Encode() {
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
    std::vector<unsigned char> body;
    std::vector<unsigned char> block(
        meshopt_encodeVertexBufferBound(pointCount, sizeof(MStlPoint)));
    block.resize(meshopt_encodeVertexBuffer(block.data(), block.size(), points.data(), pointCount,
                                            sizeof(MStlPoint)));
    PutU32(body, static_cast<std::uint32_t>(block.size()));
    body.insert(body.end(), block.begin(), block.end());
    block.assign(meshopt_encodeIndexBufferBound(indices.size(), pointCount), 0);
    block.resize(
        meshopt_encodeIndexBuffer(block.data(), block.size(), indices.data(), indices.size()));
    PutU32(body, static_cast<std::uint32_t>(block.size()));
    body.insert(body.end(), block.begin(), block.end());
    if (colored) {
        for (std::size_t t = 0; t < triangleCount; ++t) {
            const std::uint16_t c = mesh.Triangles()[origin[t]].color;
            body.push_back(static_cast<unsigned char>(c));
            body.push_back(static_cast<unsigned char>(c >> 8));
        }
    }

    // One frame with its content size and a checksum, so that damage is never decoded as a mesh.
    std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> ctx(ZSTD_createCCtx(), &ZSTD_freeCCtx);
    if (!ctx ||
        ZSTD_isError(ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_compressionLevel, kZstdLevel)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(ctx.get(), ZSTD_c_checksumFlag, 1)))
        return false;
    std::vector<unsigned char> frame(ZSTD_compressBound(body.size()));
    const std::size_t packed =
        ZSTD_compress2(ctx.get(), frame.data(), frame.size(), body.data(), body.size());
    if (ZSTD_isError(packed) || packed > UINT32_MAX) return false;

    std::vector<unsigned char> header = {kFormatVersion,
                                         static_cast<unsigned char>(colored ? kHasColors : 0)};
    PutU32(header, static_cast<std::uint32_t>(pointCount));
    PutU32(header, static_cast<std::uint32_t>(triangleCount));
    PutU32(header, static_cast<std::uint32_t>(packed));
    return file_->WRITE(header.data(), header.size()) == header.size() &&
           file_->WRITE(frame.data(), packed) == packed;
}

bool MStlCompressor::Decode() {
    MStlBase& mesh = *data_;
    mesh.ClearStl(true);
    unsigned char header[kHeaderSize];
    if (file_->READ(header, kHeaderSize) != kHeaderSize) return false;
    const std::uint8_t flags = header[1];
    const std::uint64_t pointCount = GetU32(header + 2);
    const std::uint64_t triangleCount = GetU32(header + 6);
    const std::uint32_t packed = GetU32(header + 10);
    if (header[0] != kFormatVersion || (flags & ~kHasColors) != 0) return false;
    if (static_cast<std::int64_t>(packed) > file_->REMAINING()) return false;

    std::vector<unsigned char> frame(packed);
    if (file_->READ(frame.data(), packed) != packed) return false;
    const unsigned long long size = ZSTD_getFrameContentSize(frame.data(), frame.size());
    if (size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR || size < 8 ||
        size > kExpansionFloor + kMaxExpansion * packed ||
        ZSTD_findFrameCompressedSize(frame.data(), frame.size()) != frame.size())
        return false;
    std::vector<unsigned char> body(size);
    if (ZSTD_decompress(body.data(), body.size(), frame.data(), frame.size()) != size) return false;

    // Body: vertex block, index block, colour codes; sizes must add up exactly.
    const std::uint64_t vertexBytes = GetU32(body.data());
    if (vertexBytes > size - 8) return false;
    const unsigned char* vertices = body.data() + 4;
    const std::uint64_t indexBytes = GetU32(vertices + vertexBytes);
    const unsigned char* indexBlock = vertices + vertexBytes + 4;
    const std::uint64_t colorBytes = (flags & kHasColors) ? 2 * triangleCount : 0;
    if (8 + vertexBytes + indexBytes + colorBytes != size) return false;
    if (pointCount > kPointsPerByte * vertexBytes + 1024 ||
        triangleCount > kTrianglesPerByte * indexBytes + 16)
        return false;

    std::vector<MStlPoint> points(pointCount);
    if (meshopt_decodeVertexBuffer(points.data(), pointCount, sizeof(MStlPoint), vertices,
                                   vertexBytes) != 0)
        return false;
    std::vector<std::uint32_t> indices(3 * triangleCount);
    if (meshopt_decodeIndexBuffer(indices.data(), indices.size(), sizeof(std::uint32_t), indexBlock,
                                  indexBytes) != 0)
        return false;
    std::vector<std::uint16_t> colors(colorBytes / 2);
    const unsigned char* c = indexBlock + indexBytes;
    for (std::size_t t = 0; t < colors.size(); ++t)
        colors[t] = static_cast<std::uint16_t>(c[2 * t] | c[2 * t + 1] << 8);

    mesh.SetPoints(std::move(points));
    if (!mesh.SetTriangles(indices, colors)) {
        mesh.ClearStl(true);
        return false;
    }
    return true;
}
