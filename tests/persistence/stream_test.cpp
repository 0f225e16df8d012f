#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "maker/MFile.h"
#include "persistence/TestClasses.h"
#include "support/Streams.h"

namespace {

using namespace KvxInternal;
using kvxtest::Bytes;
using kvxtest::Chunk;
using kvxtest::Concat;
using kvxtest::Outcome;
using kvxtest::ReadAll;
using kvxtest::TParA;
using kvxtest::TParAB;
using kvxtest::TPlain;
using kvxtest::Words;
using kvxtest::Written;

using Results = std::vector<std::int32_t>;

// Inner chunks of a class chunk: identity, base chunks, "DATA".
Bytes Identified(const char* tag, std::uint32_t w0, std::uint32_t w1, std::int32_t field) {
    return Chunk(
        tag, 2,
        Concat({Chunk("MUID", 2, Words({w0, w1})), Chunk("TPAR", 2, Chunk("DATA", 2, Words({99}))),
                Chunk("DATA", 2, Words({static_cast<std::uint32_t>(field)}))}));
}

TEST(ObjectStream, NestedLayout) {
    TParAB object;
    const Bytes bytes = Written({&object});
    MFileMemory f;
    f.OPEN_READ(bytes.data(), bytes.size());
    MTagList tree;
    ASSERT_TRUE(tree.BUILD_TAG_TREE(f, 0, f.SIZE()));
    std::string names;
    for (std::size_t i = 0; i < tree.Count(); ++i)
        names += std::string(tree.DepthAt(i) - 1, '.') + tree.At(i).GetName() + " ";
    EXPECT_EQ(names,
              "TPARAB .MUID .TPARA ..TPAR ...DATA ..DATA .TPARB ..TPAR ...DATA ..DATA .DATA ");
    MTag data("DATA");
    ASSERT_NE(tree.FIND_TAG(nullptr, data, 0, false), nullptr);  // TPar's: its version and flags
    EXPECT_EQ(data.GetVersion(), 2);
    EXPECT_EQ(data.GetFlags(), 1);
}

// A reference met before its object's chunk leads to the same object, filled when the chunk comes.
TEST(ObjectStream, RoundTripWithReferenceBeforeItsObject) {
    Bytes bytes;
    {
        MHDynBase target;
        target.AdoptNew("TParAB");
        auto* ab = target.As<TParAB>();
        ab->a = 11, ab->b = 12, ab->c = 13, ab->d = 14;
        TPlain plain;
        plain.e = 7;
        plain.target = target;
        bytes = Written({&plain, target.Get()});
    }  // the written objects are gone, so reading creates new ones
    Outcome out = ReadAll(bytes);
    ASSERT_EQ(out.results, (Results{READ_OK, READ_OK, READ_END}));
    auto* plain = out.objects[0].As<TPlain>();
    auto* ab = out.objects[1].As<TParAB>();
    ASSERT_TRUE(plain && ab);
    EXPECT_EQ(plain->e, 7);
    EXPECT_EQ(plain->target.Get(), out.objects[1].Get());
    EXPECT_EQ(ab->a + ab->b + ab->c + ab->d, 11 + 12 + 13 + 14);
    // Writing an object twice writes the same id.
    EXPECT_EQ(Written({out.objects[1].Get()}), Written({out.objects[1].Get()}));
}

TEST(ObjectStream, UnknownAndAbstractChunksAreSkipped) {
    TParA a;
    a.b = 42;
    const Bytes one = Written({&a});
    const Bytes bytes =
        Concat({Chunk("ALIEN", 2, {1, 2, 3}), Chunk("TPAR", 2, {}), Chunk("", 2, {}), one});
    Outcome out = ReadAll(bytes);
    EXPECT_EQ(out.results, (Results{READ_SKIPPED, READ_SKIPPED, READ_SKIPPED, READ_OK, READ_END}));
    EXPECT_EQ(out.objects.back().As<TParA>()->b, 42);
}

// Each damaged object fails alone; the next read starts at the chunk after it.
TEST(ObjectStream, FailuresAreContained) {
    const Bytes good = Identified("TPARA", 1, 2, 5);
    const struct {
        const char* what;
        Bytes chunk;
    } cases[] = {
        {"identity version 1",
         Chunk("TPARA", 2,
               Concat({Chunk("MUID", 1, Words({1, 2})), Chunk("DATA", 2, Words({5}))}))},
        {"short identity",
         Chunk("TPARA", 2, Concat({Chunk("MUID", 2, Words({1})), Chunk("DATA", 2, Words({5}))}))},
        {"no identity", Chunk("TPARA", 2, Chunk("DATA", 2, Words({5})))},
        {"empty class chunk", Chunk("TPARA", 2, {})},
        {"inner chunk overruns",
         Chunk("TPARA", 2,
               Concat({Chunk("MUID", 2, Words({1, 2})),
                       Bytes{'D', 'A', 'T', 'A', 0, 0, 2, 0, 9, 0, 0, 0}}))},
        {"field of a wrong version",
         Chunk("TPARA", 2,
               Concat({Chunk("MUID", 2, Words({1, 2})), Chunk("DATA", 3, Words({5}))}))},
        {"field too short",
         Chunk("TPARA", 2, Concat({Chunk("MUID", 2, Words({1, 2})), Chunk("DATA", 2, {1, 2})}))},
    };
    for (const auto& c : cases) {
        Outcome out = ReadAll(Concat({c.chunk, good}), true);
        EXPECT_EQ(out.results, (Results{READ_FAILED, READ_OK, READ_END})) << c.what;
        ASSERT_EQ(out.objects.size(), 1u) << c.what;
        EXPECT_EQ(out.objects[0].As<TParA>()->b, 5) << c.what;
    }
}

// An identity chunk that is not the first inner chunk is found inside the class chunk, through
// its "DATA" chunk.
TEST(ObjectStream, IdentityFoundFurtherIn) {
    const Bytes bytes =
        Chunk("TPARA", 2,
              Concat({Chunk("DATA", 2, Words({8})),
                      Chunk("X", 2, Chunk("MUID", 2, Chunk("DATA", 2, Words({0xAB, 0xCD}))))}));
    Outcome out = ReadAll(bytes);
    ASSERT_EQ(out.results, (Results{READ_OK, READ_END}));
    EXPECT_EQ(out.objects[0].As<TParA>()->GetId(), (MUIDValue{0xAB, 0xCD}));
    EXPECT_EQ(out.objects[0].As<TParA>()->b, 8);
}

TEST(ObjectStream, MissingChunksLeaveDefaults) {
    // No base chunk and no "DATA": the object reads with its defaults.
    Outcome out = ReadAll(Chunk("TPARA", 2, Chunk("MUID", 2, Words({5, 6}))));
    ASSERT_EQ(out.results, (Results{READ_OK, READ_END}));
    EXPECT_EQ(out.objects[0].As<TParA>()->a, 1);
    EXPECT_EQ(out.objects[0].As<TParA>()->b, 2);
    // The base chunk present, the own "DATA" missing.
    out = ReadAll(Chunk("TPARA", 2,
                        Concat({Chunk("MUID", 2, Words({7, 8})),
                                Chunk("TPAR", 2, Chunk("DATA", 2, Words({33})))})));
    ASSERT_EQ(out.results, (Results{READ_OK, READ_END}));
    EXPECT_EQ(out.objects[0].As<TParA>()->a, 33);
    EXPECT_EQ(out.objects[0].As<TParA>()->b, 2);
}

TEST(ObjectStream, FlatFormPassesTheClassChunkBytes) {
    Outcome out = ReadAll(Chunk("TPLAIN", 1, Concat({Words({77}), Bytes{0}}), 9));
    ASSERT_EQ(out.results, (Results{READ_OK, READ_END}));
    auto* plain = out.objects[0].As<TPlain>();
    EXPECT_EQ(plain->e, 77);
    EXPECT_EQ(plain->seenVersion, 1);
    EXPECT_EQ(plain->seenFlags, 9);
}

TEST(ObjectStream, EndsAndDamagedTails) {
    EXPECT_EQ(ReadAll({}).results, (Results{READ_END}));
    const Bytes good = Identified("TPARA", 1, 2, 5);
    // Bytes that are no whole chunk, and a chunk longer than what remains.
    EXPECT_EQ(ReadAll(Concat({good, Bytes{1, 2, 3}})).results, (Results{READ_OK, READ_FAILED}));
    Bytes overrun = Chunk("TPARA", 2, {1, 2, 3, 4});
    overrun[8] = 50;
    EXPECT_EQ(ReadAll(Concat({good, overrun})).results, (Results{READ_OK, READ_FAILED}));
}

// Cutting a stream anywhere never crashes, never loops, and never reads a cut object as whole.
TEST(ObjectStream, EveryTruncatedPrefix) {
    Bytes bytes;
    {
        TParAB ab;
        TPlain plain;
        MHDynBase target;
        target.AdoptNew("TParA");
        plain.target = target;
        bytes = Written({&ab, &plain, target.Get()});
    }
    const std::size_t full = ReadAll(bytes).objects.size();
    ASSERT_EQ(full, 3u);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        Outcome out = ReadAll(Bytes(bytes.begin(), bytes.begin() + cut), true);
        EXPECT_LT(out.objects.size(), full) << cut;
        EXPECT_LT(out.results.size(), 10u) << cut;
        EXPECT_TRUE(out.results.back() == READ_END || out.results.back() == READ_FAILED) << cut;
    }
}

}  // namespace
