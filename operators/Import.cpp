#include <stdexcept>

#include "container/Envelope.h"
#include "maker/MFile.h"
#include "mesh/STLData.h"
#include "operators/MStlOperatorKVX.h"
#include "persistence/ObjectStream.h"
#include "scene/ColorArray.h"
#include "scene/Section.h"

using namespace KvxInternal;

struct MStlOperatorKVXImport::State {
    MFile temp{kContainerFileBuffer};
    MFileName tempName;
    bool haveOutput = false;
    bool completed = false;
    std::uint32_t meshCount = 0;
    std::uint32_t nextMesh = 0;
    std::vector<MHDynBase> colorArrays;
    std::vector<MHDynBase> meshObjects;
    std::vector<Orvex::Common::Color> outputColors;
    std::wstring password;
    std::wstring fileName;
    EImportResults result = ImportNotRun;
    bool colorsNeeded = false;
    bool importTriangleColor = false;

    void CloseTemp() {
        if (temp.IS_OPEN()) {
            temp.CLOSE();
            tempName.REMOVE();
        }
    }
    ~State() { CloseTemp(); }
};

namespace {

// Objects read from a file may link each other both ways and so keep each other alive; the
// links are broken once the import no longer needs them.
void BreakLinks(std::vector<MHDynBase>& dependencies) {
    for (MHDynBase& h : dependencies) {
        MDependency* d = h.As<MDependency>();
        if (d == nullptr) continue;
        const std::vector<MHDynBase> parents = d->parents;
        d->DetachChildren();
        for (const MHDynBase& p : parents)
            if (MDependency* parent = p.As<MDependency>()) parent->DetachChildren();
    }
    dependencies.clear();
}

}  // namespace

MStlOperatorKVXImport::MStlOperatorKVXImport() : state_(new State) {}

MStlOperatorKVXImport::~MStlOperatorKVXImport() {
    delete state_;
}

MStlOperatorKVXImport::MStlOperatorKVXImport(const MStlOperatorKVXImport& other)
    : state_(new State) {
    *this = other;
}

MStlOperatorKVXImport& MStlOperatorKVXImport::operator=(const MStlOperatorKVXImport& other) {
    if (this == &other) return *this;
    State* fresh = new State;
    fresh->fileName = other.state_->fileName;
    fresh->password = other.state_->password;
    fresh->colorsNeeded = other.state_->colorsNeeded;
    fresh->importTriangleColor = other.state_->importTriangleColor;
    delete state_;
    state_ = fresh;
    return *this;
}

void MStlOperatorKVXImport::SetFileName(std::wstring fileName) {
    state_->fileName = std::move(fileName);
}
void MStlOperatorKVXImport::SetPassword(std::wstring password) {
    state_->password = std::move(password);
}
void MStlOperatorKVXImport::SetColorsNeeded(bool needed) {
    state_->colorsNeeded = needed;
}
void MStlOperatorKVXImport::ImportTriangleColor(bool import) {
    state_->importTriangleColor = import;
}

bool MStlOperatorKVXImport::Operate() {
    State& s = *state_;
    if (s.fileName.empty()) {
        s.result = ImportNoFileName;
        return false;
    }
    s.meshObjects.clear();
    s.outputColors.clear();
    s.colorArrays.clear();
    s.haveOutput = s.completed = false;
    s.meshCount = s.nextMesh = 0;
    // A second run starts from a new temporary file; the earlier one goes first.
    s.CloseTemp();

    const int unwrapped = ReadEnvelope(s.fileName, s.password, s.temp, s.tempName);
    if (unwrapped != kEnvelopeOk) {
        s.result = static_cast<EImportResults>(unwrapped);
        return false;
    }

    std::vector<MHDynBase> scenes, parameters, dependencies;
    auto fail = [&] {
        BreakLinks(dependencies);
        s.CloseTemp();
        s.result = ImportFailed;
        return false;
    };
    MHDynBase handle;
    for (;;) {
        const std::int32_t r = ReadNextObject(handle, s.temp);
        if (r == READ_FAILED) return fail();
        if (r == READ_END) {
            if (scenes.empty()) return fail();
            break;
        }
        if (r != READ_OK) continue;
        if (IsKindOf(handle.Get(), MDependency::ClassInfo())) dependencies.push_back(handle);
        const MClassInfo& info = handle->GetClassInfo();
        if (&info == &IVSTLData::ClassInfo()) {
            s.meshObjects.push_back(handle);
            IVSTLData* mesh = handle.As<IVSTLData>();
            mesh->sourceFile = MFileName(s.temp.GET_FILENAME());
            mesh->UnloadTriangleData();
        } else if (&info == &IVParSTLData::ClassInfo()) {
            parameters.push_back(handle);
        } else if (&info == &IVSceneDependency::ClassInfo()) {
            scenes.push_back(handle);
        } else if (IsKindOf(handle.Get(), IVSection::ClassInfo())) {
            handle.As<MDependency>()->DetachChildren();
        } else if (IsKindOf(handle.Get(), IVColorArray::ClassInfo())) {
            s.colorArrays.push_back(handle);
        }
    }

    if (s.colorsNeeded && !s.meshObjects.empty()) {
        for (const MHDynBase& meshHandle : s.meshObjects) {
            for (const MHDynBase& sceneHandle : scenes) {
                IVSTLData* mesh = meshHandle.As<IVSTLData>();
                IVScene* scene = sceneHandle.As<IVScene>();
                if (mesh == nullptr || scene == nullptr) return fail();
                const std::uint32_t at = scene->IndexOf(static_cast<IVObject*>(mesh));
                if (at == scene->GetCount()) continue;
                // A scene entry whose parameter is no mesh parameter gives no colour.
                const IVParTriangle* parameter = scene->GetParameter(at).As<IVParSTLData>();
                if (parameter == nullptr) continue;
                Orvex::Common::Color color;
                MColor_COLORREF::SetCOLORREF(
                    color, ColorRecordToValue(parameter->triangleColors[2]), false);
                s.outputColors.push_back(color);
            }
        }
    }
    BreakLinks(dependencies);
    s.meshCount = static_cast<std::uint32_t>(s.meshObjects.size());
    s.haveOutput = true;
    s.result = ImportOk;
    return true;
}

