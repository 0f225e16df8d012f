#include "scene/Section.h"

#include <algorithm>

// The one place where the scene reaches up into the mesh layer: a section cuts the mesh of its
// first child, which is a mesh object.
#include "mesh/STLData.h"

namespace KvxInternal {

KVX_REGISTER_CLASS(IVSection, "IVSEC", 1, 0, &Make<IVSection>)
KVX_REGISTER_CLASS(IVParSection, "PSEC", 2, 0, &Make<IVParSection>)
KVX_CLASS_CHUNKS(IVSection)
KVX_CLASS_CHUNKS(IVParSection)

namespace {

IVSTLData* MeshChild(const MDependency& section) {
    return section.children.empty() ? nullptr : section.children.front().As<IVSTLData>();
}

}  // namespace

bool IVSection::WriteFields(MFile& file) {
    return file.WRITE(sectionPoint, 3) == 3 && file.WRITE(sectionDirection, 3) == 3;
}

// The plane's "DATA" is version 1, in the nested and the flat form alike.
bool IVSection::ReadFields(MFile& file, std::uint8_t version, std::uint8_t) {
    return version == 1 && file.READ(sectionPoint, 3) == 3 && file.READ(sectionDirection, 3) == 3;
}

void IVSection::CopyFrom(MDynBase& source) {
    IVDependency::CopyFrom(source);
    if (IVSection* other = Cast<IVSection>(&source)) {
        std::copy(std::begin(other->sectionPoint), std::end(other->sectionPoint), sectionPoint);
        std::copy(std::begin(other->sectionDirection), std::end(other->sectionDirection),
                  sectionDirection);
    }
}

void IVSection::GetBoundingBox(float& xMin, float& xMax, float& yMin, float& yMax, float& zMin,
                               float& zMax) {
    if (IVSTLData* mesh = MeshChild(*this)) {
        mesh->GetBoundingBox(xMin, xMax, yMin, yMax, zMin, zMax);
    } else {
        IVObject::GetBoundingBox(xMin, xMax, yMin, yMax, zMin, zMax);
    }
}

MHDynBase IVSection::CreateParameter() {
    MHDynBase parameter;
    parameter.AdoptNew("IVParSection");
    if (IVParBaseLine* line = parameter.As<IVParBaseLine>())
        line->baseColor = ColorRecord{255, 0, 0, 0};
    return parameter;
}

void IVSection::Transform(const MTransform& t) {
    const bool computed = GetMesh() != nullptr;
    float moved[3];
    t.TRANSFORM3D(moved, sectionPoint);
    std::copy(moved, moved + 3, sectionPoint);
    t.ROTATE3D(moved, sectionDirection);
    std::copy(moved, moved + 3, sectionDirection);
    if (computed) UpdateSection();
}

void IVSection::UpdateSection() {
    IVSTLData* child = MeshChild(*this);
    if (child == nullptr) return;
    Clear();
    SetMesh(child->mesh);
    MakeSection(sectionDirection[0], sectionDirection[1], sectionDirection[2], sectionPoint[0],
                sectionPoint[1], sectionPoint[2]);
}

// IVParSection has no fields: an empty "DATA" chunk that is never inspected.
bool IVParSection::WriteFields(MFile&) {
    return true;
}
bool IVParSection::ReadFields(MFile&, std::uint8_t, std::uint8_t) {
    return true;
}
void IVParSection::CopyFrom(MDynBase& source) {
    IVParBaseLine::CopyFrom(source);
}

}  // namespace KvxInternal
