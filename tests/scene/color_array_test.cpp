#include "scene/ColorArray.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "maker/MFile.h"
#include "maker/MTag.h"
#include "persistence/ObjectStream.h"
#include "support/Streams.h"
#include "support/TestFiles.h"

namespace {

using namespace KvxInternal;
using kvxtest::Bytes;
using kvxtest::Chunk;
using kvxtest::Concat;
using kvxtest::Words;
using Values = std::vector<std::uint16_t>;

struct Leaf {
    std::uint16_t value;
    std::uint16_t length;
};

Bytes LeafBytes(const std::vector<Leaf>& leaves) {
    Bytes out;
    for (const Leaf& leaf : leaves)
        for (std::uint16_t x : {leaf.value, leaf.length}) {
            out.push_back(static_cast<std::uint8_t>(x));
            out.push_back(static_cast<std::uint8_t>(x >> 8));
        }
    return out;
}

// A "DATA" payload: D, the leaf records, the count and the bit bytes.
Bytes Payload(const std::vector<Leaf>& leaves, std::int32_t count, const Bytes& bits) {
    return Concat({Words({static_cast<std::uint32_t>(leaves.size())}), LeafBytes(leaves),
                   Words({static_cast<std::uint32_t>(count)}), bits});
}

// A "COLOR" chunk in the nested form around a payload.
Bytes Nested(const Bytes& payload, std::uint8_t dataVersion = 2) {
    return Chunk("COLOR", 2,
                 Concat({Chunk("MUID", 2, Words({1, 2})), Chunk("DATA", dataVersion, payload, 1)}));
}

void Fill(IVColorArray& array, const Values& values) {
    array.SetColorCount(static_cast<std::int32_t>(values.size()));
    for (std::uint16_t v : values)
        array.AddValue(v);
}

Bytes Written(const Values& values) {
    IVColorArray array;
    Fill(array, values);
    MFileMemory f;
    f.OPEN_WRITE(0, nullptr);
    EXPECT_TRUE(array.Write(f));
    return Bytes(f.GET_BUFFER(), f.GET_BUFFER() + f.SIZE());
}

// The "DATA" payload of a written chunk, checking the layout around it.
Bytes DataPayload(const Bytes& chunk) {
    MFileMemory f;
    f.OPEN_READ(chunk.data(), chunk.size());
    MTag color;
    MTagList list;
    if (!color.READ(f) || !color.HasName("COLOR") ||
        color.GetEndPosition() != static_cast<std::int64_t>(chunk.size()) ||
        !list.BUILD_TAG_LIST(f, color, false) || list.Count() != 2 || !list.At(0).HasName("MUID") ||
        !list.At(1).HasName("DATA")) {
        ADD_FAILURE() << "not a COLOR chunk holding MUID and DATA";
        return {};
    }
    const MTag& data = list.At(1);
    EXPECT_EQ(data.GetVersion(), 2);
    EXPECT_EQ(data.GetFlags(), 1);
    const auto begin = chunk.begin() + data.GetContentsPosition();
    return Bytes(begin, begin + static_cast<std::ptrdiff_t>(data.GetContentsLength()));
}

bool ReadInto(IVColorArray& array, const Bytes& chunk) {
    MFileMemory f;
    f.OPEN_READ(chunk.data(), chunk.size());
    return array.Read(f);
}

// Reads a written chunk back into a fresh array and compares the content.
void ExpectRoundTrip(const Values& values, const std::string& what) {
    IVColorArray back;
    ASSERT_TRUE(ReadInto(back, Written(values))) << what;
    EXPECT_EQ(back.GetColorCount(), static_cast<std::int32_t>(values.size())) << what;
    EXPECT_TRUE(back.GetValues() == values) << what;
}

TEST(ColorArray, WritesTheCodeByteExact) {
    const struct {
        const char* what;
        Values values;
        std::vector<Leaf> leaves;
        Bytes bits;
    } cases[] = {
        {"leaf 7 left of 5: bits 1,1,1,0", {5, 5, 5, 7}, {{7, 1}, {5, 1}}, {0x07}},
        {"merged node after the leaf of equal weight",
         {1, 2, 2, 3, 3, 3},
         {{3, 1}, {1, 2}, {2, 2}},
         {0x3D, 0x00}},
        {"one distinct value: no bits, one zero byte", {9, 9, 9}, {{9, 0}}, {0x00}},
        {"empty array", {}, {}, {0x00}},
        {"equal weights: lower value left, exactly 8 bits",
         {2, 1, 2, 1, 2, 1, 2, 1},
         {{1, 1}, {2, 1}},
         {0x55}},
        {"9 bits make two bytes", {1, 2, 1, 2, 1, 2, 1, 2, 2}, {{1, 1}, {2, 1}}, {0xAA, 0x01}},
        {"internal nodes of equal weight keep their order",
         {4, 3, 2, 1},
         {{1, 2}, {2, 2}, {3, 2}, {4, 2}},
         {0x27}},
        {"single value, largest code", {65535}, {{65535, 0}}, {0x00}},
    };
    for (const auto& c : cases) {
        const auto count = static_cast<std::int32_t>(c.values.size());
        EXPECT_EQ(DataPayload(Written(c.values)), Payload(c.leaves, count, c.bits)) << c.what;
        ExpectRoundTrip(c.values, c.what);
    }
}

Values RandomValues(std::size_t n, std::uint32_t alphabet, bool skewed, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::uint32_t> uniform(0, alphabet - 1);
    std::geometric_distribution<std::uint32_t> geometric(0.2);
    Values out(n);
    for (auto& v : out)
        v = static_cast<std::uint16_t>((skewed ? geometric(rng) % alphabet : uniform(rng)) * 7919 %
                                       65536);  // spread over the whole range
    return out;
}

TEST(ColorArray, RoundTripsByContent) {
    const struct {
        std::size_t size;
        std::uint32_t alphabet;
        bool skewed;
    } cases[] = {{1, 1, false},      {2, 2, false},       {1000, 1, false},
                 {1000, 2, false},   {1000, 3, false},    {5000, 17, true},
                 {20000, 300, true}, {20000, 300, false}, {30000, 65536, false}};
    std::uint32_t seed = 1;
    for (const auto& c : cases)
        ExpectRoundTrip(RandomValues(c.size, c.alphabet, c.skewed, seed++),
                        std::to_string(c.size) + " of " + std::to_string(c.alphabet));

    // Every value once, some twice, in random order.
    Values all(65536 + 1000);
    for (std::size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<std::uint16_t>(i);
    std::shuffle(all.begin(), all.end(), std::mt19937(7));
    const Bytes payload = DataPayload(Written(all));
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 4), Words({65536}));
    ExpectRoundTrip(all, "65536 distinct");

