#include "OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Errors.h"

namespace kvx::cli {

void RefuseExisting(const std::filesystem::path& target, bool force) {
    std::error_code ec;
    if (!force &&
        std::filesystem::symlink_status(target, ec).type() != std::filesystem::file_type::not_found)
        throw CliError(kExitWrite,
                       target.string() + ": exists already (use --force to replace it)");
}

OutputFile::OutputFile(const std::filesystem::path& target, bool force)
    : target_(target), force_(force), buffer_(std::size_t{1} << 20) {
    RefuseExisting(target, force);
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about "." + string.
    std::string hidden = ".";
    hidden.append(target.filename().string()).append(".XXXXXX");
    std::string pattern = (folder / hidden).string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);  // O_EXCL, mode 0600
    if (fd < 0)
        throw CliError(kExitWrite,
                       target.string() + ": cannot write (" + std::strerror(errno) + ")");
    ::close(fd);
    temp_ = pattern;
    stream_.rdbuf()->pubsetbuf(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    stream_.open(temp_, std::ios::binary | std::ios::trunc);
    if (!stream_) {
        std::filesystem::remove(temp_);
        throw CliError(kExitWrite, target.string() + ": cannot write");
    }
}

OutputFile::~OutputFile() {
    if (!temp_.empty()) {
        stream_.close();
        std::error_code ec;
        std::filesystem::remove(temp_, ec);
    }
}

void OutputFile::Close() {
    if (stream_.is_open()) {
        stream_.flush();
        stream_.close();
        std::vector<char>().swap(buffer_);
    }
    // Also when an earlier Close failed: the state stays.
    if (!stream_) throw CliError(kExitWrite, target_.string() + ": cannot write (disk full?)");
}

void OutputFile::Commit() {
    Close();
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(temp_.c_str(), 0666 & ~mask);
    // Without --force, a target that appeared meanwhile is not replaced either.
    int renamed =
        force_ ? ::rename(temp_.c_str(), target_.c_str())
               : ::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE);
    if (renamed != 0 && !force_ && errno == EINVAL) {  // file systems without RENAME_NOREPLACE
        renamed = ::link(temp_.c_str(), target_.c_str());
        if (renamed == 0) ::unlink(temp_.c_str());
    }
    if (renamed != 0)
        throw CliError(kExitWrite,
                       target_.string() + ": cannot write (" + std::strerror(errno) + ")");
    temp_.clear();
}

}  // namespace kvx::cli
