#include "maker/MStlBase.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

std::uint16_t ConvertTo16BitValue(const MStlColor& color) {
    if (!color.valid) return 0;
    auto five = [](std::uint8_t v) { return static_cast<std::uint16_t>((v * 31 + 127) / 255); };
    return static_cast<std::uint16_t>(0x8000 | five(color.red) << 10 | five(color.green) << 5 |
                                      five(color.blue));
}

MStlColor ConvertFrom16BitValue(std::uint16_t value) {
    if ((value & 0x8000) == 0) return MStlColor{};
    auto eight = [](unsigned v) { return static_cast<std::uint8_t>((v * 255 + 15) / 31); };
    return MStlColor{eight((value >> 10) & 31), eight((value >> 5) & 31), eight(value & 31), true};
}

namespace {

// The cross product (b - a) x (c - a) in double: integer differences up to 2^32 multiply
// without overflow.
void Cross(const MStlPoint& a, const MStlPoint& b, const MStlPoint& c, double n[3]) {
    const double u[3] = {double(b.x) - a.x, double(b.y) - a.y, double(b.z) - a.z};
    const double v[3] = {double(c.x) - a.x, double(c.y) - a.y, double(c.z) - a.z};
    n[0] = u[1] * v[2] - u[2] * v[1];
    n[1] = u[2] * v[0] - u[0] * v[2];
    n[2] = u[0] * v[1] - u[1] * v[0];
}

// 1 / |n| in single precision for a squared length of a cross product of integer points, which
// is 0 or at least 1 and below 2^130. It is scaled by 2^-64 to fit a float and the factor by
// 2^-32 back (both exact); a non-zero length then stays far above the smallest float, so adding
// that changes nothing, while zero gets a finite factor for its zero vector. No branch, so
// batches vectorise.
inline float InverseLength(double length2) {
    const float scaled = static_cast<float>(length2 * 0x1p-64);
    return 1.0f / std::sqrt(scaled + std::numeric_limits<float>::min()) * 0x1p-32f;
}

// The unit normal of a, b, c (zero when degenerate), computed exactly as the batches in
// SetTriangles do, so that both give the same bits.
void UnitNormal(const MStlPoint& a, const MStlPoint& b, const MStlPoint& c, float out[3]) {
    double e[3];
    Cross(a, b, c, e);
    const float f = InverseLength(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
    for (int i = 0; i < 3; ++i)
        out[i] = static_cast<float>(e[i]) * f;
}

}  // namespace

void MStlTriangle::CalculateNormal(const MStlBase& mesh) {
    UnitNormal(mesh.GetPoint(points[0]), mesh.GetPoint(points[1]), mesh.GetPoint(points[2]),
               normal);
}

void MStlTriangle::GetNormal(double out[3]) const {
    for (int i = 0; i < 3; ++i)
        out[i] = normal[i];
}

MStlBase::~MStlBase() = default;

MStlBase::PointHandle MStlBase::AddPoint(std::int32_t x, std::int32_t y, std::int32_t z, bool) {
    points_.push_back(MStlPoint{x, y, z});
    return static_cast<PointHandle>(points_.size() - 1);
}

MStlTriangle* MStlBase::AddTriangle(PointHandle a, PointHandle b, PointHandle c, const void*) {
    const std::size_t n = points_.size();
    if (a >= n || b >= n || c >= n) return nullptr;
    MStlTriangle& t = triangles_.emplace_back();
    t.points[0] = a, t.points[1] = b, t.points[2] = c;
    return &t;
}

void MStlBase::SetPoints(std::vector<MStlPoint> points) {
    triangles_.clear();
    points_ = std::move(points);
}

bool MStlBase::SetTriangles(std::span<const std::uint32_t> indices,
                            std::span<const std::uint16_t> colors) {
    const std::size_t count = indices.size() / 3;
    if (indices.size() % 3 != 0) return false;
    std::vector<MStlTriangle> triangles;
    triangles.reserve(count);
    return BuildTriangles(indices.data(), count, colors, triangles);
}

bool MStlBase::DecodeTriangles(std::size_t count, const IndexDecoder& decode,
                               std::span<const std::uint16_t> colors) {
    if (count > std::numeric_limits<std::size_t>::max() / (3 * sizeof(std::uint32_t)) ||
        (!colors.empty() && colors.size() != count))
        return false;
    // Written in full by the decoder, so not cleared first.
    const auto indices = std::make_unique_for_overwrite<std::uint32_t[]>(3 * count);
    if (!decode(indices.get())) return false;
    std::vector<MStlTriangle> triangles;
    triangles.reserve(count);
    return BuildTriangles(indices.get(), count, colors, triangles);
}

bool MStlBase::BuildTriangles(const std::uint32_t* indices, std::size_t count,
                              std::span<const std::uint16_t> colors,
                              std::vector<MStlTriangle>& triangles) {
    if (!colors.empty() && colors.size() != count) return false;
    // Batches: each copies its indices first (they may share storage with the triangles being
    // written) and checks them, gathers the edge vectors, computes the cross products in double,
    // then the square roots and divisions in single precision (the normal is a float anyway),
    // and writes each triangle once.
    const MStlPoint* p = points_.data();
    const std::size_t pointCount = points_.size();
    constexpr std::size_t kBatch = 256;
    std::uint32_t i[3 * kBatch];
    // Structure of arrays, so that the arithmetic loops vectorise.
    double u[3][kBatch], v[3][kBatch];
    double length2[kBatch];
    float n[3][kBatch], inverse[kBatch];
    for (std::size_t first = 0; first < count; first += kBatch) {
        const std::size_t size = std::min(kBatch, count - first);
        std::memcpy(i, indices + 3 * first, 3 * size * sizeof(std::uint32_t));
        std::uint32_t largest = 0;  // branch-free, so it vectorises
        for (std::size_t k = 0; k < 3 * size; ++k)
            largest = std::max(largest, i[k]);
        if (largest >= pointCount) return false;
        for (std::size_t k = 0; k < size; ++k) {
            const MStlPoint &a = p[i[3 * k]], &b = p[i[3 * k + 1]], &c = p[i[3 * k + 2]];
            u[0][k] = double(b.x) - a.x, u[1][k] = double(b.y) - a.y, u[2][k] = double(b.z) - a.z;
            v[0][k] = double(c.x) - a.x, v[1][k] = double(c.y) - a.y, v[2][k] = double(c.z) - a.z;
        }
        for (std::size_t k = 0; k < size; ++k) {
            const double e0 = u[1][k] * v[2][k] - u[2][k] * v[1][k];
            const double e1 = u[2][k] * v[0][k] - u[0][k] * v[2][k];
            const double e2 = u[0][k] * v[1][k] - u[1][k] * v[0][k];
            length2[k] = e0 * e0 + e1 * e1 + e2 * e2;
            n[0][k] = static_cast<float>(e0), n[1][k] = static_cast<float>(e1),
            n[2][k] = static_cast<float>(e2);
        }
        for (std::size_t k = 0; k < size; ++k)
            inverse[k] = InverseLength(length2[k]);
        for (std::size_t k = 0; k < size; ++k) {
            const float f = inverse[k];
            triangles.push_back(
                MStlTriangle{{i[3 * k], i[3 * k + 1], i[3 * k + 2]},
                             {n[0][k] * f, n[1][k] * f, n[2][k] * f},
                             colors.empty() ? std::uint16_t{0} : colors[first + k]});
        }
    }
    triangles_ = std::move(triangles);
    return true;
}

void MStlBase::ClearStl(bool releaseMemory) {
    points_.clear();
    triangles_.clear();
    if (releaseMemory) {
        points_.shrink_to_fit();
        triangles_.shrink_to_fit();
    }
    min_ = max_ = MStlPoint{};
}

void MStlBase::SetTriangleBufferSize(const std::size_t& count) {
    if (count > triangles_.capacity()) {
        triangles_.reserve(count);
    } else if (count == 0 && triangles_.empty()) {
        triangles_.shrink_to_fit();
    }
}

void MStlBase::Reserve(std::size_t points, std::size_t triangles) {
    points_.reserve(points);
    triangles_.reserve(triangles);
}

void MStlBase::UpdateExtremes(bool allPoints) {
    constexpr std::int32_t lo = std::numeric_limits<std::int32_t>::min();
    constexpr std::int32_t hi = std::numeric_limits<std::int32_t>::max();
    MStlPoint mn{hi, hi, hi}, mx{lo, lo, lo};
    bool any = false;
    auto take = [&](const MStlPoint& p) {
        mn = {std::min(mn.x, p.x), std::min(mn.y, p.y), std::min(mn.z, p.z)};
        mx = {std::max(mx.x, p.x), std::max(mx.y, p.y), std::max(mx.z, p.z)};
        any = true;
    };
    if (allPoints) {
        for (const MStlPoint& p : points_)
            take(p);
    } else {
        for (const MStlTriangle& t : triangles_)
            for (std::uint32_t i : t.points)
                take(points_[i]);
    }
    min_ = any ? mn : MStlPoint{};
    max_ = any ? mx : MStlPoint{};
}

bool MStlBase::HasColoredTriangles() const {
    return std::any_of(triangles_.begin(), triangles_.end(),
                       [](const MStlTriangle& t) { return t.HasColor(); });
}

void MStlBase::MoveTo(MStlBase& target, std::shared_ptr<IProgressDelegate> progress) {
    if (&target == this) return;
    target.points_ = std::move(points_);
    target.triangles_ = std::move(triangles_);
    target.min_ = min_;
    target.max_ = max_;
    points_.clear();
    triangles_.clear();
    min_ = max_ = MStlPoint{};
    if (progress) progress->Progress(1.0);
}
