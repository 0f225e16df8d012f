#include "maker/Rans.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace {

using namespace KvxInternal::rans;

// A recorded call: a symbol of table `table`, or `bits` raw bits when table is -1.
struct Call {
    int table;
    std::uint32_t value;
    unsigned bits;
};

std::vector<std::uint8_t> Encode(const std::vector<Table>& tables, const std::vector<Call>& calls) {
    Encoder e;
    for (const Call& c : calls) {
        if (c.table < 0)
            e.PutBits(c.value, c.bits);
        else
            e.Put(tables[c.table], c.value);
    }
    std::vector<std::uint8_t> out;
    e.Finish(out);
    return out;
}

// Decodes `calls`' shapes from `bytes`; true when every value matches and the stream ends clean.
bool DecodesTo(const std::vector<Table>& tables, const std::vector<Call>& calls,
               const std::vector<std::uint8_t>& bytes) {
    Decoder d;
    if (!d.Start(bytes.data(), bytes.size())) return false;
    bool same = true;
    for (const Call& c : calls) {
        const std::uint32_t got = c.table < 0 ? d.GetBits(c.bits) : d.Get(tables[c.table]);
        same = same && got == c.value;
    }
    return same && d.Finish();
}

// Symbols drawn from `weights`.
std::vector<std::uint32_t> Draw(const std::vector<double>& weights, std::size_t n,
                                std::mt19937& rng) {
    std::discrete_distribution<std::uint32_t> pick(weights.begin(), weights.end());
    std::vector<std::uint32_t> out(n);
    for (auto& s : out)
        s = pick(rng);
    return out;
}

Table Counted(const std::vector<std::uint32_t>& symbols, unsigned alphabet) {
    std::vector<std::uint32_t> counts(alphabet);
    for (const std::uint32_t s : symbols)
        ++counts[s];
    return Table::FromCounts(counts.data(), alphabet);
}

TEST(Rans, RoundTripsAndCostsWhatTheSourceHolds) {
    std::mt19937 rng(7);
    std::vector<double> geometric, uniform(256, 1.0);
    for (int i = 0; i < 40; ++i)
        geometric.push_back(std::pow(0.6, i));
    const struct {
        const char* name;
        std::vector<double> weights;
        std::size_t n;
    } sources[] = {
        {"one symbol", {1.0}, 5000},      {"two, very skewed", {1.0, 1e-4}, 100000},
        {"geometric", geometric, 100000}, {"uniform bytes", uniform, 50000},
        {"a few", {5, 3, 1, 1}, 7},
    };
    for (const auto& src : sources) {
        SCOPED_TRACE(src.name);
        const std::vector<std::uint32_t> symbols = Draw(src.weights, src.n, rng);
        const unsigned alphabet = static_cast<unsigned>(src.weights.size());
        const std::vector<Table> tables{Counted(symbols, alphabet)};
        std::vector<Call> calls;
        for (const std::uint32_t s : symbols)
            calls.push_back({0, s, 0});
        const std::vector<std::uint8_t> bytes = Encode(tables, calls);
        EXPECT_TRUE(DecodesTo(tables, calls, bytes));
        // The empirical entropy of the sequence, against what the stream takes.
        std::vector<double> counts(alphabet);
        for (const std::uint32_t s : symbols)
            ++counts[s];
        double bits = 0;
        for (const double c : counts)
            if (c > 0) bits -= c * std::log2(c / double(symbols.size()));
        EXPECT_LE(8.0 * double(bytes.size()), bits * 1.01 + 8 * 16) << bits / 8;
    }
}

