#include "maker/MFileName.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "maker/Text.h"

namespace {

std::wstring Wide(const std::string& native) {
    return CharacterSetConversions::String<wchar_t>(native);
}

std::string RandomPart() {
    static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz234567";
    thread_local std::mt19937_64 engine{std::random_device{}()};
    std::uint64_t bits = engine();
    std::string out;
    for (int i = 0; i < 12; ++i, bits >>= 5)
        out.push_back(kAlphabet[bits & 31]);
    return out;
}

// The process umask, read without changing it (umask(2) would briefly affect other threads).
mode_t CurrentUmask() {
    mode_t mask = 022;
    if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            unsigned value;
            if (std::sscanf(line, "Umask: %o", &value) == 1) {
                mask = static_cast<mode_t>(value & 0777);
                break;
            }
        }
        std::fclose(status);
    }
    return mask;
}

}  // namespace

MFileName::MFileName(const std::wstring& path, bool makeAbsolute) : path_(path) {
    if (makeAbsolute && !path_.empty()) {
        try {
            path_ = Wide(boost::filesystem::absolute(boost::filesystem::path(Native())).string());
        } catch (const boost::filesystem::filesystem_error&) {
            // No current directory: keep the path as given.
        }
    }
}

MFileName::MFileName(const wchar_t* path, bool makeAbsolute)
    : MFileName(std::wstring(path ? path : L""), makeAbsolute) {}

std::string MFileName::Native() const {
    return CharacterSetConversions::String<char>(path_);
}

bool MFileName::SET_TEMP_NAME(const wchar_t* directory, const wchar_t* prefix,
                              const wchar_t* extension, unsigned attempts, unsigned /*flags*/) {
    std::string dir;
    if (directory != nullptr) {
        dir = CharacterSetConversions::String<char>(directory);
    } else {
        const char* env = std::getenv("TMPDIR");
        dir = (env != nullptr && *env != '\0') ? env : "/tmp";
    }
    if (dir.empty()) dir.push_back('.');
    if (dir.back() != '/') dir.push_back('/');
    const std::string head = prefix ? CharacterSetConversions::String<char>(prefix) : "kvx-";
    const std::string tail = extension ? CharacterSetConversions::String<char>(extension) : ".tmp";
    for (unsigned i = 0; i < std::max(attempts, 1u); ++i) {
        const std::string candidate = dir + head + RandomPart() + tail;
        const int fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            path_ = Wide(candidate);
            return true;
        }
        if (errno != EEXIST && errno != EINTR) return false;
    }
    return false;
}

bool MFileName::SET_EXT_PART(const wchar_t* extension, std::size_t maxLength) {
    const std::wstring ext = extension ? extension : L"";
    if (ext.size() > maxLength) return false;
    boost::filesystem::path p(Native());
    p.replace_extension(CharacterSetConversions::String<char>(ext));
    path_ = Wide(p.string());
    return true;
}

MFileName MFileName::GET_DIRECTORY() const {
    const boost::filesystem::path parent = boost::filesystem::path(Native()).parent_path();
    return MFileName(parent.empty() ? std::wstring(L".") : Wide(parent.string()));
}

bool MFileName::REMOVE() const {
    return !path_.empty() && ::unlink(Native().c_str()) == 0;
}

std::int64_t MFileName::FILE_SIZE() const {
    struct stat st;
    if (path_.empty() || ::stat(Native().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

bool MFileName::EXISTS() const {
    struct stat st;
    return !path_.empty() && ::lstat(Native().c_str(), &st) == 0;
}

bool MFileName::RENAME_OVER(const MFileName& target, bool executable) const {
    const std::string from = Native();
    const std::string to = target.Native();
    struct stat st;
    const mode_t mask = CurrentUmask();
    mode_t mode =
        ::stat(to.c_str(), &st) == 0 ? (st.st_mode & 07777) : ((executable ? 0777 : 0666) & ~mask);
    if (executable) mode |= ((mode & 0444) >> 2) & ~mask;
    if (::chmod(from.c_str(), mode) != 0) return false;
    return std::rename(from.c_str(), to.c_str()) == 0;
}
