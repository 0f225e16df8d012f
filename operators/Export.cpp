#include <algorithm>

#include "container/Envelope.h"
#include "maker/MFile.h"
#include "mesh/STLData.h"
#include "operators/MStlOperatorKVX.h"
#include "operators/Package.h"
#include "scene/ColorArray.h"

using namespace KvxInternal;

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
    bool contentFailed = false;
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
        for (const auto& [caller, name] : meshes_) {
            MHDynBase object;
            object.AdoptNew("IVSTLData");
            IVSTLData* mesh = object.As<IVSTLData>();
            mesh->AttachMesh(caller);
            mesh->objectName = name;
            parameters.push_back(mesh->CreateParameter());
            scene->AddObject(object, parameters.back(), 0);
            if (!mesh->Write(file)) return failed();
            if (colorArrays) {
                IVColorArray colors;
                mesh->CollectTriangleColors(colors);
                if (!colors.Write(file)) return failed();
            }
        }
        for (const auto& block : dataBlocks_) {
            IVColorArray array;
            array.SetColorCount(static_cast<std::int32_t>(block.size()));
            for (unsigned short v : block)
                array.AddValue(v);
            if (!array.Write(file)) return failed();
        }
        for (const MHDynBase& parameter : parameters)
            if (!parameter->Write(file)) return failed();
        return scene->Write(file) || failed();
    };
    if (selfExtractingPath_.empty()) {
        if (WriteEnvelope(fileName_, password_, writeContent)) return true;
        result_ = contentFailed ? ExportWriteFailed : ExportFileFailed;
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
    if (!WriteEnvelope(kvxName.GET(), password_, writeContent)) {
        kvxName.REMOVE();
        result_ = contentFailed ? ExportWriteFailed : ExportFileFailed;
        return false;
    }
    const PackageResult packaged =
        BuildPackage(MFileName(selfExtractingPath_), kvxName, packageName);
    kvxName.REMOVE();
    if (packaged != PackageResult::Written) result_ = ExportSelfExtractingFailed;
    return packaged == PackageResult::Written;
}
