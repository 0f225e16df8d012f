#include "scene/Dependencies.h"

namespace KvxInternal {

KVX_REGISTER_CLASS(IVDependency, "IVDEPD", 2, 0, &Make<IVDependency>)
KVX_REGISTER_CLASS(IVSceneDependency, "IVSCND", 2, 1, &Make<IVSceneDependency>)
KVX_CLASS_CHUNKS(IVDependency)
KVX_CLASS_CHUNKS(IVSceneDependency)

bool IVDependency::WriteFields(MFile& file) {
    return objectName.WRITE(file);
}

// The flat form is refused: its version byte is below 2.
bool IVDependency::ReadFields(MFile& file, std::uint8_t version, std::uint8_t) {
    return version == 2 && objectName.READ(file);
}

void IVDependency::CopyFrom(MDynBase& source) {
    IVObjectMouse::CopyFrom(source);
    MDependency::CopyFrom(source);
    if (IVDependency* other = Cast<IVDependency>(&source)) objectName = other->objectName;
}

// No fields: an empty "DATA" chunk; present or not, and in the flat form, reading succeeds.
bool IVSceneDependency::WriteFields(MFile&) {
    return true;
}
bool IVSceneDependency::ReadFields(MFile&, std::uint8_t, std::uint8_t) {
    return true;
}
void IVSceneDependency::CopyFrom(MDynBase& source) {
    MDependency::CopyFrom(source);
}

}  // namespace KvxInternal
