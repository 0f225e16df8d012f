#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <vector>

#include "maker/MFile.h"
#include "persistence/TestClasses.h"

namespace {

using namespace KvxInternal;
using kvxtest::TParA;
using kvxtest::TParB;
using kvxtest::TPlain;

TEST(Identity, GeneratedIdsAreStableAndUniquePerClass) {
    const std::size_t live = LiveIdentityCount();
    {
        TParA x, y;
        x.GenerateId();
        const MUIDValue first = x.GetId();
        EXPECT_FALSE(first.IsNull());
        x.GenerateId();  // no effect once set
        EXPECT_EQ(x.GetId(), first);
        y.SetId(first);  // forced duplicate: the list keeps both, the first one is found
        EXPECT_EQ(FindIdentified(first, TParA::ClassInfo()), static_cast<MUID*>(&x));
        // Equal ids in different classes are told apart by class.
        TParB z;
        z.SetId(first);
        EXPECT_EQ(FindIdentified(first, TParB::ClassInfo()), static_cast<MUID*>(&z));
        EXPECT_EQ(FindIdentified(first, TPlain::ClassInfo()), nullptr);
        EXPECT_EQ(LiveIdentityCount(), live + 3);
        // A copy gets a fresh identity: the cleared object is given a new id, listed once more.
        x.CopyFrom(y);
        EXPECT_TRUE(x.GetId().IsNull());
        x.GenerateId();
        EXPECT_NE(x.GetId(), first);
        EXPECT_EQ(FindIdentified(first, TParA::ClassInfo()), static_cast<MUID*>(&y));
        EXPECT_EQ(FindIdentified(x.GetId(), TParA::ClassInfo()), static_cast<MUID*>(&x));
    }
    // Destruction removes every entry.
    EXPECT_EQ(LiveIdentityCount(), live);
}

// Ids come from a sequence and the clock, each through one LCG step: objects that reuse one
// address one after the other still get different ids.
TEST(Identity, GeneratedIdsDifferAcrossLifetimes) {
    std::vector<MUIDValue> ids;
    for (int i = 0; i < 3; ++i) {
        TParB x;  // the same stack slot each time
        x.GenerateId();
        EXPECT_FALSE(x.GetId().IsNull());
        ids.push_back(x.GetId());
    }
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_NE(ids[1], ids[2]);
}

// A process and its fork, generating ids at the same moment, never generate the same ones.
TEST(Identity, GeneratedIdsDifferAcrossProcesses) {
    TParB before;
    before.GenerateId();  // the parent's sequence has started
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    TParB x;
    x.GenerateId();
    const MUIDValue mine = x.GetId();
    if (pid == 0) {
        const bool sent = ::write(fds[1], &mine, sizeof mine) == sizeof mine;
        ::_exit(sent ? 0 : 1);
    }
    MUIDValue theirs;
    ASSERT_EQ(::read(fds[0], &theirs, sizeof theirs), static_cast<ssize_t>(sizeof theirs));
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_NE(mine, theirs);
}

TEST(Identity, GetOrCreateResolvesToOneObject) {
    const MUIDValue id{0x1234, 0x5678};
    MHDynBase a = GetOrCreate(id, TParA::ClassInfo());
    ASSERT_TRUE(a);
    EXPECT_EQ(a.As<TParA>()->GetId(), id);
    MHDynBase b = GetOrCreate(id, TParA::ClassInfo());
    EXPECT_EQ(a.Get(), b.Get());
    EXPECT_EQ(a->GetCount(), 2u);
    // Classes without identity or factory give nothing.
    EXPECT_FALSE(GetOrCreate(id, TPlain::ClassInfo()));
    EXPECT_FALSE(GetOrCreate(id, kvxtest::TPar::ClassInfo()));
}

TEST(Identity, ReferencesRoundTrip) {
    MHDynBase target;
    target.AdoptNew("TParB");
    MFileMemory f;
    f.OPEN_WRITE(0, nullptr);
    ASSERT_TRUE(WriteReference(f, target));
    ASSERT_EQ(f.SIZE(), 14);
    EXPECT_EQ(std::memcmp(f.GET_BUFFER(), "TPARB\0", 6), 0);
    const MUIDValue id = target.As<TParB>()->GetId();
    EXPECT_EQ(std::memcmp(f.GET_BUFFER() + 6, &id.word0, 4), 0);
    f.CHANGE_MODE(1);
    MHDynBase back;
    ASSERT_TRUE(ReadReference(f, back));
    EXPECT_EQ(back.Get(), target.Get());

    MHDynBase plain;
    plain.AdoptNew("TPlain");
    EXPECT_FALSE(WriteReference(f, plain));  // no identity
    EXPECT_FALSE(WriteReference(f, MHDynBase()));
}

TEST(Identity, BadReferencesLeaveTheHandleUnchanged) {
    const struct {
        const char* what;
        const char* tag;
        std::size_t length;
    } cases[] = {
        {"unknown tag", "NOPE", 14},
        {"abstract class", "TPAR", 14},
        {"class without identity", "TPLAIN", 14},
        {"short", "TPARA", 13},
        {"identity chunk name", "MUID", 14},
    };
    for (const auto& c : cases) {
        unsigned char bytes[14] = {};
        std::memcpy(bytes, c.tag, std::strlen(c.tag));
        bytes[6] = 7;
        MFileMemory f;
        f.OPEN_READ(bytes, c.length);
        MHDynBase handle;
        handle.AdoptNew("TParA");
        MDynBase* before = handle.Get();
        EXPECT_FALSE(ReadReference(f, handle)) << c.what;
        EXPECT_EQ(handle.Get(), before) << c.what;
    }
}

}  // namespace

// Under SeededIds the ids follow from the seed alone; other seeds give other ids, a live object
// holding the next id still makes the generator step past it, and leaving the scope goes back
// to the process's own sequence.
TEST(Identity, SeededIdsFollowTheSeed) {
    auto ids = [](std::uint64_t seed, int n) {
        const SeededIds scope(seed);
        std::vector<MUIDValue> out;
        for (int i = 0; i < n; ++i) {
            TParA x;
            x.GenerateId();
            out.push_back(x.GetId());
        }
        return out;
    };
    const std::vector<MUIDValue> a = ids(42, 3);
    EXPECT_EQ(ids(42, 3), a);
    const std::vector<MUIDValue> b = ids(43, 3), seven = ids(7, 1);
    for (const MUIDValue& id : b)
        EXPECT_EQ(std::count(a.begin(), a.end(), id), 0);
    {
        TParA holder;
        holder.SetId(a[0]);
        const SeededIds scope(42);
        TParA x;
        x.GenerateId();
        EXPECT_NE(x.GetId(), a[0]);
        {
            const SeededIds inner(7);
            TParA y;
            y.GenerateId();
            EXPECT_EQ(y.GetId(), seven[0]);
        }
    }
    TParA free;
    free.GenerateId();
    EXPECT_EQ(std::count(a.begin(), a.end(), free.GetId()), 0);
}
