// Mesh codecs on the same integer meshes, in one run:
//
//  - stl:            binary STL (50 bytes a triangle); decode parses the triangles into floats;
//  - meshopt_zstd:   meshoptimizer cache and fetch order, vertex and index codecs on 12-byte
//                    int32 points, one zstd frame (level 6) over both blocks;
//  - draco:          float positions with explicit quantisation whose step is exactly one grid
//                    unit (lossless while coordinates stay below 2^24); edgebreaker, speed 3;
//  - draco_int32:    int32 positions, which Draco never quantises; edgebreaker, speed 3;
//  - MStlCompressor: the library's codec, from and into MStlBase through an MFileMemory;
//  - MStlCompressor_colors: the same with a colour code on every triangle, so that the encoder
//                    also tracks where each reordered triangle came from (generated meshes only);
//  - MStlCompressor2(_colors): the same codec writing its format 2 (the rows without the 2
//                    write format 1);
//  - MStlCompressorAuto: what files get, format 2 or format 1 per mesh (MStlCompressor.h);
//  - entropy_rans, entropy_zstd19_split, entropy_zstd19_varint: the entropy stage alone on the
//                    point residuals format 2 codes, rANS against zstd (EntropyStage.h);
//  - KVXOperators:   the export and import operators end to end on the first mesh (see
//                    RegisterOperators), with the import's peak memory.
//
// Meshes: a generated bumpy torus of 1,000,000 triangles about 100,000 units across, and, when
// built with assimp, a few of Debian's assimp test models (KVX_ASSIMP_MODELS overrides their
// folder), each scaled so that its longest bounding-box side spans 100,000 units and welded on
// the grid. Triangles that weld to a degenerate index triple are dropped for every codec.
//
// Counters: items_per_second = triangles per second; bytes_per_triangle = encoded size over
// triangles; lossless (decode) = 1 when the decoded triangles equal the input as a multiset of
// coordinate triples (each rotated to start at its smallest point, so orientation counts).
// The MStlBase rows fill the mesh class from an already decoded indexed mesh: fill_bulk through
// SetPoints + SetTriangles, fill_add through AddPoint, AddTriangle and CalculateNormal.
//
// Meshes that are hard to order, for the stl and MStlCompressor codecs only (the meshopt_zstd
// reference orders triangles with meshoptimizer's vertex cache optimiser, whose work grows with
// the square of a point's triangle count, and Draco's edgebreaker is not made for them): fans
// whose triangles all share one point (160,000 and 1,200,000 triangles), 1,316 fans of 760
// triangles (the most costly mesh MStlCompressor still gives to that optimiser), and 1,000
// distinct triangles repeated 1,000 times.
#include "EntropyStage.h"

#include <benchmark/benchmark.h>
#include <meshoptimizer.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <numbers>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "maker/MFile.h"
#include "maker/MStlBase.h"
#include "maker/MStlCompressor.h"
#include "maker/MeshCodec2.h"
#include "operators/MStlOperatorKVX.h"

#ifdef KVX_HAVE_DRACO
#include <draco/compression/decode.h>
#include <draco/compression/encode.h>
#include <draco/mesh/mesh.h>
#endif

#ifdef KVX_HAVE_ASSIMP
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <assimp/Importer.hpp>

#include <unordered_map>
#endif

