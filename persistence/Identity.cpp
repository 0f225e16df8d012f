#include "persistence/Identity.h"

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <exception>
#include <random>
#include <unordered_map>

#include "maker/MFile.h"
#include "maker/MTag.h"
#include "maker/ReadBudget.h"
#include "persistence/StreamScope.h"

namespace KvxInternal {

KVX_REGISTER_CLASS(MUID, nullptr, 0, 0, &Make<MUID>)

std::size_t IdentityKeyHash::operator()(const IdentityKey& k) const {
    std::uint64_t h = (std::uint64_t{k.id.word0} << 32 | k.id.word1) * 0x9E3779B97F4A7C15ull;
    h ^= reinterpret_cast<std::uintptr_t>(k.info) + (h >> 29);
    return static_cast<std::size_t>(h * 0xBF58476D1CE4E5B9ull);
}

// The live-identity list, indexed by (id, class). Objects with the same key are chained
// through `nextSameKey_` in the order they entered the list, so a lookup returns what a
// front-to-back walk of the list would return. One map node per key; chains are almost always
// one object long.
class LiveIdentities {
public:
    static LiveIdentities& Get() {
        // Never destroyed: objects may still be released during static destruction.
        static LiveIdentities* list = new LiveIdentities;
        return *list;
    }

    MUID* Find(const MUIDValue& id, const MClassInfo& info) const {
        const auto it = heads_.find(Key{id, &info});
        return it == heads_.end() ? nullptr : it->second;
    }

    // Files `object` under its current id; the first time, it joins the list at its end.
    void Enter(MUID& object) {
        if (object.listedClass_ == nullptr) {
            object.listedClass_ = &object.GetClassInfo();
            object.listedOrder_ = ++order_;
            ++count_;
        }
        MUID*& head = heads_[Key{object.id_, object.listedClass_}];
        MUID** link = &head;
        while (*link != nullptr && (*link)->listedOrder_ < object.listedOrder_)
            link = &(*link)->nextSameKey_;
        object.nextSameKey_ = *link;
        *link = &object;
    }

    // Takes `object` out of the chain of its current id (before the id changes).
    void Leave(MUID& object) {
        const auto it = heads_.find(Key{object.id_, object.listedClass_});
        if (it == heads_.end()) return;
        for (MUID** link = &it->second; *link != nullptr; link = &(*link)->nextSameKey_) {
            if (*link != &object) continue;
            *link = object.nextSameKey_;
            break;
        }
        object.nextSameKey_ = nullptr;
        if (it->second == nullptr) heads_.erase(it);
    }

    void Remove(MUID& object) {
        if (object.listedClass_ == nullptr) return;
        Leave(object);
        object.listedClass_ = nullptr;
        --count_;
    }

