// Triangle meshes on the integer grid: the mesh class that hosts fill and receive.
//
// Storage is contiguous: points are 32-bit integer triples in one array, triangles (three point
// indices, a normal and a 16-bit colour code) in another. A point handle is the point's index,
// so handles stay valid while the mesh grows. Nothing is allocated per point or triangle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "maker/KvxExport.h"

// An integer point (the grid unit is the host's; the library never scales coordinates).
struct MMPoint3dIntegerTypes {
    std::int32_t x = 0, y = 0, z = 0;
    friend bool operator==(const MMPoint3dIntegerTypes&, const MMPoint3dIntegerTypes&) = default;
};

struct MStlPoint {
    std::int32_t x = 0, y = 0, z = 0;

    // Lexicographic (x, then y, then z): a strict weak order.
    friend bool operator<(const MStlPoint& a, const MStlPoint& b) {
        if (a.x != b.x) return a.x < b.x;
        if (a.y != b.y) return a.y < b.y;
        return a.z < b.z;
    }
    friend bool operator==(const MStlPoint&, const MStlPoint&) = default;
    explicit operator MMPoint3dIntegerTypes() const { return {x, y, z}; }
};

// An 8-bit RGB colour, or no colour (valid == false).
struct MStlColor {
    std::uint8_t red = 0, green = 0, blue = 0;
    bool valid = false;
    friend bool operator==(const MStlColor&, const MStlColor&) = default;
};

// The binary-STL facet colour code: bit 15 set when the colour is valid, then 5 bits of red
// (bits 10-14), green (5-9) and blue (0-4). 8-bit channels round to the nearest 5-bit level
// (v5 = (v8 * 31 + 127) / 255) and back (v8 = (v5 * 255 + 15) / 31), so a 5-bit colour read from a
// coloured STL survives the trip through 8 bits unchanged. No colour is the code 0.
KVX_API std::uint16_t ConvertTo16BitValue(const MStlColor& color);
KVX_API MStlColor ConvertFrom16BitValue(std::uint16_t value);

class MStlBase;

struct KVX_API MStlTriangle {
    std::uint32_t points[3] = {0, 0, 0};  // indices into the mesh's points, in stored order
    float normal[3] = {0, 0, 0};
    std::uint16_t color = 0;  // ConvertTo16BitValue code; 0: no colour

    // The unit normal of the triangle's points (zero for a degenerate triangle).
    void CalculateNormal(const MStlBase& mesh);
    void GetNormal(double out[3]) const;
    MStlColor GetColor() const { return ConvertFrom16BitValue(color); }
    void SetColor(const MStlColor& c) { color = ConvertTo16BitValue(c); }
    bool HasColor() const { return (color & 0x8000) != 0; }
};

// Long work reports its progress here (fractions from 0 to 1); hosts may pass none.
class KVX_API IProgressDelegate {
public:
    virtual ~IProgressDelegate() = default;
    virtual void Progress(double fraction) = 0;
};

class KVX_API MStlBase {
public:
    using PointHandle = std::uint32_t;
    using TriangleIterator = std::vector<MStlTriangle>::iterator;
    using ConstTriangleIterator = std::vector<MStlTriangle>::const_iterator;

    MStlBase() = default;
    virtual ~MStlBase();
    MStlBase(const MStlBase&) = default;
    MStlBase& operator=(const MStlBase&) = default;

    // Appends a point and returns its handle. `merge` is reserved (points are never merged).
    PointHandle AddPoint(std::int32_t x, std::int32_t y, std::int32_t z, bool merge = false);
    // Appends a triangle over three existing points and returns it (valid until the next
    // AddTriangle), or null when a handle is not a point of this mesh. `surface` is reserved.
    MStlTriangle* AddTriangle(PointHandle a, PointHandle b, PointHandle c,
                              const void* surface = nullptr);
    // Removes all points and triangles; `releaseMemory` also gives their memory back.
    void ClearStl(bool releaseMemory);
    // Sets the triangle capacity to at least `count` (0 with no triangles: releases it).
    void SetTriangleBufferSize(const std::size_t& count);
    void Reserve(std::size_t points, std::size_t triangles);

    // Recomputes the bounding box of the points that triangles use (all points when `allPoints`).
    void UpdateExtremes(bool allPoints = false);
    std::int32_t GetXMin() const { return min_.x; }
    std::int32_t GetXMax() const { return max_.x; }
    std::int32_t GetYMin() const { return min_.y; }
    std::int32_t GetYMax() const { return max_.y; }
    std::int32_t GetZMin() const { return min_.z; }
    std::int32_t GetZMax() const { return max_.z; }

    std::size_t NumberOfTriangles() const { return triangles_.size(); }
    std::size_t NumberOfPoints() const { return points_.size(); }
    TriangleIterator BeginTriangle() { return triangles_.begin(); }
    TriangleIterator EndTriangle() { return triangles_.end(); }
    ConstTriangleIterator BeginTriangle() const { return triangles_.begin(); }
    ConstTriangleIterator EndTriangle() const { return triangles_.end(); }
    const MStlPoint& GetPoint(PointHandle handle) const { return points_[handle]; }
    // Bulk read-only views.
    std::span<const MStlPoint> Points() const { return points_; }
    std::span<const MStlTriangle> Triangles() const { return triangles_; }
    // Bulk filling: replaces all points (triangles are dropped), or all triangles from index
    // triples and optional colour codes (one per triangle), computing their normals. SetTriangles
    // refuses (false, triangles unchanged) indices that are no point of the mesh or sizes that do
    // not match.
    void SetPoints(std::vector<MStlPoint> points);
    bool SetTriangles(std::span<const std::uint32_t> indices,
                      std::span<const std::uint16_t> colors = {});

    // SetTriangles for decoders: `decode` writes the 3 * count indices into the buffer it is
    // given (room for exactly that many) and returns whether it could. The triangles are
    // replaced only when it could and the indices and colours pass SetTriangles' checks;
    // otherwise they stay unchanged and the result is false.
    using IndexDecoder = std::function<bool(std::uint32_t* indices)>;
    bool DecodeTriangles(std::size_t count, const IndexDecoder& decode,
                         std::span<const std::uint16_t> colors = {});

    virtual bool HasColoredTriangles() const;
    // Hands all points and triangles to `target` (its own content is dropped) in constant time;
    // this mesh is left empty.
    virtual void MoveTo(MStlBase& target, std::shared_ptr<IProgressDelegate> progress);
    virtual void SetName(const std::wstring& name) { name_ = name; }
    const std::wstring& GetName() const { return name_; }

private:
    bool BuildTriangles(const std::uint32_t* indices, std::size_t count,
                        std::span<const std::uint16_t> colors,
                        std::vector<MStlTriangle>& triangles);

    std::vector<MStlPoint> points_;
    std::vector<MStlTriangle> triangles_;
    MStlPoint min_, max_;
    std::wstring name_;
};

// An operation on data of type T (the mesh compressor is one).
template <class T>
class MOperator {
public:
    virtual ~MOperator() = default;
    void SetDataPointer(T* data) { data_ = data; }
    T* GetDataPointer() const { return data_; }
    virtual bool Operate(std::shared_ptr<IProgressDelegate> progress) = 0;

protected:
    T* data_ = nullptr;
};