namespace {

using Bytes = std::vector<unsigned char>;
using Triangle = std::array<MStlPoint, 3>;

constexpr double kGridExtent = 100000.0;

// An indexed mesh on the integer grid, as a host holds it before handing it to a codec.
struct Mesh {
    std::string name;
    std::vector<MStlPoint> points;
    std::vector<std::uint32_t> indices;
    std::size_t Triangles() const { return indices.size() / 3; }
};

// Triangles as a sorted multiset, each rotated to start at its smallest point.
std::vector<Triangle> Canonical(std::vector<Triangle> triangles) {
    for (Triangle& t : triangles)
        std::rotate(t.begin(), std::min_element(t.begin(), t.end()), t.end());
    std::sort(triangles.begin(), triangles.end());
    return triangles;
}

std::vector<Triangle> TrianglesOf(const std::vector<MStlPoint>& points,
                                  const std::vector<std::uint32_t>& indices) {
    std::vector<Triangle> out(indices.size() / 3);
    for (std::size_t t = 0; t < out.size(); ++t)
        for (int c = 0; c < 3; ++c)
            out[t][c] = points[indices[3 * t + c]];
    return out;
}

// A float that holds an integer exactly, or nothing.
std::optional<std::int32_t> Exact(float v) {
    if (!(std::fabs(v) < 2147483520.0f) || std::nearbyint(v) != v) return std::nullopt;
    return static_cast<std::int32_t>(v);
}

void PutU32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint32_t GetU32(const unsigned char* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

// ---- meshes ----

// A torus (tube around the z axis) with a smooth bump field on the tube radius: 2 * nu * nv
// triangles, no seams (indices wrap around in both directions).
Mesh Torus(std::string name, int nu, int nv) {
    Mesh m;
    m.name = std::move(name);
    constexpr double kR = 35000.0, kTube = 14000.0;
    m.points.reserve(static_cast<std::size_t>(nu) * nv);
    for (int i = 0; i < nu; ++i)
        for (int j = 0; j < nv; ++j) {
            const double u = 2 * std::numbers::pi * i / nu, v = 2 * std::numbers::pi * j / nv;
            const double r = kTube * (1 + 0.06 * std::sin(9 * u) * std::cos(5 * v) +
                                      0.03 * std::sin(23 * u + 3 * v) + 0.01 * std::cos(41 * v));
            const double ring = kR + r * std::cos(v);
            m.points.push_back({static_cast<std::int32_t>(std::lround(ring * std::cos(u))),
                                static_cast<std::int32_t>(std::lround(ring * std::sin(u))),
                                static_cast<std::int32_t>(std::lround(r * std::sin(v)))});
        }
    m.indices.reserve(6 * m.points.size());
    for (int i = 0; i < nu; ++i)
        for (int j = 0; j < nv; ++j) {
            auto at = [&](int a, int b) {
                return static_cast<std::uint32_t>((a % nu) * nv + b % nv);
            };
            const std::uint32_t a = at(i, j), b = at(i + 1, j), c = at(i, j + 1),
                                d = at(i + 1, j + 1);
            m.indices.insert(m.indices.end(), {a, b, d, a, d, c});
        }
    return m;
}

// `count` discs of `n` triangles each that all share the disc's centre: a point in `n`
// triangles, the worst case for a vertex cache optimiser that rescores a point's triangles each
// time it emits one of them.
Mesh Fans(std::string name, int count, int n) {
    Mesh m;
    m.name = std::move(name);
    // On a circle this large the rim points stay distinct on the grid.
    const double radius = std::max(1000.0, n / 2.0);
    for (int f = 0; f < count; ++f) {
        const auto centre = static_cast<std::uint32_t>(m.points.size());
        const std::int32_t x = f % 64 * 3000, y = f / 64 * 3000;
        m.points.push_back({x, y, 0});
        for (int i = 0; i < n; ++i) {
            const double a = 2 * std::numbers::pi * i / n;
            m.points.push_back({x + static_cast<std::int32_t>(std::lround(radius * std::cos(a))),
                                y + static_cast<std::int32_t>(std::lround(radius * std::sin(a))),
                                static_cast<std::int32_t>(i % 64)});
        }
        for (int i = 0; i < n; ++i)
            m.indices.insert(m.indices.end(),
                             {centre, centre + 1 + static_cast<std::uint32_t>(i),
                              centre + 1 + static_cast<std::uint32_t>((i + 1) % n)});
    }
    return m;
}

// `distinct` triangles of a small grid, each repeated `copies` times, the copies interleaved.
Mesh Repeated(std::string name, int distinct, int copies) {
    Mesh m = Torus(std::move(name), 10, distinct / 20);
    m.indices.resize(3 * static_cast<std::size_t>(distinct));
    std::vector<std::uint32_t> all;
    all.reserve(m.indices.size() * copies);
    for (int c = 0; c < copies; ++c)
        all.insert(all.end(), m.indices.begin(), m.indices.end());
    m.indices = std::move(all);
    return m;
}

#ifdef KVX_HAVE_ASSIMP
struct PointHash {
    std::size_t operator()(const MStlPoint& p) const {
        return (std::uint64_t(std::uint32_t(p.x)) * 0x9E3779B97F4A7C15ull) ^
               (std::uint64_t(std::uint32_t(p.y)) * 0xC2B2AE3D27D4EB4Full) ^
               (std::uint64_t(std::uint32_t(p.z)) * 0x165667B19E3779F9ull);
    }
};

// All triangles of a model in world coordinates, scaled to the grid and welded; nothing when
// assimp cannot read the file or it holds no triangles.
std::optional<Mesh> LoadModel(const std::string& path) {
    Assimp::Importer importer;
    const aiScene* scene =
        importer.ReadFile(path, aiProcess_Triangulate | aiProcess_PreTransformVertices);
    if (scene == nullptr) {
        std::fprintf(stderr, "skipped %s: %s\n", path.c_str(), importer.GetErrorString());
        return std::nullopt;
    }
    std::vector<std::array<aiVector3D, 3>> corners;
    for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
        const aiMesh& mesh = *scene->mMeshes[m];
        for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
            const aiFace& face = mesh.mFaces[f];
            if (face.mNumIndices != 3) continue;
            corners.push_back({mesh.mVertices[face.mIndices[0]], mesh.mVertices[face.mIndices[1]],
                               mesh.mVertices[face.mIndices[2]]});
        }
    }
    aiVector3D lo(INFINITY, INFINITY, INFINITY), hi(-INFINITY, -INFINITY, -INFINITY);
    for (const auto& t : corners)
        for (const aiVector3D& v : t)
            for (unsigned c = 0; c < 3; ++c)
                lo[c] = std::min(lo[c], v[c]), hi[c] = std::max(hi[c], v[c]);
    const double side = std::max({hi.x - lo.x, hi.y - lo.y, hi.z - lo.z});
    if (corners.empty() || !(side > 0)) {
        std::fprintf(stderr, "skipped %s: no triangles\n", path.c_str());
        return std::nullopt;
    }

