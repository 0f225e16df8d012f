// One reading of an object stream: the identities it resolves and the memory it may spend.
//
// While a StreamScope is attached to a file, every identity read from that file (an object's own
// chunk, a reference, a scene record) resolves among the objects this reading created: objects of
// another file, or of the host, are never reused, and they never take the place of these. Every
// object the reading creates is charged to the scope's budget (maker/ReadBudget.h) before it is
// made. The scope holds the objects it created until it is destroyed; its destruction first
// breaks every dependency link among them, so that link cycles cannot keep any alive, then
// releases them: what nobody else holds dies with the scope.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "maker/ReadBudget.h"
#include "persistence/Identity.h"

namespace KvxInternal {

class StreamScope : public MReadSession {
public:
    StreamScope(MFile& file, std::uint64_t limit);
    ~StreamScope() override;

    // The scope attached to `file`, or null.
    static StreamScope* Of(const MFile& file);

    // The object of this reading with that id and class, or a new one (charged to the budget);
    // empty when the class cannot be created or has no identity, or the budget is spent.
    MHDynBase GetOrCreate(const MUIDValue& id, const MClassInfo& info);
    // A new object of a class without identity (charged to the budget); empty on failure.
    MHDynBase Create(const MClassInfo& info);

    // Breaks every dependency link among the objects read so far.
    void BreakLinks();
    // Identified objects created by this reading.
    std::size_t ObjectCount() const { return identified_.size(); }

private:
    bool Charge(const MClassInfo& info);

    std::unordered_map<IdentityKey, MHDynBase, IdentityKeyHash> identified_;
};

}  // namespace KvxInternal
