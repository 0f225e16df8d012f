#include "persistence/Dependency.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace KvxInternal {

KVX_REGISTER_CLASS(MDependency, "MDEPD", 2, 0, &Make<MDependency>)
KVX_CLASS_CHUNKS(MDependency)

const MHDynBase& MLinkList::operator[](std::size_t i) const {
    if (live_ == slots_.size()) return slots_[i];
    const std::size_t n = slots_.size();
    if (rank_.empty()) {
        // Node k (from 1) counts the links in slots [k - lowbit(k), k).
        rank_.assign(n + 1, 0);
        for (std::size_t k = 1; k <= n; ++k) {
            rank_[k] += slots_[k - 1] ? 1 : 0;
            const std::size_t up = k + (k & (~k + 1));
            if (up <= n) rank_[up] += rank_[k];
        }
    }
    // The longest prefix of slots holding at most i links ends just before link i.
    std::size_t prefix = 0;
    for (std::size_t step = std::bit_floor(n); step != 0; step >>= 1) {
        if (prefix + step <= n && rank_[prefix + step] <= i) {
            prefix += step;
            i -= rank_[prefix];
        }
    }
    return slots_[prefix];
}

std::size_t MLinkList::Count(const MDynBase* object) const {
    NeedIndex();
    if (indexed_) {
        const auto it = index_.find(object);
        return it == index_.end() ? 0 : it->second.count;
    }
    return static_cast<std::size_t>(std::count_if(
        slots_.begin(), slots_.end(), [&](const MHDynBase& h) { return h && h.Get() == object; }));
}

void MLinkList::NeedIndex() const {
    if (indexed_ || slots_.size() <= kIndexFrom) return;
    indexed_ = true;
    next_.resize(slots_.size());
    for (std::size_t slot = 0; slot < slots_.size(); ++slot)
        if (slots_[slot]) Index(slot);
}

void MLinkList::Index(std::size_t slot) const {
    next_[slot] = kNone;
    const auto [it, added] = index_.try_emplace(slots_[slot].Get(), Chain{slot, slot, 1});
    if (added) return;
    next_[it->second.last] = slot;
    it->second.last = slot;
    ++it->second.count;
}

void MLinkList::PushBack(const MHDynBase& link) {
    slots_.push_back(link);
    ++live_;
    if (!rank_.empty()) {
        // The new node counts its own slot and those of the nodes it covers.
        const std::size_t k = slots_.size();
        std::size_t links = 1;
        for (std::size_t low = 1; low < (k & (~k + 1)); low <<= 1)
            links += rank_[k - low];
        rank_.push_back(links);
    }
    if (indexed_) {
        next_.push_back(kNone);
        Index(slots_.size() - 1);
    }
}

bool MLinkList::RemoveFirst(const MDynBase* object) {
    NeedIndex();
    std::size_t slot = kNone;
    if (indexed_) {
        const auto it = index_.find(object);
        if (it == index_.end()) return false;
        slot = it->second.first;
        if (--it->second.count == 0)
            index_.erase(it);
        else
            it->second.first = next_[slot];
    } else {
        for (std::size_t i = 0; i < slots_.size() && slot == kNone; ++i)
            if (slots_[i] && slots_[i].Get() == object) slot = i;
        if (slot == kNone) return false;
    }
    const MHDynBase removed = slots_[slot];  // released once the list is consistent
    slots_[slot].Reset();
    --live_;
    for (std::size_t k = slot + 1; k < rank_.size(); k += k & (~k + 1))
        --rank_[k];
    if (slots_.size() - live_ > live_) CloseHoles();
    return true;
}

void MLinkList::CloseHoles() {
    // Each object's chain holds only its links, so the chains survive the move with their
    // slots renumbered.
    std::vector<std::size_t> moved(indexed_ ? slots_.size() : 0, kNone);
    std::size_t kept = 0;
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
        if (!slots_[slot]) continue;
        if (kept != slot) {
            slots_[kept].Assign(slots_[slot]);
            slots_[slot].Reset();
        }
        if (indexed_) moved[slot] = kept;
        ++kept;
    }
    rank_.clear();
    if (indexed_) {
        for (std::size_t slot = 0; slot < slots_.size(); ++slot)
            if (moved[slot] != kNone)
                next_[moved[slot]] = next_[slot] == kNone ? kNone : moved[next_[slot]];
        next_.resize(kept);
        for (auto& [object, chain] : index_) {
            chain.first = moved[chain.first];
            chain.last = moved[chain.last];
        }
    }
    slots_.resize(kept);
}

std::vector<MHDynBase> MLinkList::Take() {
    std::vector<MHDynBase> links;
    links.swap(slots_);
    live_ = 0;
    indexed_ = false;
    index_.clear();
    next_.clear();
    rank_.clear();
    return links;
}

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

// Links whose target class has a tag (only those can be referred to in a file).
bool Referable(const MHDynBase& h) {
    return h && h->GetClassInfo().tag[0] != '\0';
}

bool WriteLinks(MFile& file, const MLinkList& links) {
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
    children.PushBack(child);
    if (dependency->parents.empty()) ParentlessList::Leave(*dependency);
    dependency->parents.PushBack(MHDynBase(this));
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
            dependency->parents.RemoveFirst(static_cast<MDynBase*>(this));
            if (dependency->parents.empty()) ParentlessList::Enter(*dependency);
        }
        value1 = value2 = 0;
        children.Take();  // the children are released once the list is empty
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
    if (file.READ(&value1, 1) != 1 || file.READ(&value2, 1) != 1) return false;
    const std::vector<MHDynBase> oldChildren = children.Take();  // alive until done
    if (!parents.empty()) ParentlessList::Enter(*this);
    const std::vector<MHDynBase> oldParents = parents.Take();
    MDynBase* self = this;

    std::uint32_t count = 0;
    if (!ReadCount(file, count)) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        MHDynBase child;
        if (!ReadMarker(file) || !ReadReference(file, child)) return false;
        MDependency* dependency = child.As<MDependency>();
        if (dependency == nullptr) return false;  // a child must be a dependency object
        children.PushBack(child);
        if (!dependency->parents.Contains(self)) {
            if (dependency->parents.empty()) ParentlessList::Leave(*dependency);
            dependency->parents.PushBack(MHDynBase(self));
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
        if (!dependency->children.Contains(self)) dependency->children.PushBack(MHDynBase(self));
        parents.PushBack(parent);
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