    const double scale = kGridExtent / side;
    Mesh out;
    out.name = path.substr(path.find_last_of('/') + 1);
    std::unordered_map<MStlPoint, std::uint32_t, PointHash> handle;
    std::size_t dropped = 0;
    for (const auto& t : corners) {
        MStlPoint p[3];
        for (int c = 0; c < 3; ++c)
            p[c] = {static_cast<std::int32_t>(std::lround(t[c].x * scale)),
                    static_cast<std::int32_t>(std::lround(t[c].y * scale)),
                    static_cast<std::int32_t>(std::lround(t[c].z * scale))};
        if (p[0] == p[1] || p[1] == p[2] || p[2] == p[0]) {
            ++dropped;
            continue;
        }
        for (const MStlPoint& q : p) {
            auto [it, added] = handle.try_emplace(q, static_cast<std::uint32_t>(out.points.size()));
            if (added) out.points.push_back(q);
            out.indices.push_back(it->second);
        }
    }
    std::fprintf(stderr, "%s: %zu triangles, %zu points, scale %.6g units per model unit%s\n",
                 out.name.c_str(), out.Triangles(), out.points.size(), scale,
                 dropped ? (", " + std::to_string(dropped) + " degenerate dropped").c_str() : "");
    return out;
}
#endif

// ---- codecs: Encode(mesh) -> bytes, Decode(bytes, out) -> ok, Triangles(out) ----

struct Stl {
    static constexpr const char* kName = "stl";
    using Decoded = std::vector<float>;  // nine coordinates per triangle

    static Bytes Encode(const Mesh& m) {
        const std::size_t count = m.Triangles();
        Bytes out(84 + 50 * count);
        PutU32(out.data() + 80, static_cast<std::uint32_t>(count));
        unsigned char* record = out.data() + 84;
        for (std::size_t t = 0; t < count; ++t, record += 50) {
            const MStlPoint& a = m.points[m.indices[3 * t]];
            const MStlPoint& b = m.points[m.indices[3 * t + 1]];
            const MStlPoint& c = m.points[m.indices[3 * t + 2]];
            const double u[3] = {double(b.x) - a.x, double(b.y) - a.y, double(b.z) - a.z};
            const double v[3] = {double(c.x) - a.x, double(c.y) - a.y, double(c.z) - a.z};
            const double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                                 u[0] * v[1] - u[1] * v[0]};
            const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
            float f[12];
            for (int i = 0; i < 3; ++i)
                f[i] = length > 0 ? static_cast<float>(n[i] / length) : 0.0f;
            const MStlPoint* corner[3] = {&a, &b, &c};
            for (int k = 0; k < 3; ++k) {
                f[3 + 3 * k] = static_cast<float>(corner[k]->x);
                f[4 + 3 * k] = static_cast<float>(corner[k]->y);
                f[5 + 3 * k] = static_cast<float>(corner[k]->z);
            }
            std::memcpy(record, f, sizeof f);  // little-endian host
            record[48] = record[49] = 0;
        }
        return out;
    }

    static bool Decode(const Bytes& in, Decoded& out) {
        if (in.size() < 84) return false;
        const std::size_t count = GetU32(in.data() + 80);
        if (in.size() != 84 + 50 * count) return false;
        out.resize(9 * count);
        const unsigned char* record = in.data() + 84 + 12;
        for (std::size_t t = 0; t < count; ++t, record += 50)
            std::memcpy(&out[9 * t], record, 36);
        return true;
    }

    static std::optional<std::vector<Triangle>> Triangles(const Decoded& d) {
        std::vector<Triangle> out(d.size() / 9);
        for (std::size_t t = 0; t < out.size(); ++t)
            for (int c = 0; c < 3; ++c) {
                const auto x = Exact(d[9 * t + 3 * c]), y = Exact(d[9 * t + 3 * c + 1]),
                           z = Exact(d[9 * t + 3 * c + 2]);
                if (!x || !y || !z) return std::nullopt;
                out[t][c] = {*x, *y, *z};
            }
        return out;
    }
};

