#include "mesh/STLData.h"

#include "maker/Logging.h"
#include "maker/MStlCompressor.h"
#include "maker/ReadBudget.h"
#include "maker/Text.h"

namespace KvxInternal {

KVX_REGISTER_CLASS(IVSTLData, "IVSTL", 2, 0, &Make<IVSTLData>)
KVX_REGISTER_CLASS(IVParSTLData, "PSTL", 2, 0, &Make<IVParSTLData>)
KVX_CLASS_CHUNKS(IVParSTLData)

namespace {

constexpr std::size_t kLegacyFileBuffer = 0x40000;

// Encodes or decodes; `readCost` receives what reading the payload charges (or will charge) to
// a reader's budget.
bool RunCompressor(MFile& file, MStlBase& mesh, std::uint64_t& readCost,
                   std::uint64_t& triangleCount) {
    MStlCompressor compressor;
    compressor.SetDataPointer(&mesh);
    compressor.SetFile(&file);
    const MReadSession* session = MReadSession::Of(file);
    compressor.SetCheckOnly(session != nullptr && session->CheckOnly());
    const bool ok = compressor.Operate(nullptr);
    readCost = compressor.ReadCost();
    triangleCount =
        ok && file.IsReading() ? compressor.DecodedTriangles() : mesh.NumberOfTriangles();
    return ok;
}

// The fewest bytes (1 to 4) that hold `value`.
std::size_t Width(std::uint64_t value) {
    return value <= 0xFF ? 1 : value <= 0xFFFF ? 2 : value <= 0xFFFFFF ? 3 : 4;
}

}  // namespace

// --- IVSTLData ---------------------------------------------------------------------------------

// The payload is the compressed mesh; a failed encode fails the write (a file is never written
// with triangles missing).
bool IVSTLData::Write(MFile& file) {
    return WriteClassChunk(
        *this, file, [this](MFile& f) { return RunCompressor(f, *mesh, readCost, triangleCount); });
}

bool IVSTLData::Read(MFile& file) {
    MTag tag;
    if (!tag.READ(file)) return false;
    if (tag.GetVersion() < 2) {
        const MFile::Limit limit(file, tag.GetEndPosition());
        return ReadTriangleData(file, tag.GetVersion());
    }
    MTagList list;
    if (!list.BUILD_TAG_LIST(file, tag, false)) return false;
    MTag base("IVDEPD");
    if (const MTag* found = list.FIND_TAG(nullptr, base, 0, false)) {
        if (!file.SEEK(found->GetHeaderPosition()) || !IVDependency::Read(file)) return false;
    }
    // Unlike most classes, a mesh without its "DATA" chunk is unreadable.
    MTag data("DATA", 2, 0);
    if (list.FIND_TAG_EX(nullptr, data, 1, 0, true) == nullptr) return false;
    const MFile::Limit limit(file, data.GetEndPosition());
    return ReadTriangleData(file, data.GetVersion());
}

bool IVSTLData::ReadTriangleData(MFile& file, std::uint8_t version) {
    if (version == 0) return false;
    dataPosition = file.TELL();
    dataEnd = dataPosition + file.REMAINING();
    storageKind = version == 1 ? StorageLegacy : StorageCompressed;
    return ReadTriangles(file);
}

bool IVSTLData::ReadTriangles(MFile& file) {
    switch (storageKind) {
        case StorageNone:
            return true;
        case StorageLegacy: {
            const MReadBudget* budget = ReadBudgetOf(file);
            const std::uint64_t before = budget != nullptr ? budget->Used() : 0;
            const bool ok = ReadLegacyTriangles(file, *mesh);
            readCost = budget != nullptr ? budget->Used() - before : 0;
            triangleCount = mesh->NumberOfTriangles();
            return ok;
        }
        case StorageCompressed:
            mesh->ClearStl(true);
            return RunCompressor(file, *mesh, readCost, triangleCount);
    }
    return false;
}

bool IVSTLData::LoadTriangleData() {
    MFile file(kLegacyFileBuffer);
    if (!file.OPEN_READ(sourceFile.GET())) {
        GetLogger().Log(LogMessage(
            FormatString(L"<IVSTLData::LoadTriangleData> Cannot open the '%ls' STL data file.",
                         sourceFile.GET().c_str())));
        return false;
    }
    // The mesh costs what it cost when the file was first read, which its import has reserved.
    const MReadSession session(file, readCost != 0 ? readCost : UINT64_MAX);
    if (!file.SEEK(dataPosition) || dataEnd < dataPosition) {
        GetLogger().Log(
            LogMessage(FormatString(L"<IVSTLData::LoadTriangleData> Cannot seek to %ld in '%ls'",
                                    static_cast<long>(dataPosition), sourceFile.GET().c_str())));
        return false;
    }
    // The triangles end where their chunk ended when the file was first read.
    const MFile::Limit limit(file, dataEnd);
    return ReadTriangles(file);
}

bool IVSTLData::UnloadTriangleData() {
    mesh->ClearStl(true);
    const std::size_t none = 0;
    mesh->SetTriangleBufferSize(none);
    return true;
}

void IVSTLData::CopyFrom(MDynBase& source) {
    IVDependency::CopyFrom(source);
}

void IVSTLData::GetBoundingBox(float& xMin, float& xMax, float& yMin, float& yMax, float& zMin,
                               float& zMax) {
    xMin = static_cast<float>(mesh->GetXMin()), xMax = static_cast<float>(mesh->GetXMax());
    yMin = static_cast<float>(mesh->GetYMin()), yMax = static_cast<float>(mesh->GetYMax());
    zMin = static_cast<float>(mesh->GetZMin()), zMax = static_cast<float>(mesh->GetZMax());
}

MHDynBase IVSTLData::CreateParameter() {
    MHDynBase parameter;
    parameter.AdoptNew("IVParSTLData");
    if (IVParClip* clip = parameter.As<IVParClip>()) {
        clip->clipVector1[0] = clip->clipVector1[1] = clip->clipVector1[2] = 0.0f;
        clip->clipFlag = false;
    }
    return parameter;
}

bool ReadLegacyTriangles(MFile& file, MStlBase& mesh) {
    mesh.ClearStl(true);
    std::int32_t corners[6];
    std::uint32_t pointCount = 0;
    if (file.READ(corners, 6) != 6 || !ReadOne(file, pointCount)) return false;
    std::int32_t extent = 0;
    for (int axis = 0; axis < 3; ++axis) {
        // Signed 32-bit difference: an upper corner below the lower one gives a negative extent.
        const auto d = static_cast<std::int32_t>(static_cast<std::uint32_t>(corners[3 + axis]) -
                                                 static_cast<std::uint32_t>(corners[axis]));
        extent = std::max(extent, d);
    }
    const std::size_t w = Width(static_cast<std::uint32_t>(extent));
    if (std::uint64_t{pointCount} * 3 * w > static_cast<std::uint64_t>(file.REMAINING()) ||
        !TakeReadBudget(file, pointCount, sizeof(MStlPoint)))
        return false;
    std::vector<MStlPoint> points(pointCount);
    for (MStlPoint& p : points) {
        std::uint32_t d[3];
        for (std::uint32_t& v : d)
            if (file.READ_AS_BYTE_ARRAY(&v, w) != w) return false;
        p = {static_cast<std::int32_t>(static_cast<std::uint32_t>(corners[0]) + d[0]),
             static_cast<std::int32_t>(static_cast<std::uint32_t>(corners[1]) + d[1]),
             static_cast<std::int32_t>(static_cast<std::uint32_t>(corners[2]) + d[2])};
    }
    std::uint32_t triangleCount = 0;
    if (!ReadOne(file, triangleCount)) return false;
    const std::size_t width = Width(pointCount);
    if (std::uint64_t{triangleCount} * 3 * width > static_cast<std::uint64_t>(file.REMAINING()) ||
        !TakeReadBudget(file, triangleCount, sizeof(MStlTriangle) + 3 * sizeof(std::uint32_t)))
        return false;
    std::vector<std::uint32_t> indices(std::size_t{triangleCount} * 3);
    for (std::uint32_t& i : indices)
        if (file.READ_AS_BYTE_ARRAY(&i, width) != width) return false;
    mesh.SetPoints(std::move(points));
    if (!mesh.SetTriangles(indices)) {
        mesh.ClearStl(true);
        return false;
    }
    mesh.UpdateExtremes(true);
    return true;
}

// --- IVParSTLData ------------------------------------------------------------------------------

IVParSTLData::IVParSTLData() {
    triangleColors[0] = {0, 0, 0, 0};
    triangleColors[1] = {32, 32, 32, 0};
    triangleColors[2] = {192, 192, 192, 0};
    triangleColors[3] = {32, 0, 0, 0};
    triangleColors[4] = {192, 0, 0, 0};
}

bool IVParSTLData::WriteFields(MFile& file) {
    for (const std::int32_t* v : {&stlValue1, &stlValue2, &stlValue3})
        if (file.WRITE(v, 1) != 1) return false;
    return WriteColorRecord(file, stlColor1) && WriteColorRecord(file, stlColor2) &&
           WriteColorRecord(file, stlColor3) && WriteColorRecord(file, stlColor4);
}

bool IVParSTLData::ReadFields(MFile& file, std::uint8_t version, std::uint8_t) {
    return version == 2 && ReadOne(file, stlValue1) && ReadOne(file, stlValue2) &&
           ReadOne(file, stlValue3) && ReadColorRecord(file, stlColor1) &&
           ReadColorRecord(file, stlColor2) && ReadColorRecord(file, stlColor3) &&
           ReadColorRecord(file, stlColor4);
}

void IVParSTLData::CopyFrom(MDynBase& source) {
    if (IVParSTLData* other = Cast<IVParSTLData>(&source)) {
        stlValue1 = other->stlValue1, stlValue2 = other->stlValue2, stlValue3 = other->stlValue3;
        stlColor1 = other->stlColor1, stlColor2 = other->stlColor2;
        stlColor3 = other->stlColor3, stlColor4 = other->stlColor4;
    }
    CopyFromBases(this, source);
}

}  // namespace KvxInternal
