#include "maker/MeshCodec2.h"

#include <algorithm>
#include <cstring>

#include "maker/CornerTable.h"
#include "maker/Edgebreaker.h"
#include "maker/GeometryCoder.h"
#include "maker/Rans.h"
#include "maker/Varint.h"

namespace KvxInternal::codec2 {

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
constexpr std::uint8_t kHasColors = 1;
constexpr std::size_t kChecksumBytes = 8;
// A closed mesh has at most one added triangle per border edge: three per triangle.
constexpr std::uint64_t kClosedPerTriangle = 4;
// What decoding costs per triangle of the closed mesh (corner tables of the decoder and the
// point coder, its work arrays, the output indices, colours and the mesh's triangles), and per
// vertex.
constexpr std::uint64_t kTriangleCost = 192;
constexpr std::uint64_t kVertexCost = 2 * sizeof(MStlPoint) + 16;

// Colour of a triangle: the same as the triangle across its gate, the same as the triangle
// before it, or a new 16-bit code; in the context of the previous symbol.
enum ColorSymbol : unsigned { kSameAsGate, kSameAsPrevious, kLiteral, kColorSymbols };
constexpr unsigned kColorContexts = kColorSymbols + 1;

std::uint32_t Zigzag(std::uint32_t v) {
    return (v << 1) ^ (0u - (v >> 31));
}
std::uint32_t Unzigzag(std::uint32_t z) {
    return (z >> 1) ^ (0u - (z & 1));
}

// The colour symbol of output triangle t; `gate` is the output triangle across t's gate when
// it comes before t, else kNone.
unsigned ColorSymbolFor(const LargeVector<std::uint16_t>& colors, std::uint32_t gate,
                        std::size_t t) {
    if (gate != kNone && colors[gate] == colors[t]) return kSameAsGate;
    if (t > 0 && colors[t - 1] == colors[t]) return kSameAsPrevious;
    return kLiteral;
}

void EncodeColors(const LargeVector<std::uint16_t>& colors, const LargeVector<std::uint32_t>& gate,
                  std::vector<std::uint8_t>& out) {
    std::uint32_t tally[kColorContexts][kColorSymbols] = {};
    std::vector<std::uint8_t> symbols(colors.size());
    unsigned context = kColorSymbols;
    for (std::size_t t = 0; t < colors.size(); ++t) {
        symbols[t] = static_cast<std::uint8_t>(ColorSymbolFor(colors, gate[t], t));
        ++tally[context][symbols[t]];
        context = symbols[t];
    }
    rans::Table tables[kColorContexts];
    rans::WriteTables(&tally[0][0], kColorContexts, kColorSymbols, tables, out);
    rans::Encoder e;
    context = kColorSymbols;
    for (std::size_t t = 0; t < colors.size(); ++t) {
        e.Put(tables[context], symbols[t]);
        if (symbols[t] == kLiteral) e.PutBits(colors[t], 16);
        context = symbols[t];
    }
    e.Finish(out);
}

bool DecodeColors(const std::uint8_t* p, const std::uint8_t* end,
                  const LargeVector<std::uint32_t>& gate, LargeVector<std::uint16_t>& colors) {
    rans::Table tables[kColorContexts];
    std::uint8_t present = 0;
    if (!rans::ReadTables(p, end, kColorContexts, kColorSymbols, tables, present)) return false;
    rans::Decoder d;
    if (!d.Start(p, static_cast<std::size_t>(end - p))) return false;
    unsigned context = kColorSymbols;
    for (std::size_t t = 0; t < colors.size(); ++t) {
        if ((present & (1u << context)) == 0) return false;
        const unsigned s = d.Get(tables[context]);
        if (s == kSameAsGate) {
            if (gate[t] == kNone) return false;
            colors[t] = colors[gate[t]];
        } else if (s == kSameAsPrevious) {
            if (t == 0) return false;
            colors[t] = colors[t - 1];
        } else {
            colors[t] = static_cast<std::uint16_t>(d.GetBits(16));
        }
        context = s;
    }
    return d.Finish();
}

void PutU64(std::vector<std::uint8_t>& out, std::uint64_t v) {
    for (int k = 0; k < 8; ++k)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}

}  // namespace