struct MeshoptZstd {
    static constexpr const char* kName = "meshopt_zstd";
    static constexpr int kLevel = 6;
    struct Decoded {
        std::vector<MStlPoint> points;
        std::vector<std::uint32_t> indices;
    };

    // Body: point count, index count, vertex block size, vertex block, index block.
    static Bytes Encode(const Mesh& m) {
        const std::size_t pointCount = m.points.size();
        std::vector<std::uint32_t> indices(m.indices.size());
        meshopt_optimizeVertexCache(indices.data(), m.indices.data(), indices.size(), pointCount);
        std::vector<MStlPoint> points(pointCount);
        points.resize(meshopt_optimizeVertexFetch(points.data(), indices.data(), indices.size(),
                                                  m.points.data(), pointCount, sizeof(MStlPoint)));

        meshopt_encodeVertexVersion(0);  // the versions MStlCompressor writes
        meshopt_encodeIndexVersion(1);
        Bytes body(12 + meshopt_encodeVertexBufferBound(points.size(), sizeof(MStlPoint)) +
                   meshopt_encodeIndexBufferBound(indices.size(), points.size()));
        const std::size_t vertexBytes = meshopt_encodeVertexBuffer(
            body.data() + 12, body.size() - 12, points.data(), points.size(), sizeof(MStlPoint));
        const std::size_t indexBytes = meshopt_encodeIndexBuffer(body.data() + 12 + vertexBytes,
                                                                 body.size() - 12 - vertexBytes,
                                                                 indices.data(), indices.size());
        PutU32(body.data(), static_cast<std::uint32_t>(points.size()));
        PutU32(body.data() + 4, static_cast<std::uint32_t>(indices.size()));
        PutU32(body.data() + 8, static_cast<std::uint32_t>(vertexBytes));
        body.resize(12 + vertexBytes + indexBytes);

        Bytes out(ZSTD_compressBound(body.size()));
        const std::size_t packed =
            ZSTD_compress(out.data(), out.size(), body.data(), body.size(), kLevel);
        out.resize(ZSTD_isError(packed) ? 0 : packed);
        return out;
    }

    static bool Decode(const Bytes& in, Decoded& out) {
        const unsigned long long size = ZSTD_getFrameContentSize(in.data(), in.size());
        if (size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR || size < 12)
            return false;
        Bytes body(size);
        if (ZSTD_decompress(body.data(), body.size(), in.data(), in.size()) != size) return false;
        const std::size_t pointCount = GetU32(body.data()), indexCount = GetU32(body.data() + 4),
                          vertexBytes = GetU32(body.data() + 8);
        if (vertexBytes > size - 12) return false;
        out.points.resize(pointCount);
        out.indices.resize(indexCount);
        return meshopt_decodeVertexBuffer(out.points.data(), pointCount, sizeof(MStlPoint),
                                          body.data() + 12, vertexBytes) == 0 &&
               meshopt_decodeIndexBuffer(out.indices.data(), indexCount, sizeof(std::uint32_t),
                                         body.data() + 12 + vertexBytes,
                                         size - 12 - vertexBytes) == 0;
    }

    static std::optional<std::vector<Triangle>> Triangles(const Decoded& d) {
        if (std::any_of(d.indices.begin(), d.indices.end(),
                        [&](std::uint32_t i) { return i >= d.points.size(); }))
            return std::nullopt;
        return TrianglesOf(d.points, d.indices);
    }
};

#ifdef KVX_HAVE_DRACO
template <bool kInt32>
struct Draco {
    static constexpr const char* kName = kInt32 ? "draco_int32" : "draco";
    static constexpr int kSpeed = 3;  // the draco_encoder tool's default (compression level 7)
    using Decoded = std::unique_ptr<draco::Mesh>;

