// An output file that appears complete or not at all: it is written under a temporary name in
// the staging folder beside the target (created exclusively, mode 0600) and renamed into place
// by Commit. Dropped without Commit (an error, an exception), the temporary file is removed.
#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

namespace kvx::cli {

class OutputFile {
public:
    // Without `force`, an existing target is refused (CliError, write) now and at Commit.
    OutputFile(const std::filesystem::path& target, bool force);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    std::ostream& stream() { return stream_; }
    const std::filesystem::path& target() const { return target_; }
    // Flushes and closes the temporary file and releases its buffer, so that files waiting for
    // their Commit hold neither; throws CliError (write) when the data did not all go out.
    void Close();
    // Closes (when not done yet), gives the file the usual permissions (0666 less the umask) and
    // renames it into place (PlaceFile).
    void Commit();

private:
    std::filesystem::path target_, temp_;
    bool force_;
    std::vector<char> buffer_;
    std::ofstream stream_;
};

// Throws CliError (write) when `target` exists and `force` is not set.
void RefuseExisting(const std::filesystem::path& target, bool force);

// Renames `from` to `target` in its folder. Without `force` an existing target is never
// replaced, also one that appeared meanwhile (RENAME_NOREPLACE, or link and unlink where the
// file system has no such rename); throws CliError (write) with the reason.
void PlaceFile(const std::filesystem::path& from, const std::filesystem::path& target, bool force);

// Commits every file, or none: with `force`, each file it replaces is first moved into the
// staging folder, and when a later commit fails the files already committed are taken back and
// the replaced ones return, so the folder is left as it was. Signals wait meanwhile.
void CommitAll(std::vector<std::unique_ptr<OutputFile>>& files, bool force);

}  // namespace kvx::cli