std::uint64_t DecodeCost(std::uint64_t bodyBytes, std::uint64_t points,
                         std::uint64_t closedTriangles, std::uint64_t walkVertices) {
    return bodyBytes + (points + walkVertices) * kVertexCost + closedTriangles * kTriangleCost;
}

std::uint64_t Checksum(const std::uint8_t* data, std::size_t size) {
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ size;
    const auto mix = [&](std::uint64_t w) {
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 29;
    };
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, data + i, 8);
        mix(w);
    }
    std::uint64_t tail = 0;
    for (std::size_t k = 0; i + k < size; ++k)
        tail |= std::uint64_t{data[i + k]} << (8 * k);
    mix(tail);
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 33);
}

std::uint64_t Encode(const MStlBase& mesh, std::vector<std::uint8_t>& out,
                     LargeVector<geometry::Residual>* residuals) {
    const auto P = static_cast<std::uint32_t>(mesh.NumberOfPoints());
    const std::size_t T = mesh.NumberOfTriangles();
    const std::span<const MStlPoint> points = mesh.Points();
    LargeVector<std::uint32_t> indices;
    indices.reserve(3 * T);
    for (const MStlTriangle& t : mesh.Triangles())
        indices.insert(indices.end(), t.points, t.points + 3);

    CornerTable table(indices.data(), T, P);
    // The walk takes the table's corners; the table keeps what tells points, copies and
    // triangles apart.
    edgebreaker::Mesh closed{std::move(table.vertex), std::move(table.opposite), table.vertices()};
    const std::size_t real = closed.vertices;
    edgebreaker::CloseBorders(closed);
    std::vector<std::uint8_t> connectivity;
    const edgebreaker::Walk walk = edgebreaker::Encode(closed, connectivity);
    const edgebreaker::Mesh& decoded = walk.decoded;
    const std::size_t W = decoded.vertices;

    // Each walk vertex is a point (coded), a further fan of a point (a copy) or a border's
    // added vertex (dropped).
    LargeVector<bool> coded(W, false), dummy(W, false);
    LargeVector<std::uint32_t> copyOf(W, kNone);
    LargeVector<MStlPoint> positions(W);
    for (std::uint32_t v = 0; v < closed.vertices; ++v) {
        const std::uint32_t id = walk.newId[v];
        if (id == kNone) continue;
        if (v < table.points) {
            coded[id] = true;
            positions[id] = points[v];
        } else if (v < real) {
            copyOf[id] = walk.newId[table.PointOf(v)];
        } else {
            dummy[id] = true;
        }
    }
    // Output points: the coded walk vertices in walk order, then the points no kept triangle
    // uses, in their order.
    LargeVector<std::uint32_t> outOf(W, kNone);
    std::uint32_t next = 0;
    for (std::uint32_t id = 0; id < W; ++id)
        if (coded[id]) outOf[id] = next++;
    LargeVector<std::uint32_t> pointOut(P, kNone);
    LargeVector<std::uint32_t> others;
    for (std::uint32_t p = 0; p < P; ++p) {
        if (walk.newId[p] != kNone) {
            pointOut[p] = outOf[walk.newId[p]];
        } else {
            pointOut[p] = next++;
            others.push_back(p);
        }
    }

    std::vector<std::uint8_t> geometry;
    geometry::Encode({decoded.vertex.data(), decoded.opposite.data(), decoded.vertex.size(), W},
                     positions, coded, geometry, residuals);

    std::vector<std::uint8_t> extra;
    const auto putIds = [&](const LargeVector<std::uint32_t>& ids, bool withCopy) {
        PutVarint(extra, static_cast<std::uint32_t>(ids.size()));
        std::uint32_t previous = 0;
        for (const std::uint32_t id : ids) {
            PutVarint(extra, id - previous);
            // The point a copy stands for is mostly walked shortly before or after it.
            if (withCopy) PutVarint(extra, Zigzag(id - copyOf[id]));
            previous = id + 1;
        }
    };
    LargeVector<std::uint32_t> dummies, copies;
    for (std::uint32_t id = 0; id < W; ++id) {
        if (dummy[id]) dummies.push_back(id);
        if (copyOf[id] != kNone) copies.push_back(id);
    }
    putIds(dummies, false);
    putIds(copies, true);
    PutVarint(extra, static_cast<std::uint32_t>(others.size()));
    MStlPoint previous{};
    for (const std::uint32_t p : others) {
        const MStlPoint& q = points[p];
        PutVarint(extra,
                  Zigzag(static_cast<std::uint32_t>(q.x) - static_cast<std::uint32_t>(previous.x)));
        PutVarint(extra,
                  Zigzag(static_cast<std::uint32_t>(q.y) - static_cast<std::uint32_t>(previous.y)));
        PutVarint(extra,
                  Zigzag(static_cast<std::uint32_t>(q.z) - static_cast<std::uint32_t>(previous.z)));
        previous = q;
    }
    PutVarint(extra, static_cast<std::uint32_t>(table.loose.size()));
    for (const std::uint32_t t : table.loose)
        for (int k = 0; k < 3; ++k)
            PutVarint(extra, pointOut[indices[3 * t + k]]);

    // Every code is kept, also one without the valid bit (which says "no colour" but may carry
    // bits a caller set).
    const std::span<const MStlTriangle> all = mesh.Triangles();
    const bool colored =
        std::any_of(all.begin(), all.end(), [](const MStlTriangle& t) { return t.color != 0; });
    std::vector<std::uint8_t> colorBlock;
    if (colored) {
        // Output triangles: the walk's, less the added ones, then the degenerate ones.
        LargeVector<std::uint16_t> colors;
        LargeVector<std::uint32_t> gate;
        LargeVector<std::uint32_t> outTriangle(decoded.vertex.size() / 3, kNone);
        const std::span<const MStlTriangle> triangles = mesh.Triangles();
        for (std::uint32_t i = 0; i < walk.tip.size(); ++i) {
            const std::uint32_t kept = walk.tip[i] / 3;
            if (kept >= table.kept()) continue;
            outTriangle[i] = static_cast<std::uint32_t>(colors.size());
            const std::uint32_t g = decoded.opposite[3 * i] / 3;
            gate.push_back(g < i ? outTriangle[g] : kNone);
            colors.push_back(triangles[table.triangle[kept]].color);
        }
        for (const std::uint32_t t : table.loose) {
            gate.push_back(kNone);
            colors.push_back(triangles[t].color);
        }
        EncodeColors(colors, gate, colorBlock);
    }

    const std::size_t start = out.size();
    out.push_back(colored ? kHasColors : 0);
    PutVarint(out, P);
    PutVarint(out, static_cast<std::uint32_t>(T));
    PutVarint(out, static_cast<std::uint32_t>(connectivity.size()));
    PutVarint(out, static_cast<std::uint32_t>(geometry.size()));
    PutVarint(out, static_cast<std::uint32_t>(extra.size()));
    for (const auto* block : {&connectivity, &geometry, &extra, &colorBlock})
        out.insert(out.end(), block->begin(), block->end());
    PutU64(out, Checksum(out.data() + start, out.size() - start));
    return DecodeCost(out.size() - start, P, decoded.vertex.size() / 3, W);
}