    // Fibonacci weights make the deepest trees: value i occurs F(i) times, codes up to 24 bits.
    Values deep;
    for (std::uint32_t i = 1, a = 1, b = 1; i <= 25; ++i, b = a + b, a = b - a)
        deep.insert(deep.end(), a, static_cast<std::uint16_t>(i));
    std::shuffle(deep.begin(), deep.end(), std::mt19937(8));
    const Bytes deepPayload = DataPayload(Written(deep));
    std::uint16_t longest = 0;
    for (std::size_t at = 4; at + 4 <= 4 + 25 * 4; at += 4)
        longest = std::max<std::uint16_t>(longest, deepPayload[at + 2] | deepPayload[at + 3] << 8);
    EXPECT_EQ(longest, 24);
    ExpectRoundTrip(deep, "Fibonacci weights");
}

TEST(ColorArray, ReadsThroughTheObjectStream) {
    const Values first = {3, 1, 4, 1, 5, 9, 2, 6};
    const Values second = {};
    Bytes bytes;
    MUIDValue ids[2];
    {
        IVColorArray a, b;
        Fill(a, first);
        Fill(b, second);
        MFileMemory f;
        f.OPEN_WRITE(0, nullptr);
        ASSERT_TRUE(a.Write(f) && b.Write(f));
        bytes.assign(f.GET_BUFFER(), f.GET_BUFFER() + f.SIZE());
        ids[0] = a.GetId();
        ids[1] = b.GetId();
    }  // gone, so reading makes new objects
    MFileMemory f;
    f.OPEN_READ(bytes.data(), bytes.size());
    MHDynBase handle;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(ReadNextObject(handle, f), READ_OK) << i;
        auto* array = handle.As<IVColorArray>();
        ASSERT_NE(array, nullptr);
        EXPECT_EQ(array->GetId(), ids[i]);
        EXPECT_TRUE(array->GetValues() == (i == 0 ? first : second));
    }
    EXPECT_EQ(ReadNextObject(handle, f), READ_END);
}