    static Bytes Encode(const Mesh& m) {
        draco::Mesh mesh;
        const std::size_t pointCount = m.points.size();
        mesh.set_num_points(static_cast<std::uint32_t>(pointCount));
        draco::GeometryAttribute position;
        position.Init(draco::GeometryAttribute::POSITION, nullptr, 3,
                      kInt32 ? draco::DT_INT32 : draco::DT_FLOAT32, false, 12, 0);
        draco::PointAttribute* attribute = mesh.attribute(
            mesh.AddAttribute(position, true, static_cast<std::uint32_t>(pointCount)));
        draco::Encoder encoder;
        encoder.SetSpeedOptions(kSpeed, kSpeed);
        if constexpr (kInt32) {
            attribute->buffer()->Write(0, m.points.data(), pointCount * sizeof(MStlPoint));
        } else {
            // Quantisation with range 2^bits - 1 over 2^bits - 1 steps: a step of exactly one
            // unit from the smallest coordinate, so integer coordinates come back exactly.
            MStlPoint lo{INT32_MAX, INT32_MAX, INT32_MAX}, hi{INT32_MIN, INT32_MIN, INT32_MIN};
            for (const MStlPoint& p : m.points) {
                lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
                hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
            }
            const std::int64_t side = std::max(
                {std::int64_t{hi.x} - lo.x, std::int64_t{hi.y} - lo.y, std::int64_t{hi.z} - lo.z});
            int bits = 1;
            while ((std::int64_t{1} << bits) - 1 < side)
                ++bits;
            const float origin[3] = {float(lo.x), float(lo.y), float(lo.z)};
            encoder.SetAttributeExplicitQuantization(draco::GeometryAttribute::POSITION, bits, 3,
                                                     origin, float((1 << bits) - 1));
            for (std::size_t i = 0; i < pointCount; ++i) {
                const float v[3] = {float(m.points[i].x), float(m.points[i].y),
                                    float(m.points[i].z)};
                attribute->SetAttributeValue(draco::AttributeValueIndex(std::uint32_t(i)), v);
            }
        }
        mesh.SetNumFaces(m.Triangles());
        for (std::size_t t = 0; t < m.Triangles(); ++t)
            mesh.SetFace(
                draco::FaceIndex(std::uint32_t(t)),
                {draco::PointIndex(m.indices[3 * t]), draco::PointIndex(m.indices[3 * t + 1]),
                 draco::PointIndex(m.indices[3 * t + 2])});

        draco::EncoderBuffer buffer;
        if (!encoder.EncodeMeshToBuffer(mesh, &buffer).ok()) return {};
        return Bytes(buffer.data(), buffer.data() + buffer.size());
    }

    static bool Decode(const Bytes& in, Decoded& out) {
        draco::DecoderBuffer buffer;
        buffer.Init(reinterpret_cast<const char*>(in.data()), in.size());
        draco::Decoder decoder;
        auto mesh = decoder.DecodeMeshFromBuffer(&buffer);
        if (!mesh.ok()) return false;
        out = std::move(mesh).value();
        return true;
    }

    static std::optional<std::vector<Triangle>> Triangles(const Decoded& d) {
        const draco::PointAttribute* attribute =
            d->GetNamedAttribute(draco::GeometryAttribute::POSITION);
        if (attribute == nullptr || attribute->num_components() != 3) return std::nullopt;
        std::vector<Triangle> out(d->num_faces());
        for (draco::FaceIndex f(0); f < d->num_faces(); ++f)
            for (int c = 0; c < 3; ++c) {
                const draco::AttributeValueIndex value = attribute->mapped_index(d->face(f)[c]);
                if (attribute->data_type() == draco::DT_INT32) {
                    std::int32_t v[3];
                    attribute->GetValue(value, v);
                    out[f.value()][c] = {v[0], v[1], v[2]};
                } else {
                    float v[3];
                    if (!attribute->ConvertValue<float, 3>(value, v)) return std::nullopt;
                    const auto x = Exact(v[0]), y = Exact(v[1]), z = Exact(v[2]);
                    if (!x || !y || !z) return std::nullopt;
                    out[f.value()][c] = {*x, *y, *z};
                }
            }
        return out;
    }
};
#endif

template <bool kColors, std::uint8_t kVersion = 1>
struct Kvx {
    // Version 0: what writers produce by default (format 1 or 2, per mesh).
    static constexpr const char* kName =
        kVersion == 0   ? (kColors ? "MStlCompressorAuto_colors" : "MStlCompressorAuto")
        : kVersion == 1 ? (kColors ? "MStlCompressor_colors" : "MStlCompressor")
                        : (kColors ? "MStlCompressor2_colors" : "MStlCompressor2");
    using Decoded = MStlBase;

    // The host's mesh is already an MStlBase; filling it is timed on its own (fill rows).
    static MStlBase& Host(const Mesh& m) {
        static std::deque<std::pair<const Mesh*, MStlBase>> hosts;
        for (auto& [source, host] : hosts)
            if (source == &m) return host;
        MStlBase& host = hosts.emplace_back(&m, MStlBase()).second;
        host.SetPoints(m.points);
        std::vector<std::uint16_t> colors;
        if (kColors)
            for (std::size_t t = 0; t < m.Triangles(); ++t)
                colors.push_back(static_cast<std::uint16_t>(0x8000 | (t * 7919 & 0x7FFF)));
        host.SetTriangles(m.indices, colors);
        return host;
    }

