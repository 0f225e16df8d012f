#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>

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

// A child with many links to a few parents, and the parents detaching in different orders (with
// links added again in between): the child's `parents` must always read as a list that loses the
// first matching entry per removed link, through iteration, indexing and the counts alike. The
// long scripts go beyond the point where the lists are indexed and leave holes in them.
TEST(Dependency, DetachRemovesTheFirstMatchingLinkInAnyOrder) {
    constexpr int kParents = 10;
    struct Step {
        bool add;  // AddChild(child) by the parent, else the parent's DetachChildren
        int parent;
    };
    const auto script = [](const std::vector<int>& links, const std::vector<int>& detach,
                           std::size_t relinkAfter = 0) {
        std::vector<Step> steps;
        for (int p : links)
            steps.push_back({true, p});
        for (std::size_t i = 0; i < detach.size(); ++i) {
            steps.push_back({false, detach[i]});
            if (relinkAfter != 0 && i + 1 == relinkAfter) {
                // A parent that has gone comes back twice, behind the remaining links.
                steps.push_back({true, detach[0]});
                steps.push_back({true, detach[0]});
            }
        }
        if (relinkAfter != 0) steps.push_back({false, detach[0]});
        return steps;
    };
    std::vector<int> many;  // 60 links, six to each parent, interleaved
    for (int i = 0; i < 60; ++i)
        many.push_back(i * 7 % kParents);
    std::vector<int> ascending(kParents), descending(kParents);
    for (int i = 0; i < kParents; ++i) {
        ascending[i] = i;
        descending[i] = kParents - 1 - i;
    }
    const std::vector<int> mixed = {3, 8, 1, 6, 0, 9, 4, 2, 7, 5};
    const struct {
        const char* what;
        std::vector<Step> steps;
    } cases[] = {
        {"short list, duplicates", script({0, 1, 0, 2}, {0, 2, 1})},
        {"short list, one parent", script({4, 4, 4}, {4})},
        {"long list, first parent first", script(ascending, ascending)},
        {"long list, last parent first", script(ascending, descending)},
        {"interleaved, in link order", script(many, ascending)},
        {"interleaved, in reverse", script(many, descending)},
        {"interleaved, mixed, relinked", script(many, mixed, 4)},
        {"interleaved, mixed, relinked late", script(many, descending, 8)},
    };
    for (const auto& c : cases) {
        std::vector<MHDynBase> parents;
        for (int i = 0; i < kParents; ++i)
            parents.push_back(NewDependency());
        MHDynBase child = NewDependency();
        std::vector<int> expected;  // the child's parents, as indices into `parents`
        std::vector<int> links(kParents, 0);
        const auto index = [&](const MHDynBase& h) {
            for (int i = 0; i < kParents; ++i)
                if (parents[i].Get() == h.Get()) return i;
            return -1;
        };
        for (std::size_t s = 0; s < c.steps.size(); ++s) {
            const Step& step = c.steps[s];
            MDependency* parent = D(parents[step.parent]);
            if (step.add) {
                ASSERT_TRUE(parent->AddChild(child));
                expected.push_back(step.parent);
                ++links[step.parent];
            } else {
                parent->DetachChildren();
                for (; links[step.parent] > 0; --links[step.parent]) {
                    const auto it = std::find(expected.begin(), expected.end(), step.parent);
                    if (it != expected.end()) expected.erase(it);
                }
            }
            const std::string where = std::string(c.what) + ", step " + std::to_string(s);
            const MLinkList& list = D(child)->parents;
            std::vector<int> iterated;
            for (const MHDynBase& h : list)
                iterated.push_back(index(h));
            ASSERT_EQ(iterated, expected) << where;
            ASSERT_EQ(list.size(), expected.size()) << where;
            ASSERT_EQ(list.empty(), expected.empty()) << where;
            std::vector<int> indexed;
            for (std::size_t i = 0; i < list.size(); ++i)
                indexed.push_back(index(list[i]));
            ASSERT_EQ(indexed, expected) << where;
            if (!expected.empty()) {
                EXPECT_EQ(index(list.front()), expected.front()) << where;
                EXPECT_EQ(index(list.back()), expected.back()) << where;
            }
            const std::vector<MHDynBase> copy = list;
            ASSERT_EQ(copy.size(), expected.size()) << where;
            for (int p = 0; p < kParents; ++p) {
                const auto n =
                    static_cast<std::size_t>(std::count(expected.begin(), expected.end(), p));
                EXPECT_EQ(list.Count(parents[p].Get()), n) << where << ", parent " << p;
                EXPECT_EQ(list.Contains(parents[p].Get()), n != 0) << where;
                EXPECT_EQ(D(parents[p])->children.size(), static_cast<std::size_t>(links[p]))
                    << where;
            }
            EXPECT_EQ(Parentless(child), expected.empty()) << where;
            EXPECT_EQ(D(child)->IsParentless(), expected.empty()) << where;
        }
        for (const MHDynBase& p : parents)
            D(p)->DetachChildren();
        EXPECT_TRUE(D(child)->parents.empty()) << c.what;
    }
}