TEST(Rans, TablesAndRawBitsInterleave) {
    std::mt19937 rng(11);
    std::vector<Table> tables;
    std::vector<std::vector<std::uint32_t>> drawn;
    for (const unsigned alphabet : {3u, 17u, 256u}) {
        std::vector<double> w(alphabet);
        for (auto& x : w)
            x = std::uniform_real_distribution<double>(0.01, 1.0)(rng);
        drawn.push_back(Draw(w, 20000, rng));
        tables.push_back(Counted(drawn.back(), alphabet));
    }
    std::vector<Call> calls;
    for (std::size_t i = 0; i < 20000; ++i) {
        const int t = static_cast<int>(i % 3);
        calls.push_back({t, drawn[t][i], 0});
        const unsigned bits = static_cast<unsigned>(i % (kMaxRawBits + 1));
        calls.push_back({-1, static_cast<std::uint32_t>(rng()) & ((1u << bits) - 1), bits});
    }
    const std::vector<std::uint8_t> bytes = Encode(tables, calls);
    EXPECT_TRUE(DecodesTo(tables, calls, bytes));

    // No calls at all: the two initial states, and nothing else.
    const std::vector<std::uint8_t> empty = Encode(tables, {});
    EXPECT_EQ(empty.size(), 8u);
    EXPECT_TRUE(DecodesTo(tables, {}, empty));

    // Every cut, and any extra byte, fails: the stream must be used exactly.
    std::vector<Call> few(calls.begin(), calls.begin() + 300);
    const std::vector<std::uint8_t> small = Encode(tables, few);
    for (std::size_t cut = 0; cut < small.size(); ++cut)
        EXPECT_FALSE(DecodesTo(tables, few, {small.begin(), small.begin() + cut})) << cut;
    std::vector<std::uint8_t> longer = small;
    longer.push_back(0);
    EXPECT_FALSE(DecodesTo(tables, few, longer));
}

TEST(Rans, TableFormIsCheckedAndFrequenciesAreKept) {
    // Counts with zeros and a huge spread: present symbols keep a frequency, absent ones none.
    std::vector<std::uint32_t> counts(200, 0);
    counts[0] = 4000000000u;
    for (unsigned s = 1; s < 200; s += 2)
        counts[s] = 1;
    const Table t = Table::FromCounts(counts.data(), 200);
    std::uint32_t sum = 0;
    for (unsigned s = 0; s < 200; ++s) {
        EXPECT_EQ(t.freq(s) > 0, counts[s] > 0) << s;
        sum += t.freq(s);
    }
    EXPECT_EQ(sum, kTotal);

    std::vector<std::uint8_t> form;
    t.Write(form);
    Table back;
    const std::uint8_t* p = form.data();
    ASSERT_TRUE(back.Read(p, form.data() + form.size()));
    EXPECT_EQ(p, form.data() + form.size());
    for (unsigned s = 0; s < 200; ++s)
        EXPECT_EQ(back.freq(s), t.freq(s));
    for (std::size_t cut = 0; cut < form.size(); ++cut) {
        const std::uint8_t* q = form.data();
        EXPECT_FALSE(back.Read(q, form.data() + cut)) << cut;
    }

    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
    } bad[] = {
        // The head is the symbol count << 4 | (precision - 1).
        {"no symbols", {0x0B}},
        {"too many symbols", {0x9B, 0x20}},             // 257 at precision 12
        {"short of the total", {0x2B, 0x80, 0x10, 1}},  // 2048 + 1 of 4096
        {"over the total", {0x1B, 0x81, 0x20}},         // 4097 of 4096
        {"precision above 12", {0x1C, 0x80, 0x40}},     // 8192 of 8192
        {"short at a low precision", {0x22, 1, 2}},     // 1 + 2 of 8
        {"varint too long", {1, 0x80, 0x80, 0x80, 0x80, 0x80, 0}},
    };
    for (const auto& b : bad) {
        const std::uint8_t* q = b.bytes.data();
        EXPECT_FALSE(back.Read(q, b.bytes.data() + b.bytes.size())) << b.name;
    }
}

// Whatever the bytes, decoding stays in range and says the stream is not a valid one.
TEST(Rans, ArbitraryBytesDecodeSafely) {
    std::mt19937 rng(3);
    std::vector<std::uint32_t> counts{9, 1, 0, 5, 300};
    const Table t = Table::FromCounts(counts.data(), 5);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::uint8_t> bytes(8 + rng() % 64);
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(rng());
        Decoder d;
        if (!d.Start(bytes.data(), bytes.size())) continue;
        for (int i = 0; i < 200; ++i) {
            EXPECT_NE(t.freq(d.Get(t)), 0u);
            EXPECT_LT(d.GetBits(5), 32u);
        }
        EXPECT_FALSE(d.Finish());
    }
}

}  // namespace
