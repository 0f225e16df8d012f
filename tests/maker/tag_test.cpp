#include <gtest/gtest.h>

#include <cstring>

#include "maker/MFile.h"
#include "maker/MTag.h"
#include "support/TestFiles.h"

namespace {

using kvxtest::Bytes;

Bytes Content(MFileMemory& f) {
    return Bytes(f.GET_BUFFER(), f.GET_BUFFER() + f.SIZE());
}

void Open(MFileMemory& f, const Bytes& bytes) {
    f.OPEN_READ(bytes.data(), bytes.size());
}

// "OUTER" [ "MUID" (8 bytes), "IVDEPD" [ "IVOBJ" [ "DATA" (1 byte) ], "DATA" (empty) ], "DATA" (2)
// ]
Bytes Tree() {
    MFileMemory f;
    f.OPEN_WRITE(0, nullptr);
    MTag outer("OUTER"), id("MUID", 2, 0), dep("IVDEPD"), obj("IVOBJ"), d1("DATA", 2, 0),
        d2("DATA"), d3("DATA", 2, 1);
    const std::uint32_t words[2] = {1, 2};
    const char one = 'x';
    const char two[2] = {'y', 'z'};
    EXPECT_TRUE(outer.WRITE(f));
    EXPECT_TRUE(id.WRITE(f));
    f.WRITE(words, 2);
    EXPECT_TRUE(id.UPDATE_SKIP(f));
    EXPECT_TRUE(dep.WRITE(f));
    EXPECT_TRUE(obj.WRITE(f));
    EXPECT_TRUE(d1.WRITE(f));
    f.WRITE(&one, 1);
    EXPECT_TRUE(d1.UPDATE_SKIP(f) && obj.UPDATE_SKIP(f));
    EXPECT_TRUE(d2.WRITE(f) && d2.UPDATE_SKIP(f) && dep.UPDATE_SKIP(f));
    EXPECT_TRUE(d3.WRITE(f));
    f.WRITE(two, 2);
    EXPECT_TRUE(d3.UPDATE_SKIP(f) && outer.UPDATE_SKIP(f));
    return Content(f);
}

TEST(MTag, HeaderLayout) {
    MFileMemory f;
    f.OPEN_WRITE(0, nullptr);
    MTag tag("PSTL", 2, 5);
    ASSERT_TRUE(tag.WRITE(f));
    f.WRITE("abc", 3);
    ASSERT_TRUE(tag.UPDATE_SKIP(f));
    EXPECT_EQ(f.TELL(), 15);
    const Bytes expected = {'P', 'S', 'T', 'L', 0, 0, 2, 5, 3, 0, 0, 0, 'a', 'b', 'c'};
    EXPECT_EQ(Content(f), expected);

    MTag container("QORZIP");  // written without UPDATE_SKIP: length stays 0
    MFileMemory g;
    g.OPEN_WRITE(0, nullptr);
    ASSERT_TRUE(container.WRITE(g));
    EXPECT_EQ(Content(g), (Bytes{'Q', 'O', 'R', 'Z', 'I', 'P', 2, 0, 0, 0, 0, 0}));
}

TEST(MTag, ReadGivesHeaderDataAndEquality) {
    MFileMemory f;
    Open(f, Tree());
    MTag outer;
    ASSERT_TRUE(outer.READ(f));
    EXPECT_STREQ(outer.GetName(), "OUTER");
    EXPECT_EQ(outer.GetHeaderPosition(), 0);
    EXPECT_EQ(outer.GetContentsPosition(), 12);
    EXPECT_EQ(outer.GetEndPosition(), f.SIZE());
    EXPECT_EQ(f.TELL(), 12);
    EXPECT_TRUE(outer == MTag("OUTER"));
    EXPECT_FALSE(outer == MTag("OUTE"));
    EXPECT_FALSE(outer == MTag("OUTER", 3, 0));
    EXPECT_TRUE(MTag("LONGNAME") == MTag("LONGNA"));  // names keep 6 characters
}

TEST(MTagList, ListTreeAndFind) {
    MFileMemory f;
    Open(f, Tree());
    MTag outer;
    ASSERT_TRUE(outer.READ(f));

    MTagList list;
    ASSERT_TRUE(list.BUILD_TAG_LIST(f, outer, false));
    ASSERT_EQ(list.Count(), 3u);
    EXPECT_STREQ(list.At(0).GetName(), "MUID");
    EXPECT_STREQ(list.At(1).GetName(), "IVDEPD");
    EXPECT_STREQ(list.At(2).GetName(), "DATA");

    MTag want("DATA", 9, 9);
    const MTag* found = list.FIND_TAG(nullptr, want, 0, true);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(want.GetFlags(), 1);  // takes the found header's data
    EXPECT_EQ(want.GetContentsLength(), 2u);
    EXPECT_EQ(f.TELL(), want.GetContentsPosition());
    char two[2];
    f.READ(two, 2);
    EXPECT_EQ(std::memcmp(two, "yz", 2), 0);

    MTagList tree;
    ASSERT_TRUE(tree.BUILD_TAG_TREE(f, outer.GetContentsPosition(), outer.GetEndPosition()));
    // Pre-order: MUID, IVDEPD, IVOBJ, DATA(1 byte), DATA(empty), DATA(2 bytes). MUID's 8-byte
    // contents are no chunk, so it is a leaf.
    ASSERT_EQ(tree.Count(), 6u);
    EXPECT_EQ(tree.DepthAt(3), 3);
    MTag data("DATA");
    const MTag* first = tree.FIND_TAG(nullptr, data, 0, false);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(data.GetContentsLength(), 1u);  // the deepest DATA comes first in tree order
    ASSERT_NE(tree.FIND_TAG(first, data, 0, false), nullptr);
    EXPECT_EQ(data.GetContentsLength(), 0u);
    // FIND_TAG_EX: top level only, inside a parent, and the n-th match.
    ASSERT_NE(tree.FIND_TAG_EX(nullptr, data, 1, 0, false), nullptr);
    EXPECT_EQ(data.GetContentsLength(), 2u);
    MTag dep("IVDEPD");
    const MTag* depNode = tree.FIND_TAG(nullptr, dep, 0, false);
    ASSERT_NE(depNode, nullptr);
    ASSERT_NE(tree.FIND_TAG_EX(depNode, data, 1, 0, false), nullptr);
    EXPECT_EQ(data.GetContentsLength(), 0u);
    EXPECT_EQ(tree.FIND_TAG_EX(depNode, data, 0, 2, false), nullptr);
    MTag none("NOPE");
    EXPECT_EQ(tree.FIND_TAG(nullptr, none, 0, true), nullptr);
}

TEST(MTag, OverrunsAreErrors) {
    Bytes bytes = Tree();
    // The outer chunk claims one byte more than the file has.
    Bytes longer = bytes;
    longer[8] += 1;
    MFileMemory f;
    Open(f, longer);
    MTag outer;
    EXPECT_FALSE(outer.READ(f));

    // A child claims more than its parent holds (but less than the file).
    Bytes inner = bytes;
    inner.resize(inner.size() + 256);  // room in the file, none in the parent
    inner[12 + 8] = 200;               // MUID's length 8 -> 200
    MFileMemory g;
    Open(g, inner);
    ASSERT_TRUE(outer.READ(g));
    MTagList list;
    EXPECT_FALSE(list.BUILD_TAG_LIST(g, outer, false));
    EXPECT_FALSE(list.BUILD_TAG_TREE(g, outer.GetContentsPosition(), outer.GetEndPosition()));
}

TEST(MTag, EveryTruncatedPrefixIsRejected) {
    const Bytes bytes = Tree();
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        MFileMemory f;
        Open(f, Bytes(bytes.begin(), bytes.begin() + cut));
        MTag outer;
        EXPECT_FALSE(outer.READ(f)) << cut;
    }
}

TEST(MTagList, DeepNestingIsBounded) {
    // 2000 chunks, each the only content of the one before: far deeper than kMaxDepth.
    MFileMemory f;
    f.OPEN_WRITE(0, nullptr);
    std::vector<MTag> tags(2000, MTag("N"));
    for (auto& t : tags)
        ASSERT_TRUE(t.WRITE(f));
    for (auto it = tags.rbegin(); it != tags.rend(); ++it)
        ASSERT_TRUE(it->UPDATE_SKIP(f));
    f.CHANGE_MODE(1);
    MTagList tree;
    ASSERT_TRUE(tree.BUILD_TAG_TREE(f, 0, f.SIZE()));
    EXPECT_EQ(tree.Count(), static_cast<std::size_t>(MTagList::kMaxDepth));
}

}  // namespace