    static Bytes Encode(const Mesh& m) {
        MStlBase& host = Host(m);
        MFileMemory file;
        file.OPEN_WRITE(0, nullptr);
        MStlCompressor compressor;
        compressor.SetFormatVersion(kVersion);
        compressor.SetDataPointer(&host);
        compressor.SetFile(&file);
        if (!compressor.Operate(nullptr)) return {};
        return Bytes(file.GET_BUFFER(), file.GET_BUFFER() + file.SIZE());
    }

    static bool Decode(const Bytes& in, Decoded& out) {
        MFileMemory file;
        file.OPEN_READ(in.data(), in.size());
        MStlCompressor compressor;
        compressor.SetDataPointer(&out);
        compressor.SetFile(&file);
        return compressor.Operate(nullptr);
    }

    static std::optional<std::vector<Triangle>> Triangles(const Decoded& d) {
        std::vector<Triangle> out;
        out.reserve(d.NumberOfTriangles());
        for (const MStlTriangle& t : d.Triangles())
            out.push_back(
                {d.GetPoint(t.points[0]), d.GetPoint(t.points[1]), d.GetPoint(t.points[2])});
        return out;
    }
};

// ---- benchmarks ----

// One codec on one mesh; the encoded bytes and the round-trip check are made once.
template <class Codec>
struct Case {
    const Mesh* mesh;
    std::optional<Bytes> encoded;
    std::optional<bool> lossless;

    const Bytes& Encoded() {
        if (!encoded) encoded = Codec::Encode(*mesh);
        return *encoded;
    }
    bool Lossless() {
        if (!lossless) {
            typename Codec::Decoded decoded{};
            std::optional<std::vector<Triangle>> triangles;
            if (Codec::Decode(Encoded(), decoded)) triangles = Codec::Triangles(decoded);
            lossless = triangles && Canonical(std::move(*triangles)) ==
                                        Canonical(TrianglesOf(mesh->points, mesh->indices));
            if (!*lossless)
                std::fprintf(stderr, "%s on %s: decoded triangles differ from the input\n",
                             Codec::kName, mesh->name.c_str());
        }
        return *lossless;
    }
};

void Report(benchmark::State& state, const Mesh& mesh, std::size_t bytes) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * mesh.Triangles()));
    if (bytes > 0)
        state.counters["bytes_per_triangle"] =
            static_cast<double>(bytes) / static_cast<double>(mesh.Triangles());
}

benchmark::TimeUnit UnitFor(const Mesh& mesh) {
    return mesh.Triangles() >= 100000 ? benchmark::kMillisecond : benchmark::kMicrosecond;
}

template <class Codec>
void RegisterCodec(const Mesh& mesh) {
    static std::deque<Case<Codec>> cases;
    Case<Codec>* c = &cases.emplace_back(Case<Codec>{&mesh, {}, {}});
    const std::string prefix = mesh.name + "/" + Codec::kName + "/";
    benchmark::RegisterBenchmark((prefix + "encode").c_str(), [c](benchmark::State& state) {
        c->Encoded();  // one untimed run: warm-up, and MStlCompressor's host mesh is filled
        std::size_t size = 0;
        for (auto _ : state) {
            const Bytes bytes = Codec::Encode(*c->mesh);
            size = bytes.size();
            benchmark::DoNotOptimize(bytes.data());
        }
        if (size == 0) state.SkipWithError("encoding failed");
        Report(state, *c->mesh, size);
    })->Unit(UnitFor(mesh));
    benchmark::RegisterBenchmark((prefix + "decode").c_str(), [c](benchmark::State& state) {
        const Bytes& bytes = c->Encoded();
        const bool lossless = c->Lossless();
        for (auto _ : state) {
            typename Codec::Decoded decoded{};
            if (!Codec::Decode(bytes, decoded)) {
                state.SkipWithError("decoding failed");
                break;
            }
            benchmark::DoNotOptimize(decoded);
        }
        Report(state, *c->mesh, bytes.size());
        state.counters["lossless"] = lossless ? 1 : 0;
    })->Unit(UnitFor(mesh));
}

