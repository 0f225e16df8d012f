// Dependency links between persistent objects. A link is stored at both ends: the parent's
// `children` holds the child and the child's `parents` holds the parent, so linked objects keep
// each other alive until DetachChildren breaks the links. Links are written as references, so
// the graph is rebuilt from a file whatever the order of its objects.
//
// "DATA" contents: value1, value2, child count, per child "MD" + 14-byte reference, parent count,
// per parent "MD" + reference. Reading is safe on untrusted input (counts are checked against the
// bytes that remain before anything is allocated), and reading or unlinking n links costs O(n)
// expected time whatever the shape of the graph.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <unordered_map>
#include <vector>

#include "persistence/Identity.h"
#include "persistence/ObjectStream.h"

namespace KvxInternal {

class MDependency;

// One end of the links of a dependency object: the linked objects in link order, a read-only
// sequence of non-empty handles (size, empty, begin/end, operator[], front, back, a copy as a
// vector) that only MDependency changes. Whatever the length of the list and the order in which
// links go, asking whether an object is linked and removing the first link to it take constant
// expected time: beyond a few links the list keeps an index from each linked object to its links
// (built in O(size()) by the first search), and a removed link leaves a hole that iteration
// skips; the holes are closed (in one pass) once they outnumber the links, so iterating costs
// O(size()) too. Like the rest of the object model, a list is not for use from two threads at
// once, even for reading.
class MLinkList {
public:
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = MHDynBase;
        using difference_type = std::ptrdiff_t;
        using pointer = const MHDynBase*;
        using reference = const MHDynBase&;

        const_iterator() = default;
        reference operator*() const { return *slot_; }
        pointer operator->() const { return slot_; }
        const_iterator& operator++() {
            ++slot_;
            SkipHoles();
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator old = *this;
            ++*this;
            return old;
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) {
            return a.slot_ == b.slot_;
        }

    private:
        friend class MLinkList;
        const_iterator(const MHDynBase* slot, const MHDynBase* end) : slot_(slot), end_(end) {
            SkipHoles();
        }
        void SkipHoles() {
            while (slot_ != end_ && !*slot_)
                ++slot_;
        }
        const MHDynBase* slot_ = nullptr;
        const MHDynBase* end_ = nullptr;
    };
    using iterator = const_iterator;
    using value_type = MHDynBase;
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    using reference = const MHDynBase&;
    using const_reference = const MHDynBase&;

    std::size_t size() const { return live_; }
    bool empty() const { return live_ == 0; }
    const_iterator begin() const { return {slots_.data(), slots_.data() + slots_.size()}; }
    const_iterator end() const {
        return {slots_.data() + slots_.size(), slots_.data() + slots_.size()};
    }
    // Link i (below size()): constant time, or logarithmic while the list has holes (the first
    // such call builds a search tree in O(size())).
    const MHDynBase& operator[](std::size_t i) const;
    const MHDynBase& front() const { return (*this)[0]; }
    const MHDynBase& back() const { return (*this)[live_ - 1]; }
    // A copy of the links, so that `std::vector<MHDynBase> copy = list;` reads as with a vector.
    operator std::vector<MHDynBase>() const { return std::vector<MHDynBase>(begin(), end()); }

    // The number of links to `object`.
    std::size_t Count(const MDynBase* object) const;
    bool Contains(const MDynBase* object) const { return Count(object) != 0; }

private:
    friend class MDependency;
    // Appends a link; `link` holds an object.
    void PushBack(const MHDynBase& link);
    // Removes the first link to `object` (later links keep their order); false when none.
    bool RemoveFirst(const MDynBase* object);
    // Empties the list and hands its slots over (an empty handle for each hole), so that the links
    // are released once the list is consistent: releasing one may destroy an object whose
    // destructor unlinks.
    std::vector<MHDynBase> Take();

    // Builds the index when the list is long enough to need one and has none yet.
    void NeedIndex() const;
    void Index(std::size_t slot) const;
    void CloseHoles();

    // The links of one object, as a chain of slots in link order.
    struct Chain {
        std::size_t first;
        std::size_t last;
        std::size_t count;
    };
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    // Up to this many slots the list is searched instead of indexed.
    static constexpr std::size_t kIndexFrom = 8;

    std::vector<MHDynBase> slots_;  // the links, an empty handle for each hole
    std::size_t live_ = 0;          // the slots that hold a link
    // The index is built by the first search of a long list (a list that is only appended to
    // and read, like most children lists, never needs it) and then kept up to date.
    mutable bool indexed_ = false;
    mutable std::unordered_map<const MDynBase*, Chain> index_;
    mutable std::vector<std::size_t> next_;  // per slot: the next slot of the same object
    // While there are holes and operator[] has been used: a binary indexed tree over the slots
    // (1 for a link, 0 for a hole) that finds link i in logarithmic time.
    mutable std::vector<std::size_t> rank_;
};

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
    // Removes every link to a child, at both ends: each child loses its first link to this
    // object.
    void DetachChildren();
    // CopyFrom, then share the source's children.
    virtual void CopyLinks(MDynBase& source);
    // CopyFrom, then a deep copy of the source's children (each new top-level child is appended
    // to `newChildren` when given). A child met again on its own ancestry is not copied again, so
    // cyclic graphs end.
    virtual void CloneLinks(MDynBase& source, std::vector<MHDynBase>* newChildren);

    bool IsParentless() const { return inParentless_; }

    MLinkList children;
    MLinkList parents;
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