// m parents each linked to k children, P0 to C0 twice, read back from the four kinds of stream.
// Whichever end comes first, a link read from both ends exists once at each end, a link listed
// twice exists twice at the end that lists it, and an end that is not in the stream gets one
// entry per linked object read, in reading order. Both small lists and lists long enough to be
// indexed are covered.
TEST(Dependency, ReadingManyLinksKeepsTheReadingRules) {
    using Names = std::vector<std::string>;
    for (const auto& [m, k] : {std::pair{2, 3}, std::pair{12, 15}}) {
        Bytes both, childrenFirst, parentsOnly, childrenOnly;
        std::map<std::pair<std::uint32_t, std::uint32_t>, std::string> names;
        Names childrenOfP0, childrenOfP1, parentsOfC0, parentsOfC1, allChildren, allParents;
        {
            std::vector<MHDynBase> parents, children;
            for (int j = 0; j < m; ++j)
                parents.push_back(NewDependency());
            for (int i = 0; i < k; ++i)
                children.push_back(NewDependency());
            for (const MHDynBase& p : parents)
                for (const MHDynBase& c : children)
                    D(p)->AddChild(c);
            D(parents[0])->AddChild(children[0]);
            std::vector<MDynBase*> ps, cs;
            for (const MHDynBase& p : parents)
                ps.push_back(p.Get());
            for (const MHDynBase& c : children)
                cs.push_back(c.Get());
            const auto concat = [](std::vector<MDynBase*> a, const std::vector<MDynBase*>& b) {
                a.insert(a.end(), b.begin(), b.end());
                return a;
            };
            both = kvxtest::Written(concat(ps, cs));
            childrenFirst = kvxtest::Written(concat(cs, ps));
            parentsOnly = kvxtest::Written(ps);
            childrenOnly = kvxtest::Written(cs);
            for (int j = 0; j < m; ++j) {
                const MUIDValue id = D(parents[j])->GetId();
                names[{id.word0, id.word1}] = "P" + std::to_string(j);
                allParents.push_back("P" + std::to_string(j));
            }
            for (int i = 0; i < k; ++i) {
                const MUIDValue id = D(children[i])->GetId();
                names[{id.word0, id.word1}] = "C" + std::to_string(i);
                allChildren.push_back("C" + std::to_string(i));
            }
            for (const MHDynBase& p : parents)
                D(p)->DetachChildren();
        }
        const auto named = [&](const MLinkList& list) {
            Names out;
            for (const MHDynBase& h : list) {
                const MUIDValue id = D(h)->GetId();
                out.push_back(names[{id.word0, id.word1}]);
            }
            return out;
        };
        const auto with = [](Names list, const std::string& extra) {
            list.push_back(extra);
            return list;
        };
        const Names asBuiltP0 = with(allChildren, "C0"), asBuiltC0 = with(allParents, "P0");

        const struct {
            const char* what;
            const Bytes& bytes;
            bool parentsRead, childrenRead;
            std::size_t firstParent;  // the position of P0 among the objects read
        } streams[] = {
            {"parents first", both, true, true, 0},
            {"children first", childrenFirst, true, true, static_cast<std::size_t>(k)},
            {"parents only", parentsOnly, true, false, 0},
            {"children only", childrenOnly, false, true, 0},
        };
        for (const auto& st : streams) {
            const std::string where = std::string(st.what) + ", m " + std::to_string(m);
            kvxtest::Outcome out = kvxtest::ReadAll(st.bytes);
            ASSERT_EQ(out.results.back(), READ_END) << where;
            // Find both ends through the objects read.
            MHDynBase p0, p1, c0, c1;
            if (st.parentsRead) {
                p0 = out.objects[st.firstParent];
                p1 = out.objects[st.firstParent + 1];
                c0 = D(p0)->children[0];
                c1 = D(p1)->children[1];
            } else {
                c0 = out.objects[0];
                c1 = out.objects[1];
                p0 = D(c0)->parents[0];
                p1 = D(c0)->parents[1];
            }
            if (st.parentsRead && st.childrenRead) {
                EXPECT_EQ(named(D(p0)->children), asBuiltP0) << where;
                EXPECT_EQ(named(D(p1)->children), allChildren) << where;
                EXPECT_EQ(named(D(c0)->parents), asBuiltC0) << where;
                EXPECT_EQ(named(D(c1)->parents), allParents) << where;
            } else if (st.parentsRead) {
                EXPECT_EQ(named(D(p0)->children), asBuiltP0) << where;
                EXPECT_EQ(named(D(c0)->parents), allParents) << where;  // P0 once
                EXPECT_EQ(named(D(c1)->parents), allParents) << where;
            } else {
                EXPECT_EQ(named(D(c0)->parents), asBuiltC0) << where;
                EXPECT_EQ(named(D(p0)->children), allChildren) << where;  // C0 once
                EXPECT_EQ(named(D(p1)->children), allChildren) << where;
            }
            // Unlink everything so that the next stream creates its own objects.
            std::vector<MHDynBase> ends(D(c0)->parents.begin(), D(c0)->parents.end());
            for (const MHDynBase& p : ends)
                D(p)->DetachChildren();
            for (const MHDynBase& h : out.objects)
                D(h)->DetachChildren();
        }
    }
}

}  // namespace
