#include "maker/CornerTable.h"

#include <algorithm>

namespace KvxInternal {

namespace {

// A directed edge of a kept triangle, filed under its smaller end point: the other end, which
// way it runs, and the corner opposite it.
struct EdgeEntry {
    std::uint64_t key;  // larger end << 1 | (runs from the larger end)
    std::uint32_t corner;
    bool operator<(const EdgeEntry& o) const {
        return key != o.key ? key < o.key : corner < o.corner;
    }
};

// Counting sort of `count` items by `bucketOf(i)` (below `buckets`): the start of each bucket
// in the order, and the order.
template <typename BucketOf>
void BucketSort(std::size_t count, std::size_t buckets, BucketOf bucketOf,
                LargeVector<std::uint32_t>& start, LargeVector<std::uint32_t>& order) {
    start.assign(buckets + 1, 0);
    for (std::size_t i = 0; i < count; ++i)
        ++start[bucketOf(i) + 1];
    for (std::size_t b = 0; b < buckets; ++b)
        start[b + 1] += start[b];
    order.resize(count);
    LargeVector<std::uint32_t> fill(start.begin(), start.end() - 1);
    for (std::size_t i = 0; i < count; ++i)
        order[fill[bucketOf(i)]++] = static_cast<std::uint32_t>(i);
}

}  // namespace

CornerTable::CornerTable(const std::uint32_t* indices, std::size_t triangles, std::uint32_t points)
    : points(points), used(points, false) {
    vertex.reserve(3 * triangles);
    triangle.reserve(triangles);
    for (std::size_t t = 0; t < triangles; ++t) {
        const std::uint32_t a = indices[3 * t], b = indices[3 * t + 1], c = indices[3 * t + 2];
        if (a == b || b == c || a == c) {
            loose.push_back(static_cast<std::uint32_t>(t));
            continue;
        }
        triangle.push_back(static_cast<std::uint32_t>(t));
        vertex.insert(vertex.end(), {a, b, c});
        used[a] = used[b] = used[c] = true;
    }
    const std::size_t n = vertex.size();
    opposite.assign(n, kBorder);

    // Pairing: the edges of each smaller end point, sorted by the other end and direction. A
    // run of one edge each way is a shared edge; anything else leaves its edges as borders.
    LargeVector<std::uint32_t> start, order;
    const auto lowEnd = [&](std::size_t c) {
        return std::min(vertex[Next(static_cast<std::uint32_t>(c))],
                        vertex[Prev(static_cast<std::uint32_t>(c))]);
    };
    BucketSort(n, points, lowEnd, start, order);
    LargeVector<EdgeEntry> entries(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t c = order[i];
        const std::uint32_t from = vertex[Next(c)], to = vertex[Prev(c)];
        entries[i] = {std::uint64_t{std::max(from, to)} << 1 | (from > to), c};
    }
    for (std::size_t p = 0; p < points; ++p) {
        const auto first = entries.begin() + start[p], last = entries.begin() + start[p + 1];
        std::sort(first, last);
        for (auto run = first; run != last;) {
            auto end = run + 1;
            while (end != last && end->key >> 1 == run->key >> 1)
                ++end;
            if (end - run == 2 && (run->key & 1) == 0 && ((run + 1)->key & 1) == 1) {
                opposite[run->corner] = (run + 1)->corner;
                opposite[(run + 1)->corner] = run->corner;
            }
            run = end;
        }
    }
    LargeVector<EdgeEntry>().swap(entries);

    // Fans: around each vertex, the corners reachable by crossing shared edges. The first fan
    // keeps the vertex id, the others become copies.
    BucketSort(
        n, points, [&](std::size_t c) { return vertex[c]; }, start, order);
    LargeVector<bool> seen(n, false);
    LargeVector<std::uint32_t> fan;
    for (std::size_t p = 0; p < points; ++p) {
        bool first = true;
        for (std::uint32_t i = start[p]; i < start[p + 1]; ++i) {
            const std::uint32_t c0 = order[i];
            if (seen[c0]) continue;
            // Back to the fan's first corner (or once round a closed fan), then forwards.
            std::uint32_t c = c0;
            for (;;) {
                const std::uint32_t o = opposite[Next(c)];
                if (o == kBorder) break;
                const std::uint32_t back = Next(o);
                if (back == c0) break;
                c = back;
            }
            fan.clear();
            for (const std::uint32_t begin = c;;) {
                fan.push_back(c);
                seen[c] = true;
                const std::uint32_t o = opposite[Prev(c)];
                if (o == kBorder) break;
                c = Prev(o);
                if (c == begin) break;
            }
            if (!first) {
                const auto copy = static_cast<std::uint32_t>(points + original.size());
                original.push_back(static_cast<std::uint32_t>(p));
                for (const std::uint32_t f : fan)
                    vertex[f] = copy;
            }
            first = false;
        }
    }
}

}  // namespace KvxInternal
