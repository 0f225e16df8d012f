// Scene objects with dependency links: IVDependency (a named scene object; the base of meshes
// and sections) and IVSceneDependency (a scene with links; one per KVX file).
#pragma once

#include "maker/MString.h"
#include "persistence/Dependency.h"
#include "scene/Scene.h"
#include "scene/SceneObject.h"

namespace KvxInternal {

class IVDependency : public virtual IVObjectMouse, public MDependency {
    KVX_DYNAMIC_CLASS(IVDependency, IVObjectMouse, MDependency)

public:
    IVDependency() : IVObject(kKindDependency) {}
    void Transform(const MTransform&) override {}

    MString objectName;

    KVX_CLASS_CHUNK_MEMBERS
};

class IVSceneDependency : public IVScene, public MDependency {
    KVX_DYNAMIC_CLASS(IVSceneDependency, IVScene, MDependency)
    KVX_CLASS_CHUNK_MEMBERS
};

}  // namespace KvxInternal