    std::size_t Count() const { return count_; }

private:
    using Key = IdentityKey;
    std::unordered_map<Key, MUID*, IdentityKeyHash> heads_;
    std::uint64_t order_ = 0;
    std::size_t count_ = 0;
};

MUID::~MUID() {
    LiveIdentities::Get().Remove(*this);
}

void MUID::SetId(const MUIDValue& id) {
    auto& list = LiveIdentities::Get();
    if (listedClass_ != nullptr) list.Leave(*this);
    id_ = id;
    list.Enter(*this);
}

namespace {

// SplitMix64's finaliser: a bijection of 64-bit words in which every input bit moves every
// output bit.
std::uint64_t Mix64(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// The seed of this process's ids: the system's entropy source, the time and the process id, so
// that two processes that export at the same moment (or a process and its fork) never share a
// sequence of ids.
std::uint64_t ProcessSeed() {
    std::uint64_t seed = static_cast<std::uint64_t>(std::time(nullptr)) * 0x9E3779B97F4A7C15ull;
    try {
        std::random_device entropy;
        seed ^= Mix64((std::uint64_t{entropy()} << 32) ^ entropy());
    } catch (const std::exception&) {
        // No entropy source: the clock and the process id below still differ between processes.
    }
    seed ^= Mix64(
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    return seed ^ Mix64(static_cast<std::uint64_t>(getpid()) << 17);
}

thread_local SeededIds* activeSeed = nullptr;

}  // namespace

SeededIds::SeededIds(std::uint64_t seed) : outer_(activeSeed), seed_(seed) {
    activeSeed = this;
}

SeededIds::~SeededIds() {
    activeSeed = outer_;
}

// Ids come from a process-wide sequence mixed with a per-process seed: objects that never live
// at the same time (one stack slot reused in a loop) never share an id, since the mix is a
// bijection of the sequence number, and neither do objects of two processes. A forked child
// takes a seed of its own. Under SeededIds the scope's seed and sequence stand in for them.
void MUID::GenerateId() {
    if (!id_.IsNull()) return;
    static std::uint64_t seed = 0;
    static pid_t seededBy = 0;
    static std::uint64_t sequence = 0;
    if (seed == 0 || seededBy != getpid()) {
        seed = ProcessSeed() | 1;
        seededBy = getpid();
    }
    const std::uint64_t mixed =
        activeSeed != nullptr
            ? Mix64(activeSeed->seed_ + ++activeSeed->sequence_ * 0x9E3779B97F4A7C15ull)
            : Mix64(seed + ++sequence * 0x9E3779B97F4A7C15ull);
    MUIDValue id{static_cast<std::uint32_t>(mixed >> 32), static_cast<std::uint32_t>(mixed)};
    do {
        id.word0 = id.word0 * 1664525u + 1013904223u;
        id.word1 = id.word1 * 1664525u + 1013904223u;
    } while (id.IsNull() || FindIdentified(id, GetClassInfo()) != nullptr);
    SetId(id);
}

bool MUID::WriteId(MFile& file, const MClassInfo& info) {
    if (&info != &GetClassInfo()) return true;
    MTag tag("MUID", 2, 0);
    if (!tag.WRITE(file)) return false;
    GenerateId();
    const std::uint32_t words[2] = {id_.word0, id_.word1};
    return file.WRITE(words, 2) == 2 && tag.UPDATE_SKIP(file);
}

void MUID::CopyFrom(MDynBase&) {
    if (id_.IsNull()) return;
    auto& list = LiveIdentities::Get();
    if (listedClass_ != nullptr) list.Leave(*this);
    id_ = MUIDValue{};
    // A listed object stays listed (under the cleared id) until it is destroyed.
    if (listedClass_ != nullptr) list.Enter(*this);
}

MDynBase& MUID::AssignFrom(MDynBase& source) {
    CopyFrom(source);
    return *this;
}

MUID* FindIdentified(const MUIDValue& id, const MClassInfo& info) {
    return LiveIdentities::Get().Find(id, info);
}

std::size_t LiveIdentityCount() {
    return LiveIdentities::Get().Count();
}

MHDynBase GetOrCreate(const MUIDValue& id, const MClassInfo& info) {
    if (MUID* live = FindIdentified(id, info)) return MHDynBase(live);
    MHDynBase created;
    created.AdoptNew(info);
    MUID* identified = created.As<MUID>();
    if (identified == nullptr) return MHDynBase();
    identified->SetId(id);
    return created;
}

bool WriteReference(MFile& file, const MHDynBase& target) {
    MUID* identified = target.As<MUID>();
    if (identified == nullptr) return false;
    identified->GenerateId();
    char tag[6] = {};
    std::memcpy(tag, target->GetClassInfo().tag, 6);
    const std::uint32_t words[2] = {identified->GetId().word0, identified->GetId().word1};
    return file.WRITE(tag, 6) == 6 && file.WRITE(words, 2) == 2;
}

MHDynBase GetOrCreate(MFile& file, const MUIDValue& id, const MClassInfo& info) {
    if (StreamScope* scope = StreamScope::Of(file)) return scope->GetOrCreate(id, info);
    return GetOrCreate(id, info);
}

bool ReadReference(MFile& file, MHDynBase& target) {
    char tag[7] = {};
    std::uint32_t words[2];
    if (file.READ(tag, 6) != 6 || file.READ(words, 2) != 2) return false;
    const MClassInfo* info = FindByTag(tag);
    if (info == nullptr || info->factory == nullptr) return false;
    // The link this reference makes, at both of its ends.
    if (!TakeReadBudget(file, 1, MReadBudget::kLinkCharge)) return false;
    MHDynBase found = GetOrCreate(file, MUIDValue{words[0], words[1]}, *info);
    if (!found) return false;
    target = found;
    return true;
}

}  // namespace KvxInternal
