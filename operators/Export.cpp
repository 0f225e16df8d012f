#include <algorithm>
#include <optional>
#include <span>

#include "container/Envelope.h"
#include "maker/FileReplace.h"
#include "maker/MFile.h"
#include "maker/ReadBudget.h"
#include "mesh/STLData.h"
#include "operators/MStlOperatorKVX.h"
#include "operators/Package.h"
#include "persistence/Identity.h"
#include "scene/ColorArray.h"

using namespace KvxInternal;

namespace {

// Upper bounds of what the reader charges to its budget for the objects an export writes
// (maker/ReadBudget.h): an object with its small fields, scene record and chunk lists; a
// character of a name (kept wide, converted from up to 4 bytes); and the scratch space of one
// object's reading.
constexpr std::uint64_t kObjectAllowance = 4096;
constexpr std::uint64_t kNameAllowance = 4 * (sizeof(wchar_t) + 1);
constexpr std::uint64_t kReadAllowance = std::uint64_t{1} << 20;

// A colour array is charged as the values it holds and the records of its code.
std::uint64_t ColorArrayReadCost(std::int32_t count) {
    const auto n = static_cast<std::uint64_t>(std::max(count, 0));
    return n * sizeof(std::uint16_t) + 64 * std::min<std::uint64_t>(n, 65536);
}

// A 64-bit digest of what an export writes (FNV-1a over 64-bit words, then a final mix), the
// seed of its ids when they must follow from the content.
class ContentDigest {
public:
    void Add(std::uint64_t word) { hash_ = (hash_ ^ word) * 0x100000001B3ull; }
    template <class T>
    void AddAll(std::span<const T> values) {
        Add(values.size());
        for (const T& v : values)
            Add(static_cast<std::uint64_t>(v));
    }
    void Add(const std::wstring& text) {
        Add(text.size());
        for (const wchar_t c : text)
            Add(static_cast<std::uint64_t>(c));
    }
    std::uint64_t Value() const {
        std::uint64_t x = hash_;
        x ^= x >> 30;
        x *= 0xBF58476D1CE4E5B9ull;
        x ^= x >> 27;
        x *= 0x94D049BB133111EBull;
        return x ^ (x >> 31);
    }

private:
    std::uint64_t hash_ = 0xCBF29CE484222325ull;
};

}  // namespace

MStlOperatorKVXExport::MStlOperatorKVXExport() = default;
MStlOperatorKVXExport::~MStlOperatorKVXExport() = default;

void MStlOperatorKVXExport::SetFileName(const std::wstring& fileName) {
    fileName_ = fileName;
}
void MStlOperatorKVXExport::SetPassword(const std::wstring& password) {
    password_ = password;
}
void MStlOperatorKVXExport::SetSelfExtractingPath(const std::wstring& stubPath) {
    selfExtractingPath_ = stubPath;
}
void MStlOperatorKVXExport::ExportTriangleColor(bool exportColors) {
    exportTriangleColor_ = exportColors;
}
void MStlOperatorKVXExport::AddStl(MStlBase* mesh, const std::wstring& name) {
    meshes_.emplace_back(mesh, name);
}
void MStlOperatorKVXExport::AddDataBlock(const std::vector<unsigned short>& block) {
    dataBlocks_.push_back(block);
}
void MStlOperatorKVXExport::SetReproducible(bool reproducible) {
    reproducible_ = reproducible;
}
MStlOperatorKVXExport::ExportResults MStlOperatorKVXExport::GetExportResults() {
    return result_;
}