// Filling MStlBase from an indexed mesh the host has already decoded: the bulk API (points are
// copied, as a host keeping its own arrays must), and point-by-point as a reference.
void RegisterFill(const Mesh& mesh) {
    const Mesh* m = &mesh;
    benchmark::RegisterBenchmark((mesh.name + "/MStlBase/fill_bulk").c_str(),
                                 [m](benchmark::State& state) {
                                     for (auto _ : state) {
                                         MStlBase host;
                                         host.SetPoints(m->points);
                                         if (!host.SetTriangles(m->indices)) {
                                             state.SkipWithError("SetTriangles refused the mesh");
                                             break;
                                         }
                                         benchmark::DoNotOptimize(host);
                                     }
                                     Report(state, *m, 0);
                                 })
        ->Unit(UnitFor(mesh));
    benchmark::RegisterBenchmark((mesh.name + "/MStlBase/fill_add").c_str(), [m](benchmark::State&
                                                                                     state) {
        for (auto _ : state) {
            MStlBase host;
            host.Reserve(m->points.size(), m->Triangles());
            for (const MStlPoint& p : m->points)
                host.AddPoint(p.x, p.y, p.z);
            for (std::size_t t = 0; t < m->Triangles(); ++t)
                host.AddTriangle(m->indices[3 * t], m->indices[3 * t + 1], m->indices[3 * t + 2])
                    ->CalculateNormal(host);
            benchmark::DoNotOptimize(host);
        }
        Report(state, *m, 0);
    })->Unit(UnitFor(mesh));
}

// A private folder for the operator rows' files, removed at exit.
class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/kvx-bench-XXXXXX";
        if (mkdtemp(pattern) != nullptr) path_ = pattern;
    }
    ~TempFolder() {
        if (path_.empty()) return;
        std::remove((path_ + "/mesh.kvx").c_str());
        rmdir(path_.c_str());
    }
    std::string File() const { return path_.empty() ? std::string() : path_ + "/mesh.kvx"; }

private:
    std::string path_;
};

// The peak resident set since the last reset, in bytes (Linux); 0 when unknown.
std::uint64_t PeakResident(bool reset) {
    if (reset) {
        if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
            std::fputs("5", f);
            std::fclose(f);
        }
        return 0;
    }
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return 0;
    char line[256];
    std::uint64_t kib = 0;
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::sscanf(line, "VmHWM: %lu kB", &kib) == 1) break;
    std::fclose(f);
    return kib * 1024;
}

// The operators end to end on one mesh, with the format 2 payload (no colours):
//  - KVXExport: AddStl and Operate, writing the file (zstd container, default level);
//  - KVXImport: Operate and GetNextOutputStl into a fresh MStlBase (normals included);
//    its peak_ratio counter is the import's peak resident growth over the file's size plus twice
//    the mesh in memory (12 bytes a point, sizeof(MStlTriangle) a triangle).
void RegisterOperators(const Mesh& mesh) {
    static TempFolder folder;
    const Mesh* m = &mesh;
    const std::wstring file = [] {
        const std::string path = folder.File();
        return std::wstring(path.begin(), path.end());
    }();
    benchmark::RegisterBenchmark((mesh.name + "/KVXOperators/export").c_str(),
                                 [m, file](benchmark::State& state) {
                                     MStlBase& host = Kvx<false, 2>::Host(*m);
                                     for (auto _ : state) {
                                         MStlOperatorKVXExport exporter;
                                         exporter.SetFileName(file);
                                         exporter.AddStl(&host, L"mesh");
                                         if (!exporter.Operate()) {
                                             state.SkipWithError("the export failed");
                                             break;
                                         }
                                     }
                                     Report(state, *m, 0);
                                 })
        ->Unit(UnitFor(mesh));
    benchmark::RegisterBenchmark(
        (mesh.name + "/KVXOperators/import").c_str(),
        [m, file](benchmark::State& state) {
            std::uint64_t growth = 0;
            std::size_t fileBytes = 0;
            if (std::FILE* f = std::fopen(std::string(file.begin(), file.end()).c_str(), "rb")) {
                std::fseek(f, 0, SEEK_END);
                fileBytes = static_cast<std::size_t>(std::ftell(f));
                std::fclose(f);
            }
            for (auto _ : state) {
                state.PauseTiming();
                const std::uint64_t before = (PeakResident(true), PeakResident(false));
                state.ResumeTiming();
                MStlOperatorKVXImport importer;
                importer.SetFileName(file);
                MStlBase out;
                if (!importer.Operate() || !importer.GetNextOutputStl(&out) ||
                    out.NumberOfTriangles() != m->Triangles()) {
                    state.SkipWithError("the import failed (run the export row first)");
                    break;
                }
                state.PauseTiming();
                growth = std::max(growth, PeakResident(false) - before);
                state.ResumeTiming();
            }
            Report(state, *m, fileBytes);
            const double inMemory =
                12.0 * static_cast<double>(m->points.size()) +
                static_cast<double>(sizeof(MStlTriangle)) * static_cast<double>(m->Triangles());
            state.counters["peak_ratio"] =
                static_cast<double>(growth) / (static_cast<double>(fileBytes) + 2 * inMemory);
        })
        ->Unit(UnitFor(mesh));
}

