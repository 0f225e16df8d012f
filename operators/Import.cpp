#include <algorithm>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>

#include "container/Envelope.h"
#include "maker/MFile.h"
#include "maker/ReadBudget.h"
#include "mesh/STLData.h"
#include "operators/MStlOperatorKVX.h"
#include "persistence/ObjectStream.h"
#include "persistence/StreamScope.h"
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
    std::vector<MHDynBase> colorArrays;  // every colour array read, in file order
    std::vector<MHDynBase> meshObjects;
    // Per mesh: the colour array written as its triangle colours (an index into colorArrays),
    // or kNoColors.
    std::vector<std::size_t> meshColors;
    // The colour arrays that are data blocks, in file order.
    std::vector<std::size_t> dataBlocks;
    std::vector<Orvex::Common::Color> outputColors;
    std::wstring password;
    std::wstring fileName;
    EImportResults result = ImportNotRun;
    bool colorsNeeded = false;
    bool importTriangleColor = false;

    static constexpr std::size_t kNoColors = SIZE_MAX;

    void CloseTemp() {
        if (temp.IS_OPEN()) {
            temp.CLOSE();
            tempName.REMOVE();
        }
    }
    void Discard() {
        meshObjects.clear();
        meshColors.clear();
        dataBlocks.clear();
        outputColors.clear();
        colorArrays.clear();
        haveOutput = completed = false;
        meshCount = nextMesh = 0;
    }
    ~State() { CloseTemp(); }
};

