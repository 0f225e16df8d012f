#include "maker/GeometryCoder.h"

#include <algorithm>
#include <bit>
#include <limits>

#include "maker/CornerTable.h"
#include "maker/Rans.h"
#include "maker/Varint.h"

namespace KvxInternal::geometry {

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
// Contexts: parallelogram predictions by edge scale (0..kScales-1), midpoints by edge scale,
// then a known neighbour, then nothing known.
constexpr unsigned kScales = 24;
constexpr unsigned kNeighbourContext = 2 * kScales;
constexpr unsigned kBlindContext = 2 * kScales + 1;
constexpr unsigned kContexts = 2 * kScales + 2;
// Bit lengths of zigzagged 64-bit differences of int32 values: 0..34.
constexpr unsigned kLengths = 35;

constexpr auto Next = &CornerTable::Next;
constexpr auto Prev = &CornerTable::Prev;

std::uint64_t Zigzag(std::int64_t v) {
    return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
std::int64_t Unzigzag(std::uint64_t z) {
    return static_cast<std::int64_t>(z >> 1) ^ -static_cast<std::int64_t>(z & 1);
}

// What both sides compute for a vertex from the vertices known so far.
struct Guess {
    std::int64_t at[3];
    unsigned context;
};

class Predictor {
public:
    Predictor(const Connectivity& mesh) : mesh_(mesh), known_(mesh.vertices, 0) {
        // The corners of each vertex, by a counting sort.
        start_.assign(mesh.vertices + 1, 0);
        for (std::size_t c = 0; c < mesh.corners; ++c)
            ++start_[mesh.vertex[c] + 1];
        for (std::size_t v = 0; v < mesh.vertices; ++v)
            start_[v + 1] += start_[v];
        corners_.resize(mesh.corners);
        LargeVector<std::uint32_t> fill(start_.begin(), start_.end() - 1);
        for (std::size_t c = 0; c < mesh.corners; ++c)
            corners_[fill[mesh.vertex[c]]++] = static_cast<std::uint32_t>(c);
    }

    Guess Predict(std::uint32_t v, const LargeVector<MStlPoint>& at) const {
        std::int64_t sum[3] = {0, 0, 0};
        std::int64_t count = 0;
        std::uint32_t edgeA = kNone, edgeB = kNone, neighbour = kNone;
        for (std::uint32_t i = start_[v]; i < start_[v + 1]; ++i) {
            const std::uint32_t c = corners_[i];
            const std::uint32_t a = mesh_.vertex[Next(c)], b = mesh_.vertex[Prev(c)];
            const bool knowA = known_[a] != 0, knowB = known_[b] != 0;
            if (neighbour == kNone) neighbour = knowA ? a : knowB ? b : kNone;
            if (!knowA || !knowB) continue;
            if (edgeA == kNone) edgeA = a, edgeB = b;
            const std::uint32_t o = mesh_.opposite[c];
            if (o == kNone) continue;
            const std::uint32_t w = mesh_.vertex[o];
            if (!known_[w]) continue;
            const MStlPoint &pa = at[a], &pb = at[b], &pw = at[w];
            sum[0] += std::int64_t{pa.x} + pb.x - pw.x;
            sum[1] += std::int64_t{pa.y} + pb.y - pw.y;
            sum[2] += std::int64_t{pa.z} + pb.z - pw.z;
            ++count;
        }
        Guess g{};
        if (edgeA != kNone) {
            const MStlPoint &pa = at[edgeA], &pb = at[edgeB];
            const std::uint64_t span =
                std::max({Abs(std::int64_t{pa.x} - pb.x), Abs(std::int64_t{pa.y} - pb.y),
                          Abs(std::int64_t{pa.z} - pb.z)});
            const unsigned scale =
                std::min<unsigned>(static_cast<unsigned>(std::bit_width(span)), kScales - 1);
            if (count > 0) {
                for (int k = 0; k < 3; ++k)
                    g.at[k] = sum[k] / count;
                g.context = scale;
            } else {
                g.at[0] = (std::int64_t{pa.x} + pb.x) / 2;
                g.at[1] = (std::int64_t{pa.y} + pb.y) / 2;
                g.at[2] = (std::int64_t{pa.z} + pb.z) / 2;
                g.context = kScales + scale;
            }
        } else if (neighbour != kNone) {
            g.at[0] = at[neighbour].x, g.at[1] = at[neighbour].y, g.at[2] = at[neighbour].z;
            g.context = kNeighbourContext;
        } else {
            if (last_ != kNone) g.at[0] = at[last_].x, g.at[1] = at[last_].y, g.at[2] = at[last_].z;
            g.context = kBlindContext;
        }
        return g;
    }

    void Known(std::uint32_t v) {
        known_[v] = 1;
        last_ = v;
    }

private:
    static std::uint64_t Abs(std::int64_t v) {
        return v < 0 ? static_cast<std::uint64_t>(-v) : static_cast<std::uint64_t>(v);
    }

    const Connectivity& mesh_;
    LargeVector<std::uint32_t> start_, corners_;
    std::vector<std::uint8_t> known_;
    std::uint32_t last_ = kNone;
};

// The raw bits of z below its leading one, in pieces of at most 16.
void PutRaw(rans::Encoder& e, std::uint64_t z, unsigned length) {
    for (unsigned done = 0; done + 1 < length;) {
        const unsigned bits = std::min(rans::kMaxRawBits, length - 1 - done);
        e.PutBits(static_cast<std::uint32_t>(z >> done), bits);
        done += bits;
    }
}

std::uint64_t GetRaw(rans::Decoder& d, unsigned length) {
    if (length == 0) return 0;
    std::uint64_t z = std::uint64_t{1} << (length - 1);
    for (unsigned done = 0; done + 1 < length;) {
        const unsigned bits = std::min(rans::kMaxRawBits, length - 1 - done);
        z |= std::uint64_t{d.GetBits(bits)} << done;
        done += bits;
    }
    return z;
}

}  // namespace

void EncodeResiduals(const LargeVector<Residual>& residuals, std::vector<std::uint8_t>& out) {
    LargeVector<std::uint32_t> counts(kContexts * kLengths, 0);
    for (const Residual& r : residuals)
        for (const std::uint64_t z : r.z)
            ++counts[r.context * kLengths + static_cast<unsigned>(std::bit_width(z))];
    std::vector<rans::Table> tables(kContexts);
    std::vector<unsigned> present;
    for (unsigned c = 0; c < kContexts; ++c)
        if (std::any_of(counts.begin() + c * kLengths, counts.begin() + (c + 1) * kLengths,
                        [](std::uint32_t n) { return n > 0; }))
            present.push_back(c);
    PutVarint(out, static_cast<std::uint32_t>(present.size()));
    for (const unsigned c : present) {
        // The alphabet ends at the longest length used.
        unsigned used = kLengths;
        while (counts[c * kLengths + used - 1] == 0)
            --used;
        tables[c] = rans::Table::FromCounts(&counts[c * kLengths], used);
        PutVarint(out, c);
        tables[c].Write(out);
    }
    rans::Encoder e;
    // A length symbol per axis, and mostly one piece of raw bits.
    e.Reserve(6 * residuals.size());
    for (const Residual& r : residuals)
        for (const std::uint64_t z : r.z) {
            const auto length = static_cast<unsigned>(std::bit_width(z));
            e.Put(tables[r.context], length);
            PutRaw(e, z, length);
        }
    e.Finish(out);
}

void Encode(const Connectivity& mesh, const LargeVector<MStlPoint>& positions,
            const LargeVector<bool>& coded, std::vector<std::uint8_t>& out,
            LargeVector<Residual>* handOut) {
    Predictor predictor(mesh);
    LargeVector<Residual> residuals;
    residuals.reserve(static_cast<std::size_t>(std::count(coded.begin(), coded.end(), true)));
    for (std::uint32_t v = 0; v < mesh.vertices; ++v) {
        if (!coded[v]) continue;
        const Guess g = predictor.Predict(v, positions);
        const MStlPoint& p = positions[v];
        residuals.push_back(
            {{Zigzag(p.x - g.at[0]), Zigzag(p.y - g.at[1]), Zigzag(p.z - g.at[2])}, g.context});
        predictor.Known(v);
    }
    EncodeResiduals(residuals, out);
    if (handOut != nullptr) *handOut = std::move(residuals);
}

bool Decode(const Connectivity& mesh, const LargeVector<bool>& coded, const std::uint8_t* p,
            const std::uint8_t* end, LargeVector<MStlPoint>& positions) {
    std::uint32_t present = 0;
    if (!GetVarint(p, end, present) || present > kContexts) return false;
    std::vector<rans::Table> tables(kContexts);
    LargeVector<bool> have(kContexts, false);
    for (std::uint32_t i = 0, previous = 0; i < present; ++i) {
        std::uint32_t c = 0;
        if (!GetVarint(p, end, c) || c >= kContexts || (i > 0 && c <= previous)) return false;
        if (!tables[c].Read(p, end) || tables[c].symbols() > kLengths) return false;
        have[c] = true;
        previous = c;
    }
    rans::Decoder d;
    if (!d.Start(p, static_cast<std::size_t>(end - p))) return false;
    positions.assign(mesh.vertices, MStlPoint{});
    Predictor predictor(mesh);
    constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t hi = std::numeric_limits<std::int32_t>::max();
    for (std::uint32_t v = 0; v < mesh.vertices; ++v) {
        if (!coded[v]) continue;
        const Guess g = predictor.Predict(v, positions);
        if (!have[g.context]) return false;
        std::int32_t xyz[3];
        for (int k = 0; k < 3; ++k) {
            const unsigned length = d.Get(tables[g.context]);
            const std::int64_t value = g.at[k] + Unzigzag(GetRaw(d, length));
            if (value < lo || value > hi) return false;
            xyz[k] = static_cast<std::int32_t>(value);
        }
        positions[v] = MStlPoint{xyz[0], xyz[1], xyz[2]};
        predictor.Known(v);
    }
    return d.Finish();
}

}  // namespace KvxInternal::geometry
