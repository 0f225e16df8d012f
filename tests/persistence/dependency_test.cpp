#include <gtest/gtest.h>

#include <algorithm>

#include "persistence/Dependency.h"
#include "persistence/TestClasses.h"
#include "support/Streams.h"

namespace {

using namespace KvxInternal;
using kvxtest::Bytes;
using kvxtest::Chunk;
using kvxtest::Concat;
using kvxtest::Words;
using Results = std::vector<std::int32_t>;

MHDynBase NewDependency() {
    MHDynBase h;
    h.AdoptNew(MDependency::ClassInfo());
    return h;
}

MDependency* D(const MHDynBase& h) {
    return h.As<MDependency>();
}

bool Parentless(const MHDynBase& h) {
    const auto all = ParentlessObjects();
    return std::find(all.begin(), all.end(), D(h)) != all.end();
}

TEST(Dependency, LinksAtBothEndsAndDetach) {
    MHDynBase parent = NewDependency(), child = NewDependency();
    EXPECT_TRUE(Parentless(child));
    ASSERT_TRUE(D(parent)->AddChild(child));
    EXPECT_FALSE(Parentless(child));
    EXPECT_TRUE(D(child)->IsParentless() == false && D(child)->parents[0].Get() == parent.Get());
    MHDynBase notADependency;
    notADependency.AdoptNew("TParA");
    EXPECT_FALSE(D(parent)->AddChild(notADependency));
    EXPECT_EQ(D(parent)->children.size(), 1u);

    D(parent)->value1 = 5;
    D(parent)->flag = 0;
    D(parent)->DetachChildren();
    EXPECT_TRUE(D(parent)->children.empty());
    EXPECT_TRUE(D(child)->parents.empty());
    EXPECT_TRUE(Parentless(child));  // back in the list
    EXPECT_EQ(D(parent)->value1, 0u);
    EXPECT_EQ(D(parent)->flag, 1);
    // Without children only the flag changes.
    D(parent)->value1 = 5;
    D(parent)->flag = 0;
    D(parent)->DetachChildren();
    EXPECT_EQ(D(parent)->value1, 5u);
    EXPECT_EQ(D(parent)->flag, 1);
}

// Whichever end is read first, each link exists once in each direction.
TEST(Dependency, ReadingBothEndsMakesOneLink) {
    for (bool parentFirst : {true, false}) {
        Bytes bytes;
        {
            MHDynBase parent = NewDependency(), child = NewDependency();
            D(parent)->AddChild(child);
            D(parent)->value1 = 11;
            bytes = parentFirst ? kvxtest::Written({parent.Get(), child.Get()})
                                : kvxtest::Written({child.Get(), parent.Get()});
            D(parent)->DetachChildren();  // let both die here
        }
        kvxtest::Outcome out = kvxtest::ReadAll(bytes);
        ASSERT_EQ(out.results, (Results{READ_OK, READ_OK, READ_END}));
        MDependency* parent = D(out.objects[parentFirst ? 0 : 1]);
        MDependency* child = D(out.objects[parentFirst ? 1 : 0]);
        ASSERT_EQ(parent->children.size(), 1u);
        ASSERT_EQ(child->parents.size(), 1u);
        EXPECT_EQ(parent->children[0].As<MDependency>(), child);
        EXPECT_EQ(child->parents[0].As<MDependency>(), parent);
        EXPECT_EQ(parent->value1, 11u);
        EXPECT_TRUE(parent->IsParentless());
        EXPECT_FALSE(child->IsParentless());
        parent->DetachChildren();
    }
}

TEST(Dependency, ChildrenWithoutTagAreNotWritten) {
    MHDynBase parent = NewDependency(), plain;
    plain.AdoptNew("MDependency");
    MHDynBase untagged;
    untagged.AdoptNew("MUID");  // an identified class without tag (not a dependency: refused)
    EXPECT_FALSE(D(parent)->AddChild(untagged));
    D(parent)->AddChild(plain);
    const Bytes data = kvxtest::OwnData(kvxtest::Written({parent.Get()}));
    ASSERT_EQ(data.size(), 4u * 3 + 16 + 4);  // values, count 1, one entry, parent count 0
    EXPECT_EQ(Bytes(data.begin() + 12, data.begin() + 14), (Bytes{'M', 'D'}));
    D(parent)->DetachChildren();
}

Bytes Entry(const char* tag, std::uint32_t id) {
    Bytes t(6, 0);
    std::memcpy(t.data(), tag, std::strlen(tag));
    return Concat({Bytes{'M', 'D'}, t, Words({id, id})});
}

Bytes DependencyChunk(std::uint32_t id, const Bytes& links) {
    return Chunk("MDEPD", 2,
                 Concat({Chunk("MUID", 2, Words({id, id})),
                         Chunk("DATA", 2, Concat({Words({0, 0}), links}))}));
}

TEST(Dependency, HostileAndUnknownEntries) {
    // No links: the object stays parentless.
    kvxtest::Outcome out = kvxtest::ReadAll(DependencyChunk(70, Words({0, 0})));
    ASSERT_EQ(out.objects.size(), 1u);
    EXPECT_TRUE(D(out.objects[0])->IsParentless());
    // An unknown parent is dropped and the next one is still read.
    out = kvxtest::ReadAll(
        DependencyChunk(71, Concat({Words({0, 2}), Entry("ALIEN", 1), Entry("MDEPD", 72)})));
    ASSERT_EQ(out.objects.size(), 1u);
    ASSERT_EQ(D(out.objects[0])->parents.size(), 1u);
    EXPECT_FALSE(D(out.objects[0])->IsParentless());
    D(D(out.objects[0])->parents[0])->DetachChildren();

    const struct {
        const char* what;
        Bytes links;
    } refused[] = {
        {"unknown child", Concat({Words({1}), Entry("ALIEN", 1), Words({0})})},
        {"child that is no dependency", Concat({Words({1}), Entry("TPARA", 1), Words({0})})},
        {"missing marker", Concat({Words({1}), Bytes{'X', 'D'}, Bytes(14, 0), Words({0})})},
        {"count beyond the chunk", Concat({Words({0x7FFFFFFF})})},
        {"short", Concat({Words({1}), Entry("MDEPD", 1)})},
    };
    for (const auto& c : refused)
        EXPECT_EQ(kvxtest::ReadAll(DependencyChunk(80, c.links)).results, (Results{READ_FAILED}))
            << c.what;
    // A flat-form chunk is refused.
    EXPECT_EQ(kvxtest::ReadAll(Chunk("MDEPD", 1, Chunk("MUID", 2, Words({81, 81})))).results,
              (Results{READ_FAILED}));
}

TEST(Dependency, CloneAndCopyLinks) {
    MHDynBase root = NewDependency(), a = NewDependency(), b = NewDependency(),
              grandchild = NewDependency();
    D(root)->AddChild(a);
    D(root)->AddChild(b);
    D(a)->AddChild(grandchild);
    D(root)->value2 = 3;
    MHDynBase copy = NewDependency();
    std::vector<MHDynBase> reported;
    D(copy)->CloneLinks(*root, &reported);
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_NE(reported[0].Get(), a.Get());
    EXPECT_EQ(D(copy)->value2, 3u);
    ASSERT_EQ(D(reported[0])->children.size(), 1u);  // cloned further down, not reported
    EXPECT_NE(D(reported[0])->children[0].Get(), grandchild.Get());

    MHDynBase shared = NewDependency();
    D(shared)->CopyLinks(*root);
    EXPECT_EQ(D(shared)->children[0].Get(), a.Get());
    EXPECT_EQ(D(a)->parents.size(), 2u);

    // A cycle ends.
    D(grandchild)->AddChild(root);
    MHDynBase cyclic = NewDependency();
    D(cyclic)->CloneLinks(*root, nullptr);
    EXPECT_EQ(D(cyclic)->children.size(), 2u);

    for (const MHDynBase& h : {root, a, b, grandchild, copy, shared, cyclic})
        D(h)->DetachChildren();
    for (const MHDynBase& h : reported)
        D(h)->DetachChildren();
}

}  // namespace