// The entropy stage alone (EntropyStage.h): the same point residuals through rANS and zstd.
const kvxbench::Residuals& ResidualsOf(const Mesh& mesh) {
    static std::deque<std::pair<const Mesh*, kvxbench::Residuals>> cache;
    for (const auto& [m, r] : cache)
        if (m == &mesh) return r;
    std::vector<std::uint8_t> body;
    kvxbench::Residuals residuals;
    KvxInternal::codec2::Encode(Kvx<false>::Host(mesh), body, &residuals);
    return cache.emplace_back(&mesh, std::move(residuals)).second;
}

template <class Coder>
void RegisterEntropy(const Mesh& mesh) {
    const Mesh* m = &mesh;
    const std::string prefix = mesh.name + "/entropy_" + Coder::kName + "/";
    benchmark::RegisterBenchmark((prefix + "encode").c_str(), [m](benchmark::State& state) {
        const kvxbench::Residuals& residuals = ResidualsOf(*m);
        std::size_t size = 0;
        for (auto _ : state) {
            const kvxbench::Bytes bytes = Coder::Encode(residuals);
            size = bytes.size();
            benchmark::DoNotOptimize(bytes.data());
        }
        Report(state, *m, size);
    })->Unit(UnitFor(mesh));
    benchmark::RegisterBenchmark((prefix + "decode").c_str(), [m](benchmark::State& state) {
        const kvxbench::Residuals& residuals = ResidualsOf(*m);
        const kvxbench::Bytes bytes = Coder::Encode(residuals);
        for (auto _ : state)
            if (!Coder::Decode(bytes, residuals)) {
                state.SkipWithError("the residuals did not come back");
                break;
            }
        Report(state, *m, bytes.size());
    })->Unit(UnitFor(mesh));
}

// Meshes that only the codecs meant for any mesh run (see the top).
std::deque<Mesh> SpecialMeshes() {
    std::deque<Mesh> meshes;
    meshes.push_back(Fans("fan_160k", 1, 160000));
    meshes.push_back(Fans("fan_1.2M", 1, 1200000));
    meshes.push_back(Fans("fans_760x1316", 1316, 760));
    meshes.push_back(Repeated("repeated_1M", 1000, 1000));
    return meshes;
}

std::deque<Mesh> Meshes() {
    std::deque<Mesh> meshes;
    meshes.push_back(Torus("torus_1M", 1000, 500));
#ifdef KVX_HAVE_ASSIMP
    const char* env = std::getenv("KVX_ASSIMP_MODELS");
    const std::string root = env != nullptr ? env : "/usr/share/assimp/models";
    // The larger distinct STL (binary and ASCII), PLY and OBJ meshes, and two larger CAD
    // models in other formats.
    for (const char* file :
         {"STL/3DSMaxExport.STL", "STL/Spider_ascii.stl", "STL/sphereWithHole.stl", "PLY/Wuson.ply",
          "OBJ/regr01.obj", "glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb",
          "IFC/AC14-FZK-Haus.ifc"})
        if (auto mesh = LoadModel(root + "/" + file)) meshes.push_back(std::move(*mesh));
#endif
    return meshes;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    static const std::deque<Mesh> meshes = Meshes();
    for (const Mesh& mesh : meshes) {
        RegisterCodec<Stl>(mesh);
        RegisterCodec<MeshoptZstd>(mesh);
#ifdef KVX_HAVE_DRACO
        RegisterCodec<Draco<false>>(mesh);
        RegisterCodec<Draco<true>>(mesh);
#endif
        RegisterCodec<Kvx<false>>(mesh);
        RegisterCodec<Kvx<false, 2>>(mesh);
        RegisterCodec<Kvx<false, 0>>(mesh);
        RegisterEntropy<kvxbench::Rans>(mesh);
        RegisterEntropy<kvxbench::ZstdSplit>(mesh);
        RegisterEntropy<kvxbench::ZstdVarint>(mesh);
        if (&mesh == &meshes.front()) {
            RegisterCodec<Kvx<true>>(mesh);
            RegisterCodec<Kvx<true, 2>>(mesh);
            RegisterFill(mesh);
            RegisterOperators(mesh);
        }
    }
    static const std::deque<Mesh> special = SpecialMeshes();
    for (const Mesh& mesh : special) {
        RegisterCodec<Stl>(mesh);
        RegisterCodec<Kvx<false>>(mesh);
        RegisterCodec<Kvx<true>>(mesh);
        RegisterCodec<Kvx<false, 2>>(mesh);
        RegisterCodec<Kvx<true, 2>>(mesh);
        RegisterCodec<Kvx<false, 0>>(mesh);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