MStlOperatorKVXImport::EImportResults MStlOperatorKVXImport::GetImportResults() const {
    return state_->result;
}

unsigned long MStlOperatorKVXImport::GetNumberOfOutputStls() const {
    return state_->meshCount;
}

bool MStlOperatorKVXImport::GetNextOutputStl(MStlBase* mesh) {
    State& s = *state_;
    if (s.haveOutput && s.nextMesh >= s.meshCount) {
        s.result = ImportNoMoreMeshes;
        return false;
    }
    if (!GetOutputStlAt(mesh, s.nextMesh)) return false;
    if (++s.nextMesh == s.meshCount) s.completed = true;
    return true;
}

bool MStlOperatorKVXImport::GetOutputStlAt(MStlBase* target, unsigned long index) {
    State& s = *state_;
    if (!s.haveOutput) {
        s.result = ImportNoOutput;
        return false;
    }
    if (index >= s.meshCount) {
        s.result = ImportBadIndex;
        return false;
    }
    IVSTLData* mesh = s.meshObjects[index].As<IVSTLData>();
    mesh->LoadTriangleData();
    if (s.importTriangleColor && index < s.colorArrays.size()) {
        if (const IVColorArray* colors = s.colorArrays[index].As<IVColorArray>())
            mesh->ApplyTriangleColors(*colors);
    }
    mesh->mesh->MoveTo(*target, nullptr);
    mesh->UnloadTriangleData();
    target->SetName(mesh->objectName.Str());
    s.result = ImportOk;
    return true;
}

bool MStlOperatorKVXImport::GetIsCompleted() const {
    return state_->completed;
}

std::wstring MStlOperatorKVXImport::GetStlNameAt(unsigned long index) {
    const State& s = *state_;
    if (!s.haveOutput || index >= s.meshCount) return std::wstring();
    return s.meshObjects[index].As<IVSTLData>()->objectName.Str();
}

unsigned long MStlOperatorKVXImport::GetNumberOfOutputColors() const {
    return static_cast<unsigned long>(state_->outputColors.size());
}

Orvex::Common::Color MStlOperatorKVXImport::GetOutputColorAt(unsigned long index) const {
    if (index >= state_->outputColors.size())
        throw std::out_of_range("invalid vector<T> subscript");
    return state_->outputColors[index];
}

std::uint64_t MStlOperatorKVXImport::GetNumberOfDataBlocks() const {
    const std::uint64_t n = state_->colorArrays.size();
    if (!state_->importTriangleColor) return n;
    const std::uint64_t m = state_->meshCount;
    return m > n ? 0 : n - m;
}

std::vector<unsigned short> MStlOperatorKVXImport::GetDataBlock(std::uint64_t index) {
    const State& s = *state_;
    const std::uint64_t at = s.importTriangleColor ? index + s.meshCount : index;
    if (at >= s.colorArrays.size()) return {};
    const IVColorArray* array = s.colorArrays[at].As<IVColorArray>();
    const std::int32_t count = array->GetColorCount();
    std::vector<unsigned short> block(static_cast<std::size_t>(std::max(count, 0)));
    for (std::size_t k = 0; k < block.size(); ++k)
        block[k] = array->GetValue(static_cast<std::uint32_t>(k));
    return block;
}