namespace {

// Decode and Check: builds the mesh into `mesh` when it is given.
bool DecodeBody(const std::uint8_t* p, const std::uint8_t* end, MStlBase* mesh,
                const Charge& charge, std::uint64_t& triangleCount) {
    if (end - p < static_cast<std::ptrdiff_t>(kChecksumBytes + 1)) return false;
    const std::uint8_t* const sum = end - kChecksumBytes;
    std::uint64_t stored = 0;
    for (std::size_t k = 0; k < kChecksumBytes; ++k)
        stored |= std::uint64_t{sum[k]} << (8 * k);
    if (stored != Checksum(p, static_cast<std::size_t>(sum - p))) return false;
    end = sum;

    const std::uint8_t flags = *p++;
    std::uint32_t P = 0, T = 0, connectivityBytes = 0, geometryBytes = 0, extraBytes = 0;
    if ((flags & ~kHasColors) != 0 || !GetVarint(p, end, P) || !GetVarint(p, end, T) ||
        !GetVarint(p, end, connectivityBytes) || !GetVarint(p, end, geometryBytes) ||
        !GetVarint(p, end, extraBytes))
        return false;
    const std::uint64_t left = static_cast<std::uint64_t>(end - p);
    if (std::uint64_t{connectivityBytes} + geometryBytes + extraBytes > left) return false;
    const std::uint8_t* const connectivity = p;
    const std::uint8_t* const geometry = connectivity + connectivityBytes;
    const std::uint8_t* const extra = geometry + geometryBytes;
    const std::uint8_t* const colorBlock = extra + extraBytes;
    const bool colored = (flags & kHasColors) != 0;
    if (!colored && colorBlock != end) return false;

    // Before anything is allocated: the triangles of the closed mesh (it can have four for each
    // one), as the connectivity block announces them.
    const std::uint64_t maxTriangles = kClosedPerTriangle * std::uint64_t{T} + 4;
    std::size_t closedTriangles = 0;
    if (!edgebreaker::AnnouncedTriangles(connectivity, geometry,
                                         static_cast<std::size_t>(maxTriangles), closedTriangles) ||
        !charge(P, kVertexCost) || !charge(closedTriangles, kTriangleCost))
        return false;

    edgebreaker::Mesh closed;
    if (!edgebreaker::Decode(connectivity, geometry, closedTriangles, closed)) return false;
    const std::size_t W = closed.vertices;
    if (W > maxTriangles * 3) return false;
    if (!charge(W, kVertexCost)) return false;

    const std::uint8_t* q = extra;
    LargeVector<bool> dummy(W, false);
    LargeVector<std::uint32_t> copyOf(W, kNone);
    for (int list = 0; list < 2; ++list) {
        std::uint32_t count = 0;
        if (!GetVarint(q, colorBlock, count) || count > W) return false;
        std::uint64_t id = 0;
        for (std::uint32_t i = 0; i < count; ++i, ++id) {
            std::uint32_t step = 0;
            if (!GetVarint(q, colorBlock, step)) return false;
            id += step;
            if (id >= W || dummy[id] || copyOf[id] != kNone) return false;
            if (list == 0) {
                dummy[id] = true;
            } else {
                std::uint32_t distance = 0;
                if (!GetVarint(q, colorBlock, distance)) return false;
                const std::uint32_t original = static_cast<std::uint32_t>(id) - Unzigzag(distance);
                if (original >= W) return false;
                copyOf[id] = original;
            }
        }
    }
    LargeVector<bool> coded(W);
    for (std::size_t id = 0; id < W; ++id)
        coded[id] = !dummy[id] && copyOf[id] == kNone;
    for (std::size_t id = 0; id < W; ++id)
        if (copyOf[id] != kNone && !coded[copyOf[id]]) return false;

    LargeVector<MStlPoint> positions;
    if (!geometry::Decode({closed.vertex.data(), closed.opposite.data(), closed.vertex.size(), W},
                          coded, geometry, extra, positions))
        return false;

    LargeVector<std::uint32_t> outOf(W, kNone);
    std::vector<MStlPoint> points;  // handed to the mesh
    if (mesh != nullptr) points.reserve(P);
    std::uint32_t codedCount = 0;
    for (std::size_t id = 0; id < W; ++id)
        if (coded[id]) {
            outOf[id] = codedCount++;
            if (mesh != nullptr) points.push_back(positions[id]);
        }
    LargeVector<MStlPoint>().swap(positions);
    for (std::size_t id = 0; id < W; ++id)
        if (copyOf[id] != kNone) outOf[id] = outOf[copyOf[id]];
    std::uint32_t othersCount = 0;
    if (!GetVarint(q, colorBlock, othersCount) || codedCount > P || othersCount != P - codedCount)
        return false;
    MStlPoint previous{};
    for (std::uint32_t i = 0; i < othersCount; ++i) {
        std::uint32_t d[3];
        for (std::uint32_t& v : d)
            if (!GetVarint(q, colorBlock, v)) return false;
        previous = {
            static_cast<std::int32_t>(static_cast<std::uint32_t>(previous.x) + Unzigzag(d[0])),
            static_cast<std::int32_t>(static_cast<std::uint32_t>(previous.y) + Unzigzag(d[1])),
            static_cast<std::int32_t>(static_cast<std::uint32_t>(previous.z) + Unzigzag(d[2]))};
        if (mesh != nullptr) points.push_back(previous);
    }

    // Triangles: the walk's without the added ones, then the degenerate ones.
    LargeVector<std::uint32_t> indices;
    if (mesh != nullptr) indices.reserve(3 * std::size_t{T});
    std::uint32_t walkedCount = 0;  // walk triangles kept
    // For colours only: the output triangle across each one's gate.
    LargeVector<std::uint32_t> gate;
    const std::size_t walked = closed.vertex.size() / 3;
    LargeVector<std::uint32_t> outTriangle(colored ? walked : 0, kNone);
    for (std::uint32_t i = 0; i < walked; ++i) {
        const std::uint32_t* v = &closed.vertex[3 * i];
        if (dummy[v[0]] || dummy[v[1]] || dummy[v[2]]) continue;
        if (walkedCount >= T) return false;
        if (colored) {
            outTriangle[i] = walkedCount;
            const std::uint32_t g = closed.opposite[3 * i] / 3;
            gate.push_back(g < i ? outTriangle[g] : kNone);
        }
        ++walkedCount;
        if (mesh != nullptr) indices.insert(indices.end(), {outOf[v[0]], outOf[v[1]], outOf[v[2]]});
    }
    std::uint32_t looseCount = 0;
    if (!GetVarint(q, colorBlock, looseCount) || looseCount != T - walkedCount) return false;
    for (std::uint32_t i = 0; i < 3 * looseCount; ++i) {
        std::uint32_t v = 0;
        if (!GetVarint(q, colorBlock, v) || v >= P) return false;
        if (mesh != nullptr) indices.push_back(v);
    }
    if (colored) gate.resize(gate.size() + looseCount, kNone);
    if (q != colorBlock) return false;

    LargeVector<std::uint16_t> colors;
    if (colored) {
        colors.resize(T);
        if (!DecodeColors(colorBlock, end, gate, colors)) return false;
    }
    triangleCount = T;
    // Every index is a point of the mesh: the walk's map to coded points (or their originals),
    // and the loose ones were checked as they were read.
    if (mesh == nullptr) return true;
    mesh->SetPoints(std::move(points));
    if (!mesh->SetTriangles(indices, colors)) {
        mesh->ClearStl(true);
        return false;
    }
    mesh->UpdateExtremes(true);
    return true;
}

}  // namespace

bool Decode(const std::uint8_t* p, const std::uint8_t* end, MStlBase& mesh, const Charge& charge) {
    mesh.ClearStl(true);
    std::uint64_t triangles = 0;
    return DecodeBody(p, end, &mesh, charge, triangles);
}

bool Check(const std::uint8_t* p, const std::uint8_t* end, const Charge& charge,
           std::uint64_t& triangles) {
    triangles = 0;
    return DecodeBody(p, end, nullptr, charge, triangles);
}

}  // namespace KvxInternal::codec2
