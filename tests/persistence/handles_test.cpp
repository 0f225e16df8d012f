#include <gtest/gtest.h>

#include "persistence/TestClasses.h"

namespace {

using namespace KvxInternal;
using kvxtest::gDestroyed;
using kvxtest::TParA;
using kvxtest::TParAB;
using kvxtest::TPlain;

TEST(Handles, CountingAndAssignment) {
    MHDynBase a;
    a.AdoptNew("TParA");
    ASSERT_TRUE(a);
    MDynBase* object = a.Get();
    EXPECT_EQ(object->GetCount(), 1u);
    MHDynBase b(a);
    EXPECT_EQ(object->GetCount(), 2u);
    b = b;  // self-assignment
    b.Assign(object);
    EXPECT_EQ(object->GetCount(), 2u);
    b.Reset();
    b.Reset();  // empty: nothing
    EXPECT_EQ(object->GetCount(), 1u);
    const int before = gDestroyed;
    a.Reset();
    EXPECT_EQ(gDestroyed, before + 1);
}

TEST(Handles, NotCountedObjectsSurviveReleases) {
    TParA object;
    object.SetNotCounted();
    {
        MHDynBase h1(&object), h2(&object);
        h1.Reset();
    }
    EXPECT_EQ(object.GetCount(), HCNT::NOT_COUNTED);
}

// Assigning an object that only the old target keeps alive must not destroy it first.
TEST(Handles, AssignKeepsANewTargetHeldOnlyByTheOldOne) {
    MHDynBase outer;
    outer.AdoptNew("TPlain");
    outer.As<TPlain>()->target.AdoptNew("TParA");
    MHDynBase h(outer);
    outer.Reset();
    h.Assign(h.As<TPlain>()->target.Get());  // the old target (TPlain) dies here
    ASSERT_TRUE(h);
    EXPECT_EQ(h->GetCount(), 1u);
    EXPECT_NE(h.As<TParA>(), nullptr);
}

TEST(Handles, CloneCopiesContentButNotIdentity) {
    MHDynBase original;
    original.AdoptNew("TParAB");
    auto* ab = original.As<TParAB>();
    ab->a = 10, ab->b = 20, ab->c = 30, ab->d = 40;
    ab->GenerateId();
    MHDynBase copy;
    copy.Clone(original);
    ASSERT_TRUE(copy);
    EXPECT_NE(copy.Get(), original.Get());
    EXPECT_EQ(&copy->GetClassInfo(), &TParAB::ClassInfo());
    auto* c = copy.As<TParAB>();
    EXPECT_EQ(c->a + c->b + c->c + c->d, 100);
    EXPECT_TRUE(c->GetId().IsNull());
    MHDynBase none;
    copy.Clone(none);
    EXPECT_FALSE(copy);
    copy.Clone(original);
    copy.Clone(copy);  // cloning onto itself keeps a valid object
    EXPECT_EQ(copy.As<TParAB>()->d, 40);
}

}  // namespace