bool MStlOperatorKVXExport::Operate() {
    if (fileName_.empty()) {
        result_ = ExportNoFileName;
        return false;
    }
    if (meshes_.empty()) {
        result_ = ExportNoMeshes;
        return false;
    }
    std::optional<SeededIds> seededIds;
    if (reproducible_) {
        ContentDigest digest;
        digest.Add(exportTriangleColor_ ? 1 : 0);
        digest.Add(password_);
        digest.Add(selfExtractingPath_.empty() ? 0 : 1);
        for (const auto& [mesh, name] : meshes_) {
            digest.Add(name);
            digest.Add(mesh->NumberOfPoints());
            for (const MStlPoint& p : mesh->Points())
                digest.Add(std::uint64_t{static_cast<std::uint32_t>(p.x)} << 32 |
                           static_cast<std::uint32_t>(p.y));
            for (const MStlPoint& p : mesh->Points())
                digest.Add(static_cast<std::uint32_t>(p.z));
            digest.Add(mesh->NumberOfTriangles());
            for (const MStlTriangle& t : mesh->Triangles()) {
                digest.Add(std::uint64_t{t.points[0]} << 32 | t.points[1]);
                digest.Add(std::uint64_t{t.points[2]} << 32 | t.color);
            }
        }
        for (const auto& block : dataBlocks_)
            digest.AddAll(std::span<const unsigned short>(block));
        seededIds.emplace(digest.Value());
    }
    bool contentFailed = false;
    // What reading the file back will charge to the reader's memory budget, at most: the
    // exporter never writes a file that its reader would refuse.
    std::uint64_t readCost = kReadAllowance;
    auto charge = [&](std::uint64_t bytes) { readCost += bytes; };
    // The object stream: each mesh (with its triangle colours after it), the data blocks, the
    // parameters, and last the scene that pairs meshes with parameters.
    auto writeContent = [&](MFile& file) {
        auto failed = [&] {
            contentFailed = true;
            return false;
        };
        MHDynBase sceneHandle;
        sceneHandle.AdoptNew(IVSceneDependency::ClassInfo());
        IVSceneDependency* scene = sceneHandle.As<IVSceneDependency>();
        std::vector<MHDynBase> parameters;
        // Readers pair colour arrays with meshes by position, so once one mesh has colours every
        // mesh writes an array (all "no colour" for a plain mesh); otherwise a later mesh's
        // colours would land on an earlier mesh and a data block would be taken for colours.
        const bool colorArrays =
            exportTriangleColor_ && std::any_of(meshes_.begin(), meshes_.end(), [](const auto& m) {
                return m.first->HasColoredTriangles();
            });
        IVSTLData* lastMesh = nullptr;
        for (const auto& [caller, name] : meshes_) {
            MHDynBase object;
            object.AdoptNew("IVSTLData");
            IVSTLData* mesh = object.As<IVSTLData>();
            lastMesh = mesh;
            mesh->AttachMesh(caller);
            mesh->objectName = name;
            parameters.push_back(mesh->CreateParameter());
            scene->AddObject(object, parameters.back(), 0);
            if (!mesh->Write(file)) return failed();
            charge(2 * kObjectAllowance + mesh->readCost + kNameAllowance * name.size());
            if (colorArrays) {
                // Marked as this mesh's colours by carrying the mesh's id (ids are unique per
                // class), so that readers never take a data block for colours.
                IVColorArray colors;
                mesh->CollectTriangleColors(colors);
                colors.SetId(mesh->GetId());
                if (!colors.Write(file)) return failed();
                charge(kObjectAllowance + ColorArrayReadCost(colors.GetColorCount()));
            }
        }
        for (std::size_t b = 0; b < dataBlocks_.size(); ++b) {
            const auto& block = dataBlocks_[b];
            IVColorArray array;
            array.SetColorCount(static_cast<std::int32_t>(block.size()));
            for (unsigned short v : block)
                array.AddValue(v);
            // The first block may follow the last mesh directly; the complement of that mesh's
            // id marks it as a data block, so readers never take it for the mesh's colours.
            if (b == 0 && !colorArrays) {
                const MUIDValue last = lastMesh->GetId();
                array.SetId(MUIDValue{~last.word0, ~last.word1});
            }
            if (!array.Write(file)) return failed();
            charge(kObjectAllowance + ColorArrayReadCost(array.GetColorCount()));
        }
        charge(kObjectAllowance);  // the scene
        for (const MHDynBase& parameter : parameters)
            if (!parameter->Write(file)) return failed();
        return scene->Write(file) || failed();
    };
    bool tooLarge = false;
    auto acceptSize = [&](std::uint64_t fileBytes) {
        tooLarge = readCost > MReadBudget::LimitFor(fileBytes);
        return !tooLarge;
    };
    auto failure = [&] {
        return tooLarge        ? ExportMemoryBudgetExceeded
               : contentFailed ? ExportWriteFailed
                               : ExportFileFailed;
    };
    if (selfExtractingPath_.empty()) {
        if (WriteEnvelope(fileName_, password_, writeContent, acceptSize)) return true;
        result_ = failure();
        return false;
    }

    // A package is built from a KVX file under a fresh name beside it (created exclusively),
    // so that a file the caller has under the KVX name is left alone.
    MFileName packageName(fileName_);
    packageName.SET_EXT_PART(L".exe", 256);
    const MFileName directory = packageName.GET_DIRECTORY();
    MFileName kvxName;
    if (!kvxName.SET_TEMP_NAME(directory.GET().c_str(), L".kvx-package-", L".kvx", 16, 0)) {
        result_ = ExportFileFailed;
        return false;
    }
    const RemoveFileOnExit removeKvx(kvxName);  // on every path, exceptions included
    if (!WriteEnvelope(kvxName.GET(), password_, writeContent, acceptSize)) {
        result_ = failure();
        return false;
    }
    const PackageResult packaged =
        BuildPackage(MFileName(selfExtractingPath_), kvxName, packageName);
    if (packaged != PackageResult::Written) result_ = ExportSelfExtractingFailed;
    return packaged == PackageResult::Written;
}
