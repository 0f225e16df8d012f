// Fuzz target: the rANS entropy coder. The input is a table's compact form followed by a stream:
// the stream is decoded (symbols and raw bits taking turns) until it runs out, and must never
// leave its range; then the symbols decoded are coded again and must decode to the same.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "maker/Rans.h"

using namespace KvxInternal::rans;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Table table;
    const std::uint8_t* p = data;
    if (!table.Read(p, data + size)) return 0;
    Decoder d;
    if (!d.Start(p, static_cast<std::size_t>(data + size - p))) return 0;
    std::vector<unsigned> symbols;
    std::vector<std::uint32_t> raw;
    // Every symbol or raw value costs the stream something on average; 8 per byte bounds it.
    const std::size_t limit = 8 * size + 64;
    for (std::size_t i = 0; i < limit && !d.Finish(); ++i) {
        symbols.push_back(d.Get(table));
        if (table.freq(symbols.back()) == 0) std::abort();
        raw.push_back(d.GetBits(static_cast<unsigned>(i % (kMaxRawBits + 1))));
        if (raw.back() >> (i % (kMaxRawBits + 1)) != 0) std::abort();
    }
    Encoder e;
    for (std::size_t i = 0; i < symbols.size(); ++i) {
        e.Put(table, symbols[i]);
        e.PutBits(raw[i], static_cast<unsigned>(i % (kMaxRawBits + 1)));
    }
    std::vector<std::uint8_t> again;
    e.Finish(again);
    Decoder back;
    if (!back.Start(again.data(), again.size())) std::abort();
    for (std::size_t i = 0; i < symbols.size(); ++i)
        if (back.Get(table) != symbols[i] ||
            back.GetBits(static_cast<unsigned>(i % (kMaxRawBits + 1))) != raw[i])
            std::abort();
    if (!back.Finish()) std::abort();
    return 0;
}
