#include "OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Errors.h"
#include "TempFiles.h"

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
    const std::filesystem::path folder = StagingFolder(target.parent_path());
    std::string pattern = (folder / "file-XXXXXX").string();
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
    PlaceFile(temp_, target_, force_);
    temp_.clear();
}

void PlaceFile(const std::filesystem::path& from, const std::filesystem::path& target, bool force) {
    int renamed =
        force ? ::rename(from.c_str(), target.c_str())
              : ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (renamed != 0 && !force && errno == EINVAL) {  // file systems without RENAME_NOREPLACE
        renamed = ::link(from.c_str(), target.c_str());
        if (renamed == 0) ::unlink(from.c_str());
    }
    if (renamed == 0) return;
    if (errno == EEXIST)
        throw CliError(kExitWrite,
                       target.string() + ": exists already (use --force to replace it)");
    throw CliError(kExitWrite, target.string() + ": cannot write (" + std::strerror(errno) + ")");
}

void CommitAll(std::vector<std::unique_ptr<OutputFile>>& files, bool force) {
    const HoldSignals hold;
    struct Placed {
        std::filesystem::path target, replaced;  // replaced: where the user's file waits
    };
    std::vector<Placed> placed;
    const auto putBack = [](const Placed& p) {
        if (p.replaced.empty())
            ::unlink(p.target.c_str());
        else
            ::rename(p.replaced.c_str(), p.target.c_str());
    };
    try {
        for (auto& file : files) {
            Placed p{file->target(), {}};
            struct stat st;
            if (force && ::lstat(p.target.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
                // Moved aside onto a fresh name of its own in the staging folder.
                std::string pattern =
                    (StagingFolder(p.target.parent_path()) / "replaced-XXXXXX").string();
                const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
                if (fd < 0 || (::close(fd), ::rename(p.target.c_str(), pattern.c_str())) != 0) {
                    const int error = errno;
                    if (fd >= 0) ::unlink(pattern.c_str());
                    throw CliError(kExitWrite, p.target.string() + ": cannot replace it (" +
                                                   std::strerror(error) + ")");
                }
                p.replaced = pattern;
            }
            try {
                file->Commit();
            } catch (const CliError&) {
                if (!p.replaced.empty()) ::rename(p.replaced.c_str(), p.target.c_str());
                throw;
            }
            placed.push_back(std::move(p));
        }
    } catch (const CliError&) {
        for (auto p = placed.rbegin(); p != placed.rend(); ++p)
            putBack(*p);
        throw;
    }
    for (const Placed& p : placed)
        if (!p.replaced.empty()) ::unlink(p.replaced.c_str());
}

}  // namespace kvx::cli
