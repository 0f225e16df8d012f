// Mesh objects (IVSTLData) and their parameter records (IVParSTLData).
//
// An IVSTLData's "DATA" chunk holds its triangles: version 2 or more, a compressed mesh payload
// (MStlCompressor); version 1, the older indexed layout (read only); version 0 fails. A flat-form
// "IVSTL" chunk (version below 2) carries its payload right after the header. The triangles of
// an object read from a file can be released and decoded again later from the same file
// (UnloadTriangleData, LoadTriangleData), so that an import holds one mesh at a time.
//
// Reading is safe on untrusted input: counts are checked against the bytes that remain before
// anything is allocated, every point index is checked, and a damaged payload fails the read.
#pragma once

#include <cstdint>

#include "maker/MFileName.h"
#include "mesh/MeshBridge.h"
#include "scene/Dependencies.h"
#include "scene/Parameters.h"

namespace KvxInternal {

class IVSTLData : public IVDependency, public MStlBaseWrapperForIVStlData {
    KVX_DYNAMIC_CLASS(IVSTLData, IVDependency)

public:
    enum StorageKind : std::int32_t { StorageNone, StorageLegacy, StorageCompressed };

    IVSTLData() : IVObject(kKindMesh) {}

    bool Write(MFile& file) override;
    bool Read(MFile& file) override;
    void CopyFrom(MDynBase& source) override;
    // The mesh's extremes, in its integer units, as floats.
    void GetBoundingBox(float& xMin, float& xMax, float& yMin, float& yMax, float& zMin,
                        float& zMax) override;
    // A new IVParSTLData with clipVector1 (0, 0, 0) and clipFlag false.
    MHDynBase CreateParameter() override;

    // Decodes the triangles again from sourceFile at dataPosition; logs and fails when the file
    // cannot be opened or the position reached.
    bool LoadTriangleData();
    // Drops the triangles and their buffer.
    bool UnloadTriangleData();
    void ApplyTriangleColors(const IVColorArray& colors) {
        KvxInternal::ApplyTriangleColors(*mesh, colors);
    }
    void CollectTriangleColors(IVColorArray& colors) const {
        KvxInternal::CollectTriangleColors(*mesh, colors);
    }

    MFileName sourceFile;
    StorageKind storageKind = StorageNone;
    std::int64_t dataPosition = 0;
    std::int64_t dataEnd = 0;  // the end of the chunk that holds them
    // What reading the triangles charges to a reader's budget: recorded when they are read or
    // written, and the budget that LoadTriangleData reads them under again.
    std::uint64_t readCost = 0;
    // The triangles found when they were last read or written, also when the read only checked
    // them (a read session that is CheckOnly leaves the mesh empty).
    std::uint64_t triangleCount = 0;

private:
    bool ReadTriangleData(MFile& file, std::uint8_t version);
    bool ReadTriangles(MFile& file);
};

// The older indexed layout: the lower and upper corners (6 int32), the point count and points
// as unsigned offsets from the lower corner in W bytes each (W: the fewest bytes that hold the
// largest extent), then the triangle count and point indices in I bytes each (I: the fewest bytes
// that hold the point count). Fails on short data, counts the bytes left cannot hold, and
// indices that are no point.
bool ReadLegacyTriangles(MFile& file, MStlBase& mesh);

class IVParSTLData : public IVParTriangle, public IVParBaseLine, public IVParClip {
    KVX_DYNAMIC_CLASS(IVParSTLData, IVParTriangle, IVParBaseLine, IVParClip)

public:
    IVParSTLData();

    std::int32_t stlValue1 = 3;
    std::int32_t stlValue2 = 0;
    std::int32_t stlValue3 = 2;
    ColorRecord stlColor1{255, 255, 255, 0};
    ColorRecord stlColor2{0, 0, 0, 0};
    ColorRecord stlColor3{255, 255, 0, 0};
    ColorRecord stlColor4{255, 255, 0, 0};

    KVX_CLASS_CHUNK_MEMBERS
};

}  // namespace KvxInternal