// The forms a reader meets, and payloads at the edge of the checks that are sound.
TEST(ColorArray, ReadsEveryFormAndEdge) {
    const Bytes payload = Payload({{7, 1}, {5, 1}}, 4, {0x07});
    const Values sevens(5, 7);
    const struct {
        const char* what;
        Bytes chunk;
        Values values;
    } cases[] = {
        {"nested", Nested(payload), {5, 5, 5, 7}},
        {"DATA version 1", Nested(payload, 1), {5, 5, 5, 7}},
        {"DATA version 3", Nested(payload, 3), {5, 5, 5, 7}},
        {"flat, version 1", Chunk("COLOR", 1, payload), {5, 5, 5, 7}},
        {"flat, version 0", Chunk("COLOR", 0, payload, 1), {5, 5, 5, 7}},
        {"no DATA chunk", Chunk("COLOR", 2, Chunk("MUID", 2, Words({1, 2}))), {}},
        {"bytes after the bits", Nested(Payload({{7, 1}, {5, 1}}, 4, {0x07, 0xEE})), {5, 5, 5, 7}},
        {"bits filling the bytes exactly",
         Nested(Payload({{1, 1}, {2, 1}}, 16, {0x00, 0xFF})),
         {1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2}},
        {"zero-length codes", Nested(Payload({{7, 0}}, 5, {0x00})), sevens},
        {"set padding bits are ignored",
         Nested(Payload({{1, 1}, {2, 2}, {3, 2}}, 3, {0xEB})),
         {3, 1, 2}},
    };
    for (const auto& c : cases) {
        IVColorArray array;
        Fill(array, {8, 8});  // replaced by what is read
        ASSERT_TRUE(ReadInto(array, c.chunk)) << c.what;
        EXPECT_EQ(array.GetColorCount(), static_cast<std::int32_t>(c.values.size())) << c.what;
        EXPECT_TRUE(array.GetValues() == c.values) << c.what;
    }
}

// The tree rebuild as the format describes it: scan the (node, depth) list for neighbouring equal
// depths, merge them, continue with the new entry and its predecessor, restart from the front;
// stop at one entry. Quadratic, for small inputs only.
struct RefNode {
    std::uint16_t value = 0;
    int left = -1, right = -1;
};

// The root (with its depth), or -1 when a scan merges nothing while entries remain.
int ScanMerge(const std::vector<Leaf>& leaves, std::vector<RefNode>& nodes, int& rootDepth) {
    std::vector<std::pair<int, int>> list;
    for (const Leaf& leaf : leaves) {
        nodes.push_back({leaf.value});
        list.push_back({static_cast<int>(nodes.size()) - 1, leaf.length});
    }
    while (list.size() > 1) {
        bool merged = false;
        for (std::size_t i = 0; i + 1 < list.size();) {
            if (list[i].second != list[i + 1].second) {
                ++i;
                continue;
            }
            nodes.push_back({0, list[i].first, list[i + 1].first});
            list[i] = {static_cast<int>(nodes.size()) - 1, list[i].second - 1};
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(i) + 1);
            merged = true;
            if (i > 0) --i;
        }
        if (!merged) return -1;
    }
    rootDepth = list[0].second;
    return list[0].first;
}

// Leaf depths, left to right, of a random full binary tree with n leaves (often lopsided).
void RandomShape(int n, std::uint16_t depth, std::mt19937& rng, std::vector<std::uint16_t>& out) {
    if (n == 1) {
        out.push_back(depth);
        return;
    }
    const int k = rng() % 3 == 0 ? (rng() % 2 == 0 ? 1 : n - 1)
                                 : std::uniform_int_distribution<int>(1, n - 1)(rng);
    RandomShape(k, static_cast<std::uint16_t>(depth + 1), rng, out);
    RandomShape(n - k, static_cast<std::uint16_t>(depth + 1), rng, out);
}

