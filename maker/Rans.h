// A static-model rANS entropy coder (range asymmetric numeral systems), the entropy stage of the
// mesh payload's format 2 (docs/format.md, "Entropy coder").
//
// Symbols come from tables of normalised frequencies (total 2^kPrecision) that the encoder
// builds from counts and writes into the payload; raw bits (up to 16 at a time) travel through
// the same stream. Two states take turns, op by op, so that a decoder has two independent
// dependency chains; both states share one byte stream.
//
// Encoder: Put and PutBits record the ops; Finish codes them (in reverse, as rANS requires) and
// returns bytes that a Decoder reads front to back with the same sequence of Get/GetBits calls.
//
// Decoding is safe on untrusted input: Table::Read checks every field, a Decoder never reads past
// its bytes (it reads zeros there and remembers the overrun), its states cannot leave their
// range whatever the bytes, and Finish says whether the bytes were exactly a valid stream for
// the calls made (every byte used, no overrun, both states back at their initial value). A
// decoder's work is one table lookup and a few integer operations per symbol.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace KvxInternal::rans {

inline constexpr unsigned kPrecision = 12;
inline constexpr std::uint32_t kTotal = std::uint32_t{1} << kPrecision;
inline constexpr unsigned kMaxSymbols = 256;
inline constexpr unsigned kMaxRawBits = 16;

class Table {
public:
    // Frequencies proportional to `counts` (at most kMaxSymbols of them, not all zero): every
    // symbol with a count gets a frequency of at least 1, the others 0.
    static Table FromCounts(const std::uint32_t* counts, unsigned symbols);

    // Appends the compact form: the symbol count and the precision p the counts call for (at most
    // kPrecision) in one varint, then each frequency at precision p (LEB128 varints).
    void Write(std::vector<std::uint8_t>& out) const;
    // Reads the compact form at `p` (advanced past it); false when it runs past `end`, has no
    // or too many symbols, a precision above kPrecision, or frequencies that do not add up to
    // 2^p.
    bool Read(const std::uint8_t*& p, const std::uint8_t* end);

    unsigned symbols() const { return static_cast<unsigned>(freq_.size()); }
    std::uint32_t freq(unsigned s) const { return freq_[s]; }
    std::uint32_t start(unsigned s) const { return start_[s]; }
    // The symbol whose range holds `slot` (below kTotal).
    unsigned SymbolAt(std::uint32_t slot) const { return decode_[slot] & 0xFF; }
    // For the decoder, per slot: the symbol (bits 0-7), its frequency less one (8-19) and the
    // slot's distance from the symbol's start (20-31).
    std::uint32_t DecodeEntry(std::uint32_t slot) const { return decode_[slot]; }
    // What coding symbol `s` once costs, in 1/256 bits (for the encoder's choices; a symbol
    // without a frequency costs as if it had 1/2).
    std::uint32_t Cost(unsigned s) const;

private:
    void Build();

    std::vector<std::uint16_t> freq_, start_;
    std::vector<std::uint32_t> decode_;
    unsigned precision_ = kPrecision;  // of the written form
};

// Tables for up to 8 contexts over one alphabet: a byte whose bit c says that context c has a
// table, then those tables in context order. `counts` holds `symbols` counts per context; a
// context without counts gets no table. Each table's alphabet ends at its last counted symbol.
void WriteTables(const std::uint32_t* counts, unsigned contexts, unsigned symbols, Table* tables,
                 std::vector<std::uint8_t>& out);
// Reads what WriteTables wrote; `present` gets the byte. False when it is damaged, names a
// context beyond `contexts` or a table has more than `symbols` symbols.
bool ReadTables(const std::uint8_t*& p, const std::uint8_t* end, unsigned contexts,
                unsigned symbols, Table* tables, std::uint8_t& present);

class Encoder {
public:
    // `s` must have a frequency in `table`.
    void Put(const Table& table, unsigned s) {
        ops_.push_back({table.start(s), static_cast<std::uint16_t>(table.freq(s)), kPrecision});
    }
    // The low `bits` (at most kMaxRawBits) of `value`, uniformly.
    void PutBits(std::uint32_t value, unsigned bits) {
        if (bits > 0)
            ops_.push_back(
                {value & ((std::uint32_t{1} << bits) - 1), 1, static_cast<std::uint8_t>(bits)});
    }
    std::size_t ops() const { return ops_.size(); }
    // Room for `ops` more ops, so that recording them does not grow the buffer step by step.
    void Reserve(std::size_t ops) { ops_.reserve(ops_.size() + ops); }
    // Codes every op recorded and appends the stream to `out`; the encoder is empty after.
    void Finish(std::vector<std::uint8_t>& out);

private:
    struct Op {
        std::uint32_t start;
        std::uint16_t freq;
        std::uint8_t precision;
    };
    std::vector<Op> ops_;
};

class Decoder {
public:
    // False when `size` cannot hold the two states or a state is out of range.
    bool Start(const std::uint8_t* data, std::size_t size);

    unsigned Get(const Table& table) {
        std::uint32_t& x = x_[turn_];
        turn_ ^= 1;
        const std::uint32_t e = table.DecodeEntry(x & (kTotal - 1));
        x = ((e >> 8 & 0xFFF) + 1) * (x >> kPrecision) + (e >> 20);
        Refill(x);
        return e & 0xFF;
    }
    std::uint32_t GetBits(unsigned bits) {
        if (bits == 0) return 0;
        std::uint32_t& x = x_[turn_];
        turn_ ^= 1;
        const std::uint32_t value = x & ((std::uint32_t{1} << bits) - 1);
        x >>= bits;
        Refill(x);
        return value;
    }
    // True when the calls made consumed exactly the stream's bytes and left both states where
    // the encoder started them.
    bool Finish() const;

    static constexpr std::uint32_t kLow = std::uint32_t{1} << 23;

private:
    // A state is at least 2^7 after any step (kLow >> kMaxRawBits), so at most three bytes
    // bring it back to kLow or more.
    void Refill(std::uint32_t& x) {
        while (x < kLow) {
            if (p_ < end_) {
                x = x << 8 | *p_++;
            } else {
                x <<= 8;
                overrun_ = true;
            }
        }
    }

    std::uint32_t x_[2] = {kLow, kLow};
    unsigned turn_ = 0;
    const std::uint8_t* p_ = nullptr;
    const std::uint8_t* end_ = nullptr;
    bool overrun_ = false;
};

}  // namespace KvxInternal::rans
