#include "persistence/Dependency.h"

#include <algorithm>
#include <cstring>

namespace KvxInternal {

KVX_REGISTER_CLASS(MDependency, "MDEPD", 2, 0, &Make<MDependency>)
KVX_CLASS_CHUNKS(MDependency)

class ParentlessList {
public:
    static void Enter(MDependency& d) {
        if (d.inParentless_) return;
        d.inParentless_ = true;
        d.prevParentless_ = tail_;
        d.nextParentless_ = nullptr;
        (tail_ ? tail_->nextParentless_ : head_) = &d;
        tail_ = &d;
    }
    static void Leave(MDependency& d) {
        if (!d.inParentless_) return;
        d.inParentless_ = false;
        (d.prevParentless_ ? d.prevParentless_->nextParentless_ : head_) = d.nextParentless_;
        (d.nextParentless_ ? d.nextParentless_->prevParentless_ : tail_) = d.prevParentless_;
        d.prevParentless_ = d.nextParentless_ = nullptr;
    }
    static std::vector<MDependency*> All() {
        std::vector<MDependency*> out;
        for (MDependency* d = head_; d != nullptr; d = d->nextParentless_)
            out.push_back(d);
        return out;
    }

private:
    static inline MDependency* head_ = nullptr;
    static inline MDependency* tail_ = nullptr;
};

std::vector<MDependency*> ParentlessObjects() {
    return ParentlessList::All();
}

namespace {

constexpr char kMarker[2] = {'M', 'D'};
constexpr std::int64_t kEntrySize = 2 + 14;

bool HasEntryFor(const std::vector<MHDynBase>& list, const MDynBase* object) {
    return std::any_of(list.begin(), list.end(),
                       [&](const MHDynBase& h) { return h.Get() == object; });
}

// Links whose target class has a tag (only those can be referred to in a file).
bool Referable(const MHDynBase& h) {
    return h && h->GetClassInfo().tag[0] != '\0';
}

bool WriteLinks(MFile& file, const std::vector<MHDynBase>& links) {
    const auto count =
        static_cast<std::uint32_t>(std::count_if(links.begin(), links.end(), Referable));
    if (file.WRITE(&count, 1) != 1) return false;
    for (const MHDynBase& link : links) {
        if (!Referable(link)) continue;
        if (file.WRITE(kMarker, 2) != 2 || !WriteReference(file, link)) return false;
    }
    return true;
}

// Reads a link count and checks it against the bytes that remain.
bool ReadCount(MFile& file, std::uint32_t& count) {
    return file.READ(&count, 1) == 1 &&
           static_cast<std::int64_t>(count) <= file.REMAINING() / kEntrySize;
}

bool ReadMarker(MFile& file) {
    char marker[2];
    return file.READ(marker, 2) == 2 && std::memcmp(marker, kMarker, 2) == 0;
}

}  // namespace

MDependency::MDependency() {
    ParentlessList::Enter(*this);
}

MDependency::~MDependency() {
    DetachLinks();
    ParentlessList::Leave(*this);
}

bool MDependency::AddChild(const MHDynBase& child) {
    MDependency* dependency = child.As<MDependency>();
    if (dependency == nullptr) return false;
    children.push_back(child);
    if (dependency->parents.empty()) ParentlessList::Leave(*dependency);
    dependency->parents.push_back(MHDynBase(this));
    return true;
}

void MDependency::DetachChildren() {
    // A child's link may hold the last reference to this object: keep it alive until done.
    const MHDynBase self(this);
    DetachLinks();
}

void MDependency::DetachLinks() {
    if (!children.empty()) {
        for (const MHDynBase& child : children) {
            MDependency* dependency = child.As<MDependency>();
            if (dependency == nullptr) continue;
            auto& theirs = dependency->parents;
            const auto it = std::find_if(theirs.begin(), theirs.end(), [&](const MHDynBase& h) {
                return h.Get() == static_cast<MDynBase*>(this);
            });
            if (it != theirs.end()) theirs.erase(it);
            if (theirs.empty()) ParentlessList::Enter(*dependency);
        }
        value1 = value2 = 0;
        children.clear();
    }
    flag = 1;
}

bool MDependency::WriteFields(MFile& file) {
    return file.WRITE(&value1, 1) == 1 && file.WRITE(&value2, 1) == 1 &&
           WriteLinks(file, children) && WriteLinks(file, parents);
}

// Completes each link from whichever end is read first, without doubling it.
bool MDependency::ReadFields(MFile& file, std::uint8_t version, std::uint8_t) {
    if (version != 2) return false;
    const std::vector<MHDynBase> oldChildren = children, oldParents = parents;  // alive until done
    if (file.READ(&value1, 1) != 1 || file.READ(&value2, 1) != 1) return false;
    children.clear();
    if (!parents.empty()) ParentlessList::Enter(*this);
    parents.clear();
    MDynBase* self = this;

    std::uint32_t count = 0;
    if (!ReadCount(file, count)) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        MHDynBase child;
        if (!ReadMarker(file) || !ReadReference(file, child)) return false;
        MDependency* dependency = child.As<MDependency>();
        if (dependency == nullptr) return false;  // a child must be a dependency object
        children.push_back(child);
        if (!HasEntryFor(dependency->parents, self)) {
            if (dependency->parents.empty()) ParentlessList::Leave(*dependency);
            dependency->parents.push_back(MHDynBase(self));
        }
    }
    if (!ReadCount(file, count)) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!ReadMarker(file)) return false;
        MHDynBase parent;
        // An unknown parent is dropped (its reference is consumed either way).
        const std::int64_t next = file.TELL() + 14;
        const bool resolved = ReadReference(file, parent);
        if (!file.SEEK(next)) return false;
        MDependency* dependency = resolved ? parent.As<MDependency>() : nullptr;
        if (dependency == nullptr) continue;
        if (!HasEntryFor(dependency->children, self))
            dependency->children.push_back(MHDynBase(self));
        parents.push_back(parent);
    }
    if (!parents.empty()) ParentlessList::Leave(*this);
    return true;
}

void MDependency::CopyFrom(MDynBase& source) {
    MUID::CopyFrom(source);
    value2 = 0;
    if (MDependency* other = Cast<MDependency>(&source)) flag = other->flag;
}

void MDependency::CopyLinks(MDynBase& source) {
    CopyFrom(source);
    MDependency* other = Cast<MDependency>(&source);
    if (other == nullptr) return;
    value2 = other->value2;
    const std::vector<MHDynBase> shared = other->children;
    for (const MHDynBase& child : shared)
        AddChild(child);
}

void MDependency::CloneLinks(MDynBase& source, std::vector<MHDynBase>* newChildren) {
    std::vector<const MDynBase*> path;
    CloneLinks(source, newChildren, path);
}

void MDependency::CloneLinks(MDynBase& source, std::vector<MHDynBase>* newChildren,
                             std::vector<const MDynBase*>& path) {
    CopyFrom(source);
    MDependency* other = Cast<MDependency>(&source);
    if (other == nullptr) return;
    value2 = other->value2;
    path.push_back(&source);
    for (const MHDynBase& child : other->children) {
        if (std::find(path.begin(), path.end(), child.Get()) != path.end()) continue;
        MHDynBase copy;
        copy.AdoptNew(child->GetClassInfo());
        if (!AddChild(copy)) continue;
        if (newChildren != nullptr) newChildren->push_back(copy);
        copy.As<MDependency>()->CloneLinks(*child, nullptr, path);
    }
    path.pop_back();
}

}  // namespace KvxInternal