// Arbitrary (not only Huffman-shaped) trees decode as the scan's tree does; lengths are accepted
// exactly when the scan leaves one root at depth 0 and no code exceeds the length limit.
TEST(ColorArray, ReaderTreeMatchesTheMergeScan) {
    std::mt19937 rng(42);
    int accepted = 0, rejected = 0;
    for (int round = 0; round < 600; ++round) {
        std::vector<std::uint16_t> lengths;
        if (round % 2 == 0) {
            RandomShape(1 + static_cast<int>(rng() % 150), 0, rng, lengths);
        } else {
            lengths.resize(1 + rng() % 8);
            for (auto& l : lengths)
                l = static_cast<std::uint16_t>(rng() % 5);
        }
        std::vector<Leaf> leaves;
        for (std::size_t i = 0; i < lengths.size(); ++i)
            leaves.push_back({static_cast<std::uint16_t>(i * 257 + 3), lengths[i]});
        std::vector<RefNode> nodes;
        int rootDepth = -1;
        const int root = ScanMerge(leaves, nodes, rootDepth);
        const bool valid =
            root >= 0 && rootDepth == 0 &&
            *std::max_element(lengths.begin(), lengths.end()) <= IVColorArray::kMaxCodeLength;

        // Random values, coded with the scan's tree (path from the root: 0 left, 1 right).
        Values expected;
        Bytes bits(1, 0);
        std::size_t bitCount = 0;
        if (valid) {
            std::map<std::uint16_t, std::vector<int>> codes;
            std::vector<std::pair<int, std::vector<int>>> stack{{root, {}}};
            while (!stack.empty()) {
                auto [at, path] = std::move(stack.back());
                stack.pop_back();
                if (nodes[at].left < 0) {
                    codes[nodes[at].value] = path;
                    continue;
                }
                std::vector<int> left = path;
                left.push_back(0);
                path.push_back(1);
                stack.push_back({nodes[at].left, left});
                stack.push_back({nodes[at].right, path});
            }
            for (int i = 0, n = static_cast<int>(rng() % 40); i < n; ++i) {
                const std::uint16_t value = leaves[rng() % leaves.size()].value;
                expected.push_back(value);
                for (int bit : codes[value]) {
                    if (bitCount == 8 * bits.size()) bits.push_back(0);
                    bits[bitCount / 8] |= static_cast<std::uint8_t>(bit << (bitCount % 8));
                    ++bitCount;
                }
            }
        }
        IVColorArray array;
        const bool ok = ReadInto(
            array, Nested(Payload(leaves, static_cast<std::int32_t>(expected.size()), bits)));
        ASSERT_EQ(ok, valid) << "round " << round;
        EXPECT_TRUE(array.GetValues() == expected) << "round " << round;
        ++(valid ? accepted : rejected);
    }
    // Both outcomes are exercised.
    EXPECT_GT(accepted, 100);
    EXPECT_GT(rejected, 100);
}

TEST(ColorArray, EveryTruncatedPayloadFails) {
    for (const Values& values :
         {Values{}, Values{9, 9, 9}, Values{1, 2, 2, 3, 3, 3}, RandomValues(300, 40, true, 5)}) {
        const Bytes payload = DataPayload(Written(values));
        IVColorArray array;
        ASSERT_TRUE(ReadInto(array, Nested(payload)));
        for (std::size_t cut = 0; cut < payload.size(); ++cut) {
            const Bytes prefix(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(cut));
            EXPECT_FALSE(ReadInto(array, Nested(prefix))) << values.size() << " cut at " << cut;
            EXPECT_EQ(array.GetColorCount(), 0);
            EXPECT_TRUE(array.GetValues().empty());
        }
    }
}

// Leaf records of a complete code whose last two codes are `longest` bits long.
std::vector<Leaf> Caterpillar(std::uint16_t longest) {
    std::vector<Leaf> leaves;
    for (std::uint16_t l = 1; l <= longest; ++l)
        leaves.push_back({l, l});
    leaves.push_back({0, longest});
    return leaves;
}

// One value with a code of no bits costs nothing per value: it is kept once, not count times.
TEST(ColorArray, UniformArrayIsNotExpandedOnRead) {
    const std::int32_t count = IVColorArray::kMaxColorCount;
    kvxtest::Outcome out = kvxtest::ReadAll(Nested(Payload({{42, 0}}, count, {0})));
    ASSERT_EQ(out.objects.size(), 1u);
    auto* array = out.objects[0].As<IVColorArray>();
    EXPECT_EQ(array->GetColorCount(), count);
    EXPECT_EQ(array->GetValue(0), 42);
    EXPECT_EQ(array->GetValue(static_cast<std::uint32_t>(count - 1)), 42);
    EXPECT_EQ(array->GetValue(static_cast<std::uint32_t>(count)), 0);
    // Expanded only when every value is asked for; writing it back gives the same bytes.
    kvxtest::Outcome small = kvxtest::ReadAll(Nested(Payload({{7, 0}}, 5, {0})));
    auto* five = small.objects[0].As<IVColorArray>();
    const kvxtest::Bytes before = kvxtest::Written({five});
    EXPECT_EQ(five->GetValues(), (Values{7, 7, 7, 7, 7}));
    five->AddValue(7);
    EXPECT_EQ(five->GetValues().size(), 6u);
    EXPECT_EQ(before, Nested(Payload({{7, 0}}, 5, {0})));
}

