#include "Package.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "Errors.h"
#include "TempFiles.h"

namespace kvx::cli {

namespace {

constexpr std::string_view kMarker = "Invalid KVX timecode";
// Stubs are smaller than 10^8 bytes, the most the eight digits can say.
constexpr std::uint64_t kMaxStub = 100000000;
constexpr std::uint64_t kBlock = std::uint64_t{1} << 20;  // read size while searching and copying

// Closes a descriptor on every path.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

bool ReadAt(int fd, std::uint64_t at, void* to, std::size_t bytes) {
    auto* out = static_cast<char*>(to);
    for (std::size_t done = 0; done < bytes;) {
        const ssize_t got = ::pread(fd, out + done, bytes - done, static_cast<off_t>(at + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

std::optional<PackagedKvx> FindPackagedKvx(const std::filesystem::path& file) {
    // O_NONBLOCK: a FIFO given by name does not wait for a writer; it is not a package anyway.
    const Descriptor in{::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (in.fd < 0) return std::nullopt;
    struct stat st;
    if (::fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    char elf[4];
    if (size < 4 || !ReadAt(in.fd, 0, elf, 4) ||
        std::memcmp(elf,
                    "\x7f"
                    "ELF",
                    4) != 0)
        return std::nullopt;

    // One pass for the first marker, in blocks that overlap by the marker's length.
    const std::uint64_t limit = std::min(size, kMaxStub);
    // No larger than the file: most files given to the tool are small, and are not packages.
    std::vector<char> block(static_cast<std::size_t>(std::min<std::uint64_t>(limit, kBlock)));
    std::uint64_t markerEnd = 0;  // offset just past the marker
    for (std::uint64_t at = 0; at < limit && markerEnd == 0;) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), limit - at));
        if (!ReadAt(in.fd, at, block.data(), want)) return std::nullopt;
        const std::string_view text(block.data(), want);
        const std::size_t found = text.find(kMarker);
        if (found != std::string_view::npos) {
            markerEnd = at + found + kMarker.size();
        } else {
            if (at + want >= limit) break;
            at += want - (kMarker.size() - 1);
        }
    }
    if (markerEnd == 0) return std::nullopt;
    // " %8d" from the second byte after the marker ("timecode" and one more character).
    char digits[11] = {};
    if (markerEnd + 1 + 10 > size || !ReadAt(in.fd, markerEnd + 1, digits, 10)) return std::nullopt;
    std::uint64_t offset = 0;
    int seen = 0;
    for (int i = 0; i < 10; ++i) {
        const char c = digits[i];
        if (c >= '0' && c <= '9') {
            offset = offset * 10 + static_cast<std::uint64_t>(c - '0');
            ++seen;
        } else if (c != ' ' || seen > 0) {
            break;
        }
    }
    // An unpatched stub holds no size; the KVX file must lie after the marker and inside.
    if (seen == 0 || offset <= markerEnd || offset + 8 > size) return std::nullopt;
    char magic[4];
    if (!ReadAt(in.fd, offset, magic, 4) ||
        (std::memcmp(magic, "QORZ", 4) != 0 && std::memcmp(magic, "QORC", 4) != 0))
        return std::nullopt;
    return PackagedKvx{offset, size - offset};
}

std::filesystem::path ExtractPackagedKvx(const std::filesystem::path& file,
                                         const PackagedKvx& part) {
    const Descriptor in{::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (in.fd < 0)
        throw CliError(kExitInput, file.string() + ": cannot open (" + std::strerror(errno) + ")");
    const std::filesystem::path copy = NewTempFile("package");
    const Descriptor out{::open(copy.c_str(), O_WRONLY | O_CLOEXEC)};
    const auto fail = [&](int error) {
        ::unlink(copy.c_str());
        throw CliError(kExitWrite, file.string() + ": not read: cannot write a temporary file in " +
                                       TempFolderDescription() + " (" + std::strerror(error) + ")");
    };
    if (out.fd < 0) fail(errno);
    std::vector<char> buffer(
        static_cast<std::size_t>(std::max<std::uint64_t>(1, std::min(part.bytes, kBlock))));
    for (std::uint64_t done = 0; done < part.bytes;) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), part.bytes - done));
        if (!ReadAt(in.fd, part.offset + done, buffer.data(), want)) {
            ::unlink(copy.c_str());
            throw CliError(kExitInput, file.string() + ": cannot read the package");
        }
        for (std::size_t put = 0; put < want;) {
            const ssize_t n = ::write(out.fd, buffer.data() + put, want - put);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) fail(n < 0 ? errno : ENOSPC);
            put += static_cast<std::size_t>(n);
        }
        done += want;
    }
    return copy;
}

}  // namespace kvx::cli