namespace {

// What one mesh was read with: enough to tell its triangle colours from the data blocks.
struct MeshRead {
    MUIDValue id;
    std::size_t triangles = 0;
    std::size_t followingArray = SIZE_MAX;  // the colour array read right after it, if any
};

// A colour array is a mesh's triangle colours when it is the object read right after that mesh
// and it is marked as such: the exporter gives it the mesh's own id (ids are unique per class,
// so this costs nothing in the format), and gives a data block that directly follows a mesh the
// complement of that mesh's id. Files without either mark come from writers that did not mark
// arrays; there an array right after a mesh, with one value per triangle, is taken as its
// colours. Every other array is a data block.
void PairColors(const std::vector<MeshRead>& meshes, const std::vector<MHDynBase>& arrays,
                std::vector<std::size_t>& meshColors, std::vector<std::size_t>& dataBlocks) {
    auto idOf = [&](std::size_t a) { return arrays[a].As<MUID>()->GetId(); };
    auto complement = [](const MUIDValue& id) { return MUIDValue{~id.word0, ~id.word1}; };
    bool marked = false;
    for (const MeshRead& m : meshes) {
        if (m.followingArray == SIZE_MAX) continue;
        const MUIDValue id = idOf(m.followingArray);
        marked = marked || id == m.id || id == complement(m.id);
    }
    std::vector<bool> taken(arrays.size(), false);
    meshColors.assign(meshes.size(), SIZE_MAX);
    for (std::size_t k = 0; k < meshes.size(); ++k) {
        const std::size_t a = meshes[k].followingArray;
        if (a == SIZE_MAX) continue;
        const IVColorArray* colors = arrays[a].As<IVColorArray>();
        const bool isColors =
            marked ? idOf(a) == meshes[k].id
                   : static_cast<std::size_t>(colors->GetColorCount()) == meshes[k].triangles;
        if (!isColors) continue;
        meshColors[k] = a;
        taken[a] = true;
    }
    dataBlocks.clear();
    for (std::size_t a = 0; a < arrays.size(); ++a)
        if (!taken[a]) dataBlocks.push_back(a);
}

// The output colours: for each mesh in file order, for each scene in file order that lists it,
// the mesh colour of its parameter at its first entry. Built in one pass over the scene entries
// and a sort, so the work is linear in the entries, whatever the numbers of meshes and scenes.
bool GatherColors(const std::vector<MHDynBase>& meshObjects, const std::vector<MHDynBase>& scenes,
                  std::vector<Orvex::Common::Color>& out) {
    std::unordered_map<const IVObject*, std::uint32_t> meshIndex;
    meshIndex.reserve(meshObjects.size());
    for (std::uint32_t k = 0; k < meshObjects.size(); ++k) {
        const IVSTLData* mesh = meshObjects[k].As<IVSTLData>();
        if (mesh == nullptr) return false;
        meshIndex.emplace(static_cast<const IVObject*>(mesh), k);
    }
    struct Listed {
        std::uint32_t mesh, scene, entry;
    };
    std::vector<Listed> listed;
    std::unordered_set<std::uint32_t> seen;  // meshes met in the current scene
    for (std::uint32_t s = 0; s < scenes.size(); ++s) {
        const IVScene* scene = scenes[s].As<IVScene>();
        if (scene == nullptr) return false;
        seen.clear();
        for (std::uint32_t e = 0; e < scene->GetCount(); ++e) {
            const auto it = meshIndex.find(scene->GetObject(e));
            if (it != meshIndex.end() && seen.insert(it->second).second)
                listed.push_back({it->second, s, e});
        }
    }
    std::sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
        return a.mesh != b.mesh ? a.mesh < b.mesh : a.scene < b.scene;
    });
    for (const Listed& l : listed) {
        // A scene entry whose parameter is no mesh parameter gives no colour.
        const IVParTriangle* parameter =
            scenes[l.scene].As<IVScene>()->GetParameter(l.entry).As<IVParSTLData>();
        if (parameter == nullptr) continue;
        Orvex::Common::Color color;
        MColor_COLORREF::SetCOLORREF(color, ColorRecordToValue(parameter->triangleColors[2]),
                                     false);
        out.push_back(color);
    }
    return true;
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
    s.Discard();
    // A second run starts from a new temporary file; the earlier one goes first.
    s.CloseTemp();

    const std::int64_t fileSize = MFileName(s.fileName).FILE_SIZE();
    const int unwrapped = ReadEnvelope(s.fileName, s.password, s.temp, s.tempName);
    if (unwrapped != kEnvelopeOk) {
        s.result = static_cast<EImportResults>(unwrapped);
        return false;
    }

    // Everything this reading creates lives in its scope: identities resolve within this file
    // only, and whatever the importer does not keep dies with the scope, links and all.
    std::vector<MHDynBase> scenes;
    std::vector<MeshRead> meshes;
    StreamScope scope(s.temp, MReadBudget::LimitFor(
                                  static_cast<std::uint64_t>(std::max<std::int64_t>(fileSize, 0))));
    // Meshes are decoded again when they are handed out: here they need only be proven sound.
    scope.SetCheckOnly(true);
    auto fail = [&](EImportResults result) {
        s.Discard();
        s.CloseTemp();
        s.result = result;
        return false;
    };
    MHDynBase handle;
    bool afterMesh = false;  // the previous object read was a mesh
    for (;;) {
        const std::int32_t r = ReadNextObject(handle, s.temp);
        if (r == READ_FAILED)
            return fail(scope.Budget().Exceeded() ? ImportMemoryBudgetExceeded : ImportFailed);
        if (r == READ_END) {
            if (scenes.empty()) return fail(ImportFailed);
            break;
        }
        if (r != READ_OK) continue;
        const bool followsMesh = afterMesh;
        afterMesh = false;
        const MClassInfo& info = handle->GetClassInfo();
        if (&info == &IVSTLData::ClassInfo()) {
            s.meshObjects.push_back(handle);
            IVSTLData* mesh = handle.As<IVSTLData>();
            meshes.push_back({mesh->GetId(), mesh->triangleCount});
            mesh->sourceFile = MFileName(s.temp.GET_FILENAME());
            mesh->UnloadTriangleData();
            afterMesh = true;
        } else if (&info == &IVParSTLData::ClassInfo()) {
            // Kept by the scope until the end of this run; nothing else is done with it.
        } else if (&info == &IVSceneDependency::ClassInfo()) {
            scenes.push_back(handle);
        } else if (IsKindOf(handle.Get(), IVSection::ClassInfo())) {
            handle.As<MDependency>()->DetachChildren();
        } else if (IsKindOf(handle.Get(), IVColorArray::ClassInfo())) {
            if (followsMesh) meshes.back().followingArray = s.colorArrays.size();
            s.colorArrays.push_back(handle);
        }
    }
    handle.Reset();

    PairColors(meshes, s.colorArrays, s.meshColors, s.dataBlocks);
    if (s.colorsNeeded && !s.meshObjects.empty() &&
        !GatherColors(s.meshObjects, scenes, s.outputColors))
        return fail(ImportFailed);
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
    // A mesh that cannot be loaded again is a failure, never an empty success.
    if (!mesh->LoadTriangleData()) {
        mesh->UnloadTriangleData();
        s.result = ImportFailed;
        return false;
    }
    if (s.importTriangleColor && s.meshColors[index] != State::kNoColors) {
        if (const IVColorArray* colors = s.colorArrays[s.meshColors[index]].As<IVColorArray>())
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

// The data blocks are the colour arrays that are not a mesh's triangle colours, whether or not
// those colours are applied.
std::uint64_t MStlOperatorKVXImport::GetNumberOfDataBlocks() const {
    return state_->dataBlocks.size();
}

std::vector<unsigned short> MStlOperatorKVXImport::GetDataBlock(std::uint64_t index) {
    const State& s = *state_;
    if (index >= s.dataBlocks.size()) return {};
    const IVColorArray* array = s.colorArrays[s.dataBlocks[index]].As<IVColorArray>();
    const std::int32_t count = array->GetColorCount();
    std::vector<unsigned short> block(static_cast<std::size_t>(std::max(count, 0)));
    for (std::size_t k = 0; k < block.size(); ++k)
        block[k] = array->GetValue(static_cast<std::uint32_t>(k));
    return block;
}
