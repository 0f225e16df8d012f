#include "maker/MSection.h"

#include <unordered_map>

namespace {

std::uint64_t EdgeKey(std::uint32_t a, std::uint32_t b) {
    return a < b ? (std::uint64_t{a} << 32 | b) : (std::uint64_t{b} << 32 | a);
}

}  // namespace

bool MSection::MakeSection(float dx, float dy, float dz, float px, float py, float pz) {
    Clear();
    if (mesh_ == nullptr || (dx == 0 && dy == 0 && dz == 0)) return false;
    const MStlBase& mesh = *mesh_;
    const double n[3] = {dx, dy, dz};
    const double offset = n[0] * px + n[1] * py + n[2] * pz;

    // Signed distances (scaled) of the points, computed once.
    std::vector<double> side(mesh.NumberOfPoints());
    for (std::size_t i = 0; i < side.size(); ++i) {
        const MStlPoint& p = mesh.GetPoint(static_cast<MStlBase::PointHandle>(i));
        side[i] = n[0] * p.x + n[1] * p.y + n[2] * p.z - offset;
    }
    auto positive = [&](std::uint32_t i) { return side[i] >= 0; };

    // One segment per cut triangle, between two crossed edges.
    struct Segment {
        std::uint64_t ends[2];
        MSectionPoint points[2];
        bool used = false;
    };
    std::vector<Segment> segments;
    auto cross = [&](std::uint32_t a, std::uint32_t b) {
        const MStlPoint& pa = mesh.GetPoint(a);
        const MStlPoint& pb = mesh.GetPoint(b);
        const double t = side[a] / (side[a] - side[b]);
        return MSectionPoint{static_cast<float>(pa.x + t * (double(pb.x) - pa.x)),
                             static_cast<float>(pa.y + t * (double(pb.y) - pa.y)),
                             static_cast<float>(pa.z + t * (double(pb.z) - pa.z))};
    };
    for (const MStlTriangle& t : mesh.Triangles()) {
        Segment s;
        int found = 0;
        for (int e = 0; e < 3; ++e) {
            const std::uint32_t a = t.points[e], b = t.points[(e + 1) % 3];
            if (positive(a) == positive(b)) continue;
            // Interpolate from the lower index so both triangles of an edge give the same point.
            s.points[found] = a < b ? cross(a, b) : cross(b, a);
            s.ends[found] = EdgeKey(a, b);
            ++found;
        }
        if (found == 2) segments.push_back(s);
    }

    // Chain segments through shared edges.
    std::unordered_multimap<std::uint64_t, std::size_t> byEdge;
    byEdge.reserve(2 * segments.size());
    for (std::size_t i = 0; i < segments.size(); ++i)
        for (std::uint64_t key : segments[i].ends)
            byEdge.emplace(key, i);
    auto nextAt = [&](std::uint64_t key) -> std::ptrdiff_t {
        auto [first, last] = byEdge.equal_range(key);
        for (auto it = first; it != last; ++it)
            if (!segments[it->second].used) return static_cast<std::ptrdiff_t>(it->second);
        return -1;
    };
    // Follows the chain from `key` on, appending the far end of each segment met.
    auto walk = [&](std::uint64_t key, std::vector<MSectionPoint>& out) {
        for (std::ptrdiff_t i = nextAt(key); i >= 0; i = nextAt(key)) {
            Segment& s = segments[static_cast<std::size_t>(i)];
            s.used = true;
            const int far = s.ends[0] == key ? 1 : 0;
            out.push_back(s.points[far]);
            key = s.ends[far];
        }
        return key;
    };
    std::vector<MSectionPoint> backward;
    for (Segment& start : segments) {
        if (start.used) continue;
        start.used = true;
        Contour& contour = NewContour();
        contour.points.push_back(start.points[0]);
        contour.points.push_back(start.points[1]);
        const std::uint64_t end = walk(start.ends[1], contour.points);
        if (end == start.ends[0]) {
            contour.points.pop_back();  // back at the first point
            contour.closed = true;
            continue;
        }
        backward.clear();
        walk(start.ends[0], backward);
        contour.points.insert(contour.points.begin(), backward.rbegin(), backward.rend());
    }
    return true;
}