TEST(ColorArray, MalformedPayloadsFailWithoutLargeReservations) {
    const std::int32_t kMaxCount = IVColorArray::kMaxColorCount;
    const std::vector<Leaf> pair = {{1, 1}, {2, 1}};
    const struct {
        const char* what;
        Bytes payload;
    } cases[] = {
        {"nothing", {}},
        {"D beyond the bytes left", Concat({Words({3}), LeafBytes(pair)})},
        {"huge D", Concat({Words({0xFFFFFFFF}), LeafBytes(pair), Words({2}), {0x02}})},
        {"D above 65,536 with the bytes for it",
         Concat({Words({65537}), Bytes(65537 * 4, 0), Words({0}), {0}})},
        {"a repeated value", Payload({{5, 1}, {5, 1}}, 2, {0x02})},
        {"no equal neighbours", Payload({{1, 1}, {2, 2}}, 0, {0})},
        {"three codes of one bit", Payload({{1, 1}, {2, 1}, {3, 1}}, 0, {0})},
        {"overfull code", Payload({{1, 1}, {2, 1}, {3, 1}, {4, 1}}, 0, {0})},
        {"root below depth 0", Payload({{1, 2}, {2, 2}}, 0, {0})},
        {"single value with a length", Payload({{1, 3}}, 1, {0})},
        {"two codes of length 0", Payload({{1, 0}, {2, 0}}, 0, {0})},
        {"maximal length 65535", Payload({{1, 0xFFFF}, {2, 0xFFFF}}, 0, {0})},
        {"codes of 65 bits", Payload(Caterpillar(65), 1, Bytes(9, 0xFF))},
        {"negative count", Payload(pair, -1, {0})},
        {"count with no values", Payload({}, 1, {0})},
        {"count over the limit with a zero-length code", Payload({{7, 0}}, kMaxCount + 1, {0})},
        {"largest count with a zero-length code", Payload({{7, 0}}, INT32_MAX, {0})},
        {"one code more than bits", Payload(pair, 17, {0, 0})},
        {"huge count, few bits", Payload(pair, kMaxCount, {0xFF, 0xFF})},
        {"bits run out", Payload({{1, 1}, {2, 2}, {3, 2}}, 8, {0xFF})},
        {"no bit byte", Payload({}, 0, {})},
        {"no bit byte after zero-length codes", Payload({{7, 0}}, 5, {})},
    };
    for (const auto& c : cases) {
        for (const Bytes& chunk : {Nested(c.payload), Chunk("COLOR", 1, c.payload)}) {
            IVColorArray array;
            Fill(array, {8, 8, 8});
            EXPECT_FALSE(ReadInto(array, chunk)) << c.what;
            EXPECT_EQ(array.GetColorCount(), 0) << c.what;
            EXPECT_TRUE(array.GetValues().empty()) << c.what;
            EXPECT_LT(array.GetValues().capacity(), 1u << 16) << c.what;
        }
    }
    // The caterpillar code itself is sound at the length limit.
    IVColorArray array;
    ASSERT_TRUE(ReadInto(
        array, Nested(Payload(Caterpillar(64), 2, Concat({Bytes(15, 0xFF), Bytes{0x7F}})))));
    EXPECT_TRUE(array.GetValues() == (Values{0, 64}));
}

// A writer that breaks the calling order writes nothing and fails, rather than a file that reads
// back different values.
TEST(ColorArray, WriteRefusesAnInconsistentArray) {
    const struct {
        const char* what;
        bool setCount;
        std::int32_t count;
        std::size_t added;
    } cases[] = {
        {"fewer values than the count", true, 3, 2},
        {"more values than the count", true, 2, 3},
        {"values without a count", false, 0, 2},
        {"negative count", true, -1, 0},
        {"count above the limit", true, IVColorArray::kMaxColorCount + 1, 0},
        {"largest count", true, INT32_MAX, 0},
    };
    for (const auto& c : cases) {
        IVColorArray array;
        if (c.setCount) array.SetColorCount(c.count);
        for (std::size_t i = 0; i < c.added; ++i)
            array.AddValue(static_cast<std::uint16_t>(i));
        EXPECT_LT(array.GetValues().capacity(), 1u << 16) << c.what;
        MFileMemory f;
        f.OPEN_WRITE(0, nullptr);
        EXPECT_FALSE(array.Write(f)) << c.what;
        EXPECT_EQ(f.SIZE(), 0) << c.what;
        // Indices past the values read as 0 instead of running off the end.
        EXPECT_EQ(array.GetValue(static_cast<std::uint32_t>(c.added)), 0) << c.what;
    }
}

}  // namespace
