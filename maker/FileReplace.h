// Writing a file without ever destroying what was there: the content goes into a new file
// beside the target, which is renamed over the target only when everything was written.
#pragma once

#include <functional>
#include <utility>

#include "maker/MFileName.h"

class MFile;

// True when `target` can be replaced: it does not exist yet, or it exists and can be written.
bool CanReplaceFile(const MFileName& target);

// Writes the file `target` through `write` (which gets a file open for writing). On any failure,
// `write`'s included, the target is left as it was and no file is left behind; an exception
// from `write` passes on after the staged file has been removed. The file's permission bits
// are those of MFileName::RENAME_OVER, `executable` passed on.
bool ReplaceFile(const MFileName& target, const std::function<bool(MFile&)>& write,
                 bool executable = false);

// Removes the named file when the scope is left, on every path (exceptions included), unless
// Keep was called: the owner of a temporary file declares one right after creating it.
class RemoveFileOnExit {
public:
    explicit RemoveFileOnExit(MFileName name) : name_(std::move(name)) {}
    ~RemoveFileOnExit() {
        if (armed_) name_.REMOVE();
    }
    RemoveFileOnExit(const RemoveFileOnExit&) = delete;
    RemoveFileOnExit& operator=(const RemoveFileOnExit&) = delete;

    // The file stays (it was renamed, or handed to someone else).
    void Keep() { armed_ = false; }

private:
    MFileName name_;
    bool armed_ = true;
};
