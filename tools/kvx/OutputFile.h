// An output file that appears complete or not at all: it is written under a temporary name in
// the target's folder (created exclusively, mode 0600) and renamed over the target by Commit.
// Dropped without Commit (an error, an exception), the temporary file is removed.
#pragma once

#include <filesystem>
#include <fstream>
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
    // renames it.
    void Commit();

private:
    std::filesystem::path target_, temp_;
    bool force_;
    std::vector<char> buffer_;
    std::ofstream stream_;
};

// Throws CliError (write) when `target` exists and `force` is not set.
void RefuseExisting(const std::filesystem::path& target, bool force);

}  // namespace kvx::cli
