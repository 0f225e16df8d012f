// The scene: an ordered list of entries, each an object with its parameter object, a level, an
// entry flag and the object's transform relative to the scene. The scene is also a view point and
// has an oriented axis of its own.
//
// "DATA" contents (version 2; the flags byte is the layout revision r, 2 when written):
//   entry count n; n records of: "SC", object tag (6 bytes), object id (2 x uint32),
//   has-parameter (bool) [+ "SC", parameter tag, parameter id], level (int8, r >= 1),
//   entry flag (uint8, r >= 2); then, for r >= 1, the scene name (MString) and number (uint32).
// Reading is safe on untrusted input: the record count is checked against the bytes that remain,
// a record whose tag names a class that is not a concrete scene object (or parameter) fails the
// read, and n records cost O(n log n) whatever the order of their levels.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "maker/MString.h"
#include "persistence/TransformHandle.h"
#include "scene/SceneObject.h"

namespace KvxInternal {

class IVScene : public IVViewPoint, public IVAxisOrient {
    KVX_DYNAMIC_CLASS(IVScene, IVViewPoint, IVAxisOrient)

public:
    std::uint32_t GetCount() const { return static_cast<std::uint32_t>(objects.size()); }
    // Inserts the entry after every leading entry of equal or lower level and returns its
    // position. An object that is not a scene object is refused (GetCount() is returned). The
    // levels stay ascending, so the position is found in O(log n), and an entry of the highest
    // level so far is appended in amortised O(log n).
    std::uint32_t AddObject(const MHDynBase& object, const MHDynBase& parameter, std::int8_t level);
    // The first position holding `object`, or GetCount(); expected O(1) through an index of the
    // entries' objects (extended as entries are appended, rebuilt after an insertion before the
    // end). Not safe to call from two threads on one scene at once.
    std::uint32_t IndexOf(const IVObject* object) const;
    IVObject* GetObject(std::uint32_t i) const { return objects[i].As<IVObject>(); }
    const MHDynBase& GetParameter(std::uint32_t i) const { return parameters[i]; }
    // Entry i's transform := inverse(scene axis transform) * object transform.
    void UpdateObjectTransform(std::uint32_t i);

    // The entries, position i of each list for entry i. Entries are added only by AddObject and
    // Read, which keep `levels` ascending and IndexOf's index valid; the entry flags and
    // transforms may be changed in place.
    std::vector<std::int8_t> levels;
    std::vector<MHDynBase> parameters;
    std::vector<std::uint8_t> entryFlags;
    std::vector<MHDynBase> objects;
    std::vector<MHTransform> objectTransforms;
    std::uint32_t kindCounts[4] = {0, 0, 0, 0};
    std::uint8_t kindMask = 0;
    MString sceneName = L"Scene 1";
    std::uint32_t sceneNumber = 1;

    KVX_CLASS_CHUNK_MEMBERS

private:
    void Clear();

    // IndexOf's index: the first position of each object among the first `indexed_` entries.
    mutable std::unordered_map<const IVObject*, std::uint32_t> firstPosition_;
    mutable std::uint32_t indexed_ = 0;
};

}  // namespace KvxInternal
