#include "DataBlock.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "Errors.h"

namespace kvx::cli {

namespace {

constexpr unsigned short kMagic = 0x584B;
constexpr unsigned short kLayout = 1;
constexpr std::size_t kHeaderWords = 5;
constexpr std::size_t kMaxName = 255;
// A block is one allocation on both sides; files beyond this are refused.
constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 31;

void Append(std::vector<unsigned short>& out, const std::uint8_t* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; i += 2)
        out.push_back(
            static_cast<unsigned short>(bytes[i] | (i + 1 < size ? bytes[i + 1] << 8 : 0)));
}

bool SafeName(const std::string& name) {
    return !name.empty() && name.size() <= kMaxName && name[0] != '.' &&
           name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

}  // namespace

std::vector<unsigned short> PackDataFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (!in || ec || !std::filesystem::is_regular_file(file))
        throw CliError(kExitInput, file.string() + ": cannot read the data file");
    if (size > kMaxBytes)
        throw CliError(kExitInput, file.string() + ": too large for a data block (at most 2 GiB)");
    std::vector<std::uint8_t> bytes(size);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size)))
        throw CliError(kExitInput, file.string() + ": cannot read the data file");
    std::string name = file.filename().string();
    if (!SafeName(name)) name.clear();
    std::vector<unsigned short> out = {kMagic, kLayout, static_cast<unsigned short>(name.size()),
                                       static_cast<unsigned short>(size & 0xFFFF),
                                       static_cast<unsigned short>(size >> 16)};
    out.reserve(kHeaderWords + (name.size() + 1) / 2 + (size + 1) / 2);
    Append(out, reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
    Append(out, bytes.data(), bytes.size());
    return out;
}

DataFileLayout ReadDataFileLayout(std::span<const unsigned short> block) {
    DataFileLayout out;
    if (block.size() >= kHeaderWords && block[0] == kMagic && block[1] == kLayout) {
        const std::size_t nameBytes = block[2];
        const std::uint64_t size = block[3] | std::uint64_t{block[4]} << 16;
        const std::size_t nameWords = (nameBytes + 1) / 2;
        if (block.size() == kHeaderWords + nameWords + (size + 1) / 2) {
            for (std::size_t i = 0; i < nameBytes; ++i)
                out.name.push_back(
                    static_cast<char>(block[kHeaderWords + i / 2] >> (i % 2 ? 8 : 0) & 0xFF));
            if (!SafeName(out.name)) out.name.clear();
            out.firstWord = kHeaderWords + nameWords;
            out.size = size;
            return out;
        }
    }
    out.size = 2 * std::uint64_t{block.size()};
    return out;
}

void WriteDataFile(std::span<const unsigned short> block, const DataFileLayout& layout,
                   std::ostream& out) {
    char bytes[1 << 16];
    std::uint64_t left = layout.size;
    for (std::size_t word = layout.firstWord; left > 0 && out;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, sizeof bytes));
        for (std::size_t i = 0; i < n; ++i)
            bytes[i] = static_cast<char>(block[word + i / 2] >> (i % 2 ? 8 : 0) & 0xFF);
        out.write(bytes, static_cast<std::streamsize>(n));
        word += n / 2;
        left -= n;
    }
}

}  // namespace kvx::cli
