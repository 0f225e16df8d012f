#include "DataBlock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
    // Only regular files: opening a FIFO blocks until a writer comes, and a FIFO or device could
    // feed bytes without end. The type is checked before opening; the open does not block, and
    // the opened file is checked again, for a FIFO put in its place in between.
    const auto unreadable = [&] {
        return CliError(kExitInput, file.string() + ": cannot read the data file");
    };
    const auto irregular = [&] {
        return CliError(kExitInput, file.string() + ": not a regular file");
    };
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) throw unreadable();
    if (!S_ISREG(st.st_mode)) throw irregular();
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) throw unreadable();
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } const closer{fd};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) throw irregular();
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) throw unreadable();
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size > kMaxBytes)
        throw CliError(kExitInput, file.string() + ": too large for a data block (at most 2 GiB)");
    std::vector<std::uint8_t> bytes(size);
    for (std::uint64_t done = 0; done < size;) {
        const ssize_t got = ::read(fd, bytes.data() + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) throw unreadable();  // an error, or the file shrank
        done += static_cast<std::uint64_t>(got);
    }
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
