#include <gtest/gtest.h>

#include "scene/Parameters.h"
#include "support/Streams.h"

namespace {

using namespace KvxInternal;
using kvxtest::Bytes;
using kvxtest::Chunk;
using kvxtest::Concat;
using kvxtest::FloatBytes;
using kvxtest::Words;

TEST(Parameters, DefaultPayloads) {
    IVParBasePoint point;
    IVParBaseLine line;
    IVParTriangle triangle;
    IVParClip clip;
    IVParDepth depth;
    const struct {
        const char* what;
        MDynBase* object;
        Bytes payload;
    } cases[] = {
        {"PBPNT", &point, Concat({Bytes{0, 0, 0, 0}, Words({0, 13, 1})})},
        {"PBLINE", &line, Concat({Bytes{0, 0, 0, 0}, Words({0, 13, 1})})},
        {"PTRIAN", &triangle, Concat({Bytes(20, 0), Words({1})})},
        {"PCLIP", &clip, Concat({FloatBytes({1, 1, 1, 0, 0, 0}), Bytes{1}})},
        {"PDEPTH", &depth, Concat({Words({0}), FloatBytes({0})})},
    };
    for (const auto& c : cases) {
        const Bytes bytes = kvxtest::Written({c.object});
        EXPECT_EQ(kvxtest::Layout(bytes), std::string(c.what) + " .MUID .PAR ..DATA .DATA ");
        EXPECT_EQ(kvxtest::OwnData(bytes), c.payload) << c.what;
        EXPECT_EQ(kvxtest::Contents(bytes, "DATA", 3), (Bytes{0, 1, 1}))
            << c.what;  // the PAR chunk
    }
}

TEST(Parameters, RoundTripByContent) {
    MHDynBase handle;
    handle.AdoptNew("IVParDepth");
    auto* depth = handle.As<IVParDepth>();
    depth->depthEntries = {{7, true}, {9, false}};
    depth->depthValue = 2.5f;
    depth->parFlagA = true;
    const Bytes bytes = kvxtest::Written({depth});
    EXPECT_EQ(kvxtest::OwnData(bytes), Concat({Words({2}), Bytes{7, 1, 9, 0}, FloatBytes({2.5f})}));
    handle.Reset();  // read into a new object
    kvxtest::Outcome out = kvxtest::ReadAll(bytes);
    ASSERT_EQ(out.objects.size(), 1u);
    auto* back = out.objects[0].As<IVParDepth>();
    EXPECT_EQ(back->depthEntries, (std::vector<IVParDepth::Entry>{{7, true}, {9, false}}));
    EXPECT_EQ(back->depthValue, 2.5f);
    EXPECT_TRUE(back->parFlagA);
}

// Older layouts, selected by the "DATA" flags byte.
TEST(Parameters, Revisions) {
    const Bytes id = Chunk("MUID", 2, Words({1, 1}));
    // IVPar revision 0: only parFlagA; parFlagB keeps its default.
    kvxtest::Outcome out = kvxtest::ReadAll(
        Chunk("PCLIP", 2, Concat({id, Chunk("PAR", 2, Chunk("DATA", 2, Bytes{1, 0, 0}, 0))})));
    ASSERT_EQ(out.objects.size(), 1u);
    EXPECT_TRUE(out.objects[0].As<IVPar>()->parFlagA);
    EXPECT_TRUE(out.objects[0].As<IVPar>()->parFlagB);
    // IVParDepth revision 0: 4-byte colour records, the first byte is the value, flags true.
    out = kvxtest::ReadAll(Chunk(
        "PDEPTH", 2,
        Concat({Chunk("MUID", 2, Words({2, 2})),
                Chunk("DATA", 2,
                      Concat({Words({2}), Bytes{5, 0, 0, 0, 6, 1, 1, 1}, FloatBytes({1})}), 0)})));
    ASSERT_EQ(out.objects.size(), 1u);
    EXPECT_EQ(out.objects[0].As<IVParDepth>()->depthEntries,
              (std::vector<IVParDepth::Entry>{{5, true}, {6, true}}));
    // A count beyond the chunk fails without allocating for it.
    out = kvxtest::ReadAll(
        Chunk("PDEPTH", 2,
              Concat({Chunk("MUID", 2, Words({3, 3})),
                      Chunk("DATA", 2, Concat({Words({0xFFFFFFF0}), Bytes{1, 2}}), 1)})));
    EXPECT_EQ(out.results, (std::vector<std::int32_t>{READ_FAILED}));
}

// A DATA chunk that ends before its last bool: the read fails instead of taking the bool from
// the header of the chunk behind it.
TEST(Parameters, BoolPastTheEndOfDataFails) {
    const Bytes id = Chunk("MUID", 2, Words({4, 4}));
    const Bytes par = Chunk("PAR", 2, Chunk("DATA", 2, Bytes{1, 1, 1}, 1));
    const Bytes vectors = FloatBytes({1, 1, 1, 0, 0, 0});
    const Bytes next = Chunk("PDEPTH", 2, Concat({Chunk("MUID", 2, Words({5, 5}))}));
    const struct {
        const char* what;
        Bytes clip;
    } cases[] = {
        {"clip flag missing", Chunk("PCLIP", 2, Concat({id, par, Chunk("DATA", 2, vectors)}))},
        {"second base flag missing",
         Chunk("PCLIP", 2,
               Concat({id, Chunk("PAR", 2, Chunk("DATA", 2, Bytes{1}, 1)),
                       Chunk("DATA", 2, Concat({vectors, Bytes{1}}))}))},
    };
    for (const auto& c : cases) {
        const kvxtest::Outcome out = kvxtest::ReadAll(Concat({c.clip, next}));
        EXPECT_EQ(out.results, (std::vector<std::int32_t>{READ_FAILED})) << c.what;
    }
    // Complete, the same object reads.
    const kvxtest::Outcome whole = kvxtest::ReadAll(Concat(
        {Chunk("PCLIP", 2, Concat({id, par, Chunk("DATA", 2, Concat({vectors, Bytes{0}}))}))}));
    ASSERT_EQ(whole.objects.size(), 1u);
    EXPECT_FALSE(whole.objects[0].As<IVParClip>()->clipFlag);
}

TEST(Parameters, ColorRecordToValue) {
    const struct {
        ColorRecord record;
        std::uint32_t value;
    } cases[] = {
        {{0x10, 0x20, 0x30, 2}, 0x01302010}, {{0x10, 0x20, 0x30, 3}, 0x02302010},
        {{0x10, 0x20, 0x30, 0}, 0x00302010}, {{0x10, 0x20, 0x30, 1}, 0x00302010},
        {{0xFF, 0xFF, 0xFF, 9}, 0x00FFFFFF},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ColorRecordToValue(c.record), c.value);
}

}  // namespace
