#include "maker/Edgebreaker.h"

#include <algorithm>
#include <numeric>

#include "maker/CornerTable.h"
#include "maker/Rans.h"
#include "maker/Varint.h"

namespace KvxInternal::edgebreaker {

namespace {

enum Symbol : std::uint8_t { kC, kL, kE, kR, kS, kSymbols };
// The context of a symbol is the symbol before it in its component, or kStartContext first.
constexpr unsigned kStartContext = kSymbols;
constexpr unsigned kContexts = kSymbols + 1;
constexpr std::uint32_t kNone = 0xFFFFFFFFu;

constexpr auto Next = &CornerTable::Next;
constexpr auto Prev = &CornerTable::Prev;

// An S triangle whose left neighbour was already visited when its turn came: the S at triangle
// `s` is glued by its left edge to corner `role` (1 or 2) of triangle `k`, in decoded order.
struct Event {
    std::uint32_t s, k, role;
};

void WriteSymbols(const std::vector<std::uint8_t>& symbols,
                  const LargeVector<std::uint32_t>& counts, std::vector<std::uint8_t>& out) {
    std::uint32_t tally[kContexts][kSymbols] = {};
    std::size_t at = 0;
    for (const std::uint32_t count : counts) {
        unsigned context = kStartContext;
        for (std::uint32_t i = 0; i < count; ++i, ++at) {
            ++tally[context][symbols[at]];
            context = symbols[at];
        }
    }
    rans::Table tables[kContexts];
    rans::WriteTables(&tally[0][0], kContexts, kSymbols, tables, out);
    rans::Encoder e;
    e.Reserve(symbols.size());
    at = 0;
    for (const std::uint32_t count : counts) {
        unsigned context = kStartContext;
        for (std::uint32_t i = 0; i < count; ++i, ++at) {
            e.Put(tables[context], symbols[at]);
            context = symbols[at];
        }
    }
    e.Finish(out);
}

// Union-find over corners, for the vertices that glued edges share.
class Classes {
public:
    explicit Classes(std::size_t n) : parent_(n) { std::iota(parent_.begin(), parent_.end(), 0u); }
    std::uint32_t Find(std::uint32_t c) {
        while (parent_[c] != c) {
            parent_[c] = parent_[parent_[c]];
            c = parent_[c];
        }
        return c;
    }
    void Join(std::uint32_t a, std::uint32_t b) {
        a = Find(a);
        b = Find(b);
        if (a != b) parent_[std::max(a, b)] = std::min(a, b);
    }

private:
    LargeVector<std::uint32_t> parent_;
};

}  // namespace

std::size_t CloseBorders(Mesh& mesh) {
    const std::uint32_t corners = static_cast<std::uint32_t>(mesh.vertex.size());
    // The open edge leaving each vertex (one at most in a manifold table): the edge facing
    // corner c runs from the vertex of Next(c) to that of Prev(c).
    LargeVector<std::uint32_t> leaving(mesh.vertices, kNone);
    std::size_t open = 0;
    for (std::uint32_t c = 0; c < corners; ++c)
        if (mesh.opposite[c] == kOpen) {
            leaving[mesh.vertex[Next(c)]] = c;
            ++open;
        }
    // One added triangle per open edge.
    mesh.vertex.reserve(corners + 3 * open);
    mesh.opposite.reserve(corners + 3 * open);
    LargeVector<bool> done(corners, false);
    std::size_t loops = 0;
    LargeVector<std::uint32_t> loop;
    for (std::uint32_t c0 = 0; c0 < corners; ++c0) {
        if (mesh.opposite[c0] != kOpen || done[c0]) continue;
        loop.clear();
        for (std::uint32_t c = c0; c != kNone && !done[c]; c = leaving[mesh.vertex[Prev(c)]]) {
            done[c] = true;
            loop.push_back(c);
        }
        const auto centre = static_cast<std::uint32_t>(mesh.vertices + loops++);
        const auto first = static_cast<std::uint32_t>(mesh.vertex.size());
        const auto size = static_cast<std::uint32_t>(loop.size());
        for (std::uint32_t j = 0; j < size; ++j) {
            // Edge a -> b facing loop[j] gets the triangle (b, a, centre).
            const std::uint32_t c = loop[j], q = first + 3 * j;
            mesh.vertex.insert(mesh.vertex.end(),
                               {mesh.vertex[Prev(c)], mesh.vertex[Next(c)], centre});
            mesh.opposite.insert(mesh.opposite.end(), {first + 3 * ((j + size - 1) % size) + 1,
                                                       first + 3 * ((j + 1) % size), c});
            mesh.opposite[c] = q + 2;
        }
    }
    mesh.vertices += loops;
    return loops;
}

Walk Encode(const Mesh& mesh, std::vector<std::uint8_t>& out) {
    const std::size_t triangles = mesh.vertex.size() / 3;
    const LargeVector<std::uint32_t>& V = mesh.vertex;
    const LargeVector<std::uint32_t>& O = mesh.opposite;
    Walk walk;
    walk.newId.assign(mesh.vertices, kNone);
    walk.tip.reserve(triangles);
    LargeVector<std::uint32_t> order(triangles, kNone);  // per input triangle: decoded index
    std::vector<std::uint8_t> symbols;
    symbols.reserve(triangles);
    LargeVector<std::uint32_t> counts;
    LargeVector<Event> events;
    LargeVector<std::pair<std::uint32_t, std::uint32_t>> pending;  // left corner, its S
    std::uint32_t nextId = 0;
    const auto visit = [&](std::uint32_t c) {
        order[c / 3] = static_cast<std::uint32_t>(walk.tip.size());
        walk.tip.push_back(c);
    };
    for (std::uint32_t t0 = 0; t0 < triangles; ++t0) {
        if (order[t0] != kNone) continue;
        const std::uint32_t c0 = 3 * t0;
        visit(c0);
        for (const std::uint32_t c : {c0, Next(c0), Prev(c0)})
            walk.newId[V[c]] = nextId++;
        std::uint32_t count = 0;
        for (std::uint32_t c = O[c0];;) {
            const std::uint32_t here = static_cast<std::uint32_t>(walk.tip.size());
            visit(c);
            ++count;
            if (walk.newId[V[c]] == kNone) {
                walk.newId[V[c]] = nextId++;
                symbols.push_back(kC);
                c = O[Next(c)];
                continue;
            }
            const bool right = order[O[Next(c)] / 3] != kNone;
            const bool left = order[O[Prev(c)] / 3] != kNone;
            if (right && left) {
                symbols.push_back(kE);
                bool resumed = false;
                while (!pending.empty() && !resumed) {
                    const auto [corner, s] = pending.back();
                    pending.pop_back();
                    if (order[corner / 3] == kNone) {
                        c = corner;
                        resumed = true;
                    } else {
                        const std::uint32_t k = order[corner / 3];
                        events.push_back({s, k, corner == Next(walk.tip[k]) ? 1u : 2u});
                    }
                }
                if (!resumed) break;
            } else if (right) {
                symbols.push_back(kR);
                c = O[Prev(c)];
            } else if (left) {
                symbols.push_back(kL);
                c = O[Next(c)];
            } else {
                symbols.push_back(kS);
                pending.emplace_back(O[Prev(c)], here);
                c = O[Next(c)];
            }
        }
        counts.push_back(count);
    }

    PutVarint(out, static_cast<std::uint32_t>(counts.size()));
    for (const std::uint32_t count : counts)
        PutVarint(out, count);
    std::sort(events.begin(), events.end(),
              [](const Event& a, const Event& b) { return a.s < b.s; });
    PutVarint(out, static_cast<std::uint32_t>(events.size()));
    std::uint32_t previous = 0;
    for (const Event& e : events) {
        PutVarint(out, e.s - previous);
        PutVarint(out, (e.k - e.s) * 2 + (e.role - 1));
        previous = e.s;
    }
    WriteSymbols(symbols, counts, out);

    // The mesh as the decoder rebuilds it.
    LargeVector<std::uint32_t> decodedCorner(mesh.vertex.size());
    for (std::uint32_t i = 0; i < walk.tip.size(); ++i) {
        const std::uint32_t c = walk.tip[i];
        decodedCorner[c] = 3 * i;
        decodedCorner[Next(c)] = 3 * i + 1;
        decodedCorner[Prev(c)] = 3 * i + 2;
    }
    walk.decoded.vertices = nextId;
    walk.decoded.vertex.resize(mesh.vertex.size());
    walk.decoded.opposite.resize(mesh.vertex.size());
    for (std::uint32_t c = 0; c < mesh.vertex.size(); ++c) {
        walk.decoded.vertex[decodedCorner[c]] = walk.newId[V[c]];
        walk.decoded.opposite[decodedCorner[c]] = decodedCorner[O[c]];
    }
    return walk;
}

bool AnnouncedTriangles(const std::uint8_t* p, const std::uint8_t* end, std::size_t maxTriangles,
                        std::size_t& triangles) {
    std::uint32_t components = 0;
    // Each component's count takes a byte at least.
    if (!GetVarint(p, end, components) || components > maxTriangles ||
        components > static_cast<std::size_t>(end - p))
        return false;
    std::uint64_t total = 0;
    for (std::uint32_t i = 0; i < components; ++i) {
        std::uint32_t count = 0;
        if (!GetVarint(p, end, count) || count == 0) return false;
        total += std::uint64_t{count} + 1;
        if (total > maxTriangles || total > kNone / 3) return false;
    }
    triangles = static_cast<std::size_t>(total);
    return true;
}

bool Decode(const std::uint8_t* p, const std::uint8_t* end, std::size_t maxTriangles, Mesh& out) {
    std::uint32_t components = 0;
    if (!GetVarint(p, end, components) || components > maxTriangles ||
        components > static_cast<std::size_t>(end - p))
        return false;
    LargeVector<std::uint32_t> counts(components);
    std::uint64_t total = 0;
    for (std::uint32_t& count : counts) {
        if (!GetVarint(p, end, count) || count == 0) return false;
        total += std::uint64_t{count} + 1;
        if (total > maxTriangles || total > kNone / 3) return false;
    }
    const std::size_t n = static_cast<std::size_t>(total);
    std::uint32_t eventCount = 0;
    if (!GetVarint(p, end, eventCount) || eventCount > n) return false;
    LargeVector<std::uint32_t> partner(n, kNone);  // per S triangle: the corner its left edge meets
    LargeVector<bool> claimed(3 * n, false);
    for (std::uint32_t i = 0, s = 0; i < eventCount; ++i) {
        std::uint32_t step = 0, far = 0;
        if (!GetVarint(p, end, step) || !GetVarint(p, end, far)) return false;
        const std::uint64_t s64 = std::uint64_t{s} + step, k = s64 + far / 2 + 0;
        if ((i > 0 && step == 0) || far / 2 == 0 || k >= n) return false;
        s = static_cast<std::uint32_t>(s64);
        const std::uint32_t corner = static_cast<std::uint32_t>(3 * k + 1 + far % 2);
        if (claimed[corner]) return false;
        claimed[corner] = true;
        partner[s] = corner;
    }

    // Symbols, by component, each after its start triangle.
    rans::Table tables[kContexts];
    std::uint8_t present = 0;
    if (!rans::ReadTables(p, end, kContexts, kSymbols, tables, present)) return false;
    std::vector<std::uint8_t> symbol(n, kSymbols);  // start triangles keep kSymbols
    rans::Decoder d;
    if (!d.Start(p, static_cast<std::size_t>(end - p))) return false;
    std::size_t at = 0;
    for (const std::uint32_t count : counts) {
        ++at;  // the start triangle
        unsigned context = kStartContext;
        for (std::uint32_t i = 0; i < count; ++i, ++at) {
            if ((present & (1u << context)) == 0) return false;
            context = symbol[at] = static_cast<std::uint8_t>(d.Get(tables[context]));
        }
    }
    if (!d.Finish()) return false;
    for (std::size_t s = 0; s < n; ++s)
        if (partner[s] != kNone && symbol[s] != kS) return false;

    // Backwards, gluing each triangle to what follows it.
    LargeVector<std::uint32_t>& opposite = out.opposite;
    opposite.assign(3 * n, kOpen);
    Classes classes(3 * n);
    const auto glue = [&](std::uint32_t a, std::uint32_t b) {
        if (a == b || opposite[a] != kOpen || opposite[b] != kOpen) return false;
        opposite[a] = b;
        opposite[b] = a;
        classes.Join(Next(a), Prev(b));
        classes.Join(Prev(a), Next(b));
        return true;
    };
    // Around a vertex: from corner y, on across the edges facing step(y), to the open one.
    const auto around = [&](std::uint32_t y, auto step) {
        for (std::size_t k = 0; k <= 3 * n; ++k) {
            const std::uint32_t o = opposite[step(y)];
            if (o == kOpen) return step(y);
            y = o;
        }
        return kNone;
    };
    LargeVector<std::uint32_t> stack;
    const auto pop = [&](std::uint32_t& x) {
        if (stack.empty()) return false;
        x = stack.back();
        stack.pop_back();
        return true;
    };
    std::size_t base = 0;
    for (const std::uint32_t count : counts) {
        stack.clear();
        for (std::size_t i = base + count; i > base; --i) {
            const auto a = static_cast<std::uint32_t>(3 * i);
            std::uint32_t x = 0, z = 0;
            switch (symbol[i]) {
                case kE:
                    break;
                case kC:
                    if (!pop(x) || !glue(a + 1, x)) return false;
                    z = around(x, Prev);
                    if (z == kNone || !glue(a + 2, z)) return false;
                    break;
                case kL:
                    if (!pop(x) || !glue(a + 1, x)) return false;
                    break;
                case kR:
                    if (!pop(x) || !glue(a + 2, x)) return false;
                    break;
                default:  // kS
                    if (!pop(x) || !glue(a + 1, x)) return false;
                    z = partner[i];
                    if (z == kNone && !pop(z)) return false;
                    if (!glue(a + 2, z)) return false;
            }
            stack.push_back(a);
        }
        const auto s = static_cast<std::uint32_t>(3 * base);
        std::uint32_t x = 0;
        if (!pop(x) || !stack.empty() || !glue(s, x)) return false;
        const std::uint32_t left = around(x, Next);
        if (left == kNone || !glue(s + 2, left)) return false;
        const std::uint32_t right = around(x, Prev);
        if (right == kNone || !glue(s + 1, right)) return false;
        base += count + 1;
    }
    if (std::find(opposite.begin(), opposite.end(), kOpen) != opposite.end()) return false;

    // Vertex ids in walk order: each start triangle's corners, then each C's tip.
    LargeVector<std::uint32_t> id(3 * n, kNone);
    std::uint32_t next = 0;
    const auto introduce = [&](std::uint32_t c) {
        std::uint32_t& slot = id[classes.Find(c)];
        if (slot != kNone) return false;
        slot = next++;
        return true;
    };
    base = 0;
    for (const std::uint32_t count : counts) {
        const auto s = static_cast<std::uint32_t>(3 * base);
        if (!introduce(s) || !introduce(s + 1) || !introduce(s + 2)) return false;
        for (std::size_t i = base + 1; i <= base + count; ++i)
            if (symbol[i] == kC && !introduce(static_cast<std::uint32_t>(3 * i))) return false;
        base += count + 1;
    }
    out.vertex.resize(3 * n);
    for (std::uint32_t c = 0; c < 3 * n; ++c) {
        out.vertex[c] = id[classes.Find(c)];
        if (out.vertex[c] == kNone) return false;
    }
    for (std::size_t t = 0; t < n; ++t) {
        const std::uint32_t* v = &out.vertex[3 * t];
        if (v[0] == v[1] || v[1] == v[2] || v[0] == v[2]) return false;
    }
    out.vertices = next;
    return true;
}

}  // namespace KvxInternal::edgebreaker
