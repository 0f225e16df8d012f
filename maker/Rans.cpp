#include "maker/Rans.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "maker/Varint.h"

namespace KvxInternal::rans {

Table Table::FromCounts(const std::uint32_t* counts, unsigned symbols) {
    if (symbols == 0 || symbols > kMaxSymbols) throw std::invalid_argument("rans: symbol count");
    std::uint64_t total = 0;
    unsigned present = 0;
    for (unsigned s = 0; s < symbols; ++s) {
        total += counts[s];
        present += counts[s] > 0;
    }
    if (total == 0) throw std::invalid_argument("rans: no counts");
    // Few counts need no finer frequencies than they can tell apart: the table is built (and
    // written) at the precision its counts call for, and scaled up to kPrecision.
    const unsigned precision =
        std::clamp<unsigned>(std::max<unsigned>(static_cast<unsigned>(std::bit_width(total)) + 1,
                                                static_cast<unsigned>(std::bit_width(present)) + 1),
                             1, kPrecision);
    const std::int64_t target = std::int64_t{1} << precision;
    Table t;
    t.precision_ = precision;
    t.freq_.assign(symbols, 0);
    std::int64_t sum = 0;
    for (unsigned s = 0; s < symbols; ++s) {
        if (counts[s] == 0) continue;
        const std::uint64_t scaled =
            (std::uint64_t{counts[s]} * static_cast<std::uint64_t>(target) + total / 2) / total;
        t.freq_[s] = static_cast<std::uint16_t>(
            std::clamp<std::uint64_t>(scaled, 1, static_cast<std::uint64_t>(target)));
        sum += t.freq_[s];
    }
    // Rounding leaves the sum near the target; the difference goes to the most frequent symbol,
    // or comes from the largest ones, one unit at a time, never taking one below 1. The target
    // is at least twice the symbols present, so the sum always reaches it.
    std::vector<unsigned> order(symbols);
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(),
              [&](unsigned a, unsigned b) { return t.freq_[a] > t.freq_[b]; });
    if (sum < target)
        t.freq_[order[0]] = static_cast<std::uint16_t>(t.freq_[order[0]] + (target - sum));
    while (sum > target)
        for (const unsigned s : order) {
            if (sum == target) break;
            if (t.freq_[s] > 1) {
                --t.freq_[s];
                --sum;
            }
        }
    for (std::uint16_t& f : t.freq_)
        f = static_cast<std::uint16_t>(f << (kPrecision - precision));
    t.Build();
    return t;
}

void Table::Build() {
    const unsigned n = symbols();
    start_.assign(n, 0);
    decode_.assign(kTotal, 0);
    std::uint32_t at = 0;
    for (unsigned s = 0; s < n; ++s) {
        start_[s] = static_cast<std::uint16_t>(at);
        for (std::uint32_t k = 0; k < freq_[s]; ++k)
            decode_[at + k] = s | (std::uint32_t{freq_[s]} - 1) << 8 | k << 20;
        at += freq_[s];
    }
}

void Table::Write(std::vector<std::uint8_t>& out) const {
    // The symbol count and the precision in one varint, then the frequencies at that precision.
    PutVarint(out, (symbols() << 4) | (precision_ - 1));
    for (const std::uint16_t f : freq_)
        PutVarint(out, f >> (kPrecision - precision_));
}

bool Table::Read(const std::uint8_t*& p, const std::uint8_t* end) {
    std::uint32_t head = 0;
    if (!GetVarint(p, end, head)) return false;
    const std::uint32_t n = head >> 4, precision = (head & 15) + 1;
    if (n == 0 || n > kMaxSymbols || precision > kPrecision) return false;
    const std::uint32_t target = std::uint32_t{1} << precision;
    std::vector<std::uint16_t> freq(n);
    std::uint32_t sum = 0;
    for (std::uint32_t s = 0; s < n; ++s) {
        std::uint32_t f = 0;
        if (!GetVarint(p, end, f) || f > target - sum) return false;
        freq[s] = static_cast<std::uint16_t>(f << (kPrecision - precision));
        sum += f;
    }
    if (sum != target) return false;
    freq_ = std::move(freq);
    precision_ = precision;
    Build();
    return true;
}

std::uint32_t Table::Cost(unsigned s) const {
    const double f = s < freq_.size() && freq_[s] > 0 ? freq_[s] : 0.5;
    return static_cast<std::uint32_t>(std::lround(256.0 * std::log2(kTotal / f)));
}

void WriteTables(const std::uint32_t* counts, unsigned contexts, unsigned symbols, Table* tables,
                 std::vector<std::uint8_t>& out) {
    std::uint8_t present = 0;
    for (unsigned c = 0; c < contexts; ++c)
        if (std::any_of(counts + c * symbols, counts + (c + 1) * symbols,
                        [](std::uint32_t n) { return n > 0; }))
            present = static_cast<std::uint8_t>(present | 1u << c);
    out.push_back(present);
    for (unsigned c = 0; c < contexts; ++c)
        if (present & (1u << c)) {
            const std::uint32_t* row = counts + c * symbols;
            unsigned used = symbols;
            while (row[used - 1] == 0)
                --used;
            tables[c] = Table::FromCounts(row, used);
            tables[c].Write(out);
        }
}

bool ReadTables(const std::uint8_t*& p, const std::uint8_t* end, unsigned contexts,
                unsigned symbols, Table* tables, std::uint8_t& present) {
    if (p >= end) return false;
    present = *p++;
    if (present >> contexts != 0) return false;
    for (unsigned c = 0; c < contexts; ++c)
        if ((present & (1u << c)) && (!tables[c].Read(p, end) || tables[c].symbols() > symbols))
            return false;
    return true;
}

void Encoder::Finish(std::vector<std::uint8_t>& out) {
    std::uint32_t x[2] = {Decoder::kLow, Decoder::kLow};
    std::vector<std::uint8_t> stack;
    stack.reserve(ops_.size() / 2 + 16);
    // Backwards: op i belongs to state i % 2, as the decoder takes them.
    for (std::size_t i = ops_.size(); i-- > 0;) {
        const Op& op = ops_[i];
        std::uint32_t& state = x[i & 1];
        const std::uint32_t limit = ((Decoder::kLow >> op.precision) << 8) * op.freq;
        while (state >= limit) {
            stack.push_back(static_cast<std::uint8_t>(state));
            state >>= 8;
        }
        state = ((state / op.freq) << op.precision) + state % op.freq + op.start;
    }
    for (const std::uint32_t state : x)
        for (int k = 0; k < 4; ++k)
            out.push_back(static_cast<std::uint8_t>(state >> (8 * k)));
    out.insert(out.end(), stack.rbegin(), stack.rend());
    ops_.clear();
}

bool Decoder::Start(const std::uint8_t* data, std::size_t size) {
    if (size < 8) return false;
    for (int i = 0; i < 2; ++i) {
        x_[i] = 0;
        for (int k = 0; k < 4; ++k)
            x_[i] |= std::uint32_t{data[4 * i + k]} << (8 * k);
        if (x_[i] < kLow || x_[i] >= (kLow << 8)) return false;
    }
    turn_ = 0;
    p_ = data + 8;
    end_ = data + size;
    overrun_ = false;
    return true;
}

bool Decoder::Finish() const {
    return !overrun_ && p_ == end_ && x_[0] == kLow && x_[1] == kLow;
}

}  // namespace KvxInternal::rans
