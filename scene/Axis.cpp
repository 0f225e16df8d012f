#include "scene/Axis.h"

#include "maker/Text.h"

namespace KvxInternal {

KVX_REGISTER_CLASS(IVAxis, nullptr, 0, 0, &Make<IVAxis>)
KVX_REGISTER_CLASS(IVAxisOrient, nullptr, 0, 0, &Make<IVAxisOrient>)
KVX_REGISTER_CLASS(IVAxisTransform, nullptr, 0, 0, &Make<IVAxisTransform>)

void IVAxis::GetTransform(MTransform& out) {
    out.IDENTITY();
}

void IVAxisOrient::GetTransform(MTransform& out) {
    MTransform scaling;
    scaling.matrix.diagonal() << scale[0], scale[1], scale[2];
    scaling.inverse.diagonal() << 1.0f / scale[0], 1.0f / scale[1], 1.0f / scale[2];
    MTransform orientation;
    MTransformOrient::ORIENTATION(
        orientation, CharacterSetConversions::String<wchar_t>(std::string_view(orientationCode)));
    out = orientation * scaling;
    out.translation << translation[0], translation[1], translation[2];
}

void IVAxisOrient::CopyOrientFrom(const IVAxisOrient& other) {
    if (&other == this) return;
    std::copy(std::begin(other.orientationCode), std::end(other.orientationCode), orientationCode);
    orientationCode[3] = '\0';
    std::copy(std::begin(other.scale), std::end(other.scale), scale);
    std::copy(std::begin(other.translation), std::end(other.translation), translation);
}

void IVAxisOrient::CopyFrom(MDynBase& source) {
    if (const IVAxisOrient* other = Cast<IVAxisOrient>(&source)) CopyOrientFrom(*other);
}

void IVAxisTransform::GetTransform(MTransform& out) {
    out = transform;
}

void IVAxisTransform::CopyFrom(MDynBase& source) {
    if (const IVAxisTransform* other = Cast<IVAxisTransform>(&source)) transform = other->transform;
}

void IVAxisContainer::GetTransform(MTransform& out) {
    if (IVAxis* a = axis.As<IVAxis>()) {
        a->GetTransform(out);
    } else {
        out.IDENTITY();
    }
}

void IVAxisContainer::CopyAxisFrom(MDynBase& source) {
    // The new axis is filled before it replaces the old one: `source` may be the current axis,
    // which the handle alone keeps alive.
    MHDynBase fresh;
    if (IsKindOf(&source, IVAxisOrient::ClassInfo())) {
        fresh.AdoptNew(IVAxisOrient::ClassInfo());
        fresh.As<IVAxisOrient>()->CopyOrientFrom(*Cast<IVAxisOrient>(&source));
    } else if (IsKindOf(&source, IVAxisTransform::ClassInfo())) {
        fresh.AdoptNew(IVAxisTransform::ClassInfo());
        fresh.As<IVAxisTransform>()->transform = Cast<IVAxisTransform>(&source)->transform;
    } else if (IsKindOf(&source, IVAxis::ClassInfo())) {
        fresh.AdoptNew(IVAxis::ClassInfo());
    } else {
        return;
    }
    axis = fresh;
}

}  // namespace KvxInternal
