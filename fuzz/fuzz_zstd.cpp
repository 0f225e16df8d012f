// Fuzz target: stream decompression of arbitrary bytes, with an output bound.
#include <cstdint>
#include <sstream>

#include "maker/Zip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::ostringstream out;
    Decompress(out, in, std::uint64_t{64} << 20);
    return 0;
}
