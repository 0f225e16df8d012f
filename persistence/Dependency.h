// Dependency links between persistent objects. A link is stored at both ends: the parent's
// `children` holds the child and the child's `parents` holds the parent, so linked objects keep
// each other alive until DetachChildren breaks the links. Links are written as references, so
// the graph is rebuilt from a file whatever the order of its objects.
//
// "DATA" contents: value1, value2, child count, per child "MD" + 14-byte reference, parent count,
// per parent "MD" + reference. Reading is safe on untrusted input (counts are checked against the
// bytes that remain before anything is allocated).
#pragma once

#include <cstdint>
#include <vector>

#include "persistence/Identity.h"
#include "persistence/ObjectStream.h"

namespace KvxInternal {

class MDependency : public virtual MUID {
    KVX_DYNAMIC_CLASS(MDependency, MUID)

public:
    MDependency();
    ~MDependency() override;
    MDependency(const MDependency&) = delete;
    MDependency& operator=(const MDependency&) = delete;

    // Links `child` (which must be a dependency object; false otherwise). Adding a child twice
    // makes two links.
    bool AddChild(const MHDynBase& child);
    // Removes every link to a child, at both ends.
    void DetachChildren();
    // CopyFrom, then share the source's children.
    virtual void CopyLinks(MDynBase& source);
    // CopyFrom, then a deep copy of the source's children (each new top-level child is appended
    // to `newChildren` when given). A child met again on its own ancestry is not copied again, so
    // cyclic graphs end.
    virtual void CloneLinks(MDynBase& source, std::vector<MHDynBase>* newChildren);

    bool IsParentless() const { return inParentless_; }

    std::vector<MHDynBase> children;
    std::vector<MHDynBase> parents;
    std::uint32_t value1 = 0;
    std::uint32_t value2 = 0;
    std::uint8_t flag = 1;  // not stored in files

    KVX_CLASS_CHUNK_MEMBERS

private:
    friend class ParentlessList;
    void DetachLinks();
    void CloneLinks(MDynBase& source, std::vector<MHDynBase>* newChildren,
                    std::vector<const MDynBase*>& path);
    // The process-wide list of dependency objects without parents, in the order they became
    // parentless (intrusive, so entering and leaving cost O(1)).
    bool inParentless_ = false;
    MDependency* prevParentless_ = nullptr;
    MDependency* nextParentless_ = nullptr;
};

// The dependency objects that have no parent, in the order they became parentless.
std::vector<MDependency*> ParentlessObjects();

}  // namespace KvxInternal
