// The memory budget of reading one file.
//
// Reading a KVX file of N bytes never holds more than Limit(N) = 64 MiB + 1024 x N bytes for what
// the file asks for, whatever its counts claim: every reader charges what it is about to allocate
// on the strength of the file's content (objects, links, arrays, strings, mesh buffers, chunk
// lists) before it allocates, and a charge that does not fit fails the read. Charges that live as
// long as the import (objects, arrays, the meshes it will hand out) are never given back; scratch
// space is given back when it is freed (MReadBudget::Hold). The import and every hand-out of its
// meshes together stay within one budget; docs/format.md ("Memory budget") lists the charges.
//
// A budget belongs to a read session attached to the file being read, and reaches every reader
// of that file through it. Not thread-safe; one reading uses one budget.
#pragma once

#include <cstdint>

class MReadBudget {
public:
    static constexpr std::uint64_t kFloor = std::uint64_t{64} << 20;
    static constexpr std::uint64_t kPerFileByte = 1024;
    // Charges that stand for one object or one link: more than either costs in memory.
    static constexpr std::uint64_t kObjectOverhead = 256;
    static constexpr std::uint64_t kLinkCharge = 64;

    // The limit for a file of `fileBytes` bytes (saturating).
    static constexpr std::uint64_t LimitFor(std::uint64_t fileBytes) {
        return fileBytes > (UINT64_MAX - kFloor) / kPerFileByte ? UINT64_MAX
                                                                : kFloor + kPerFileByte * fileBytes;
    }

    explicit MReadBudget(std::uint64_t limit = UINT64_MAX) : limit_(limit) {}
    MReadBudget(const MReadBudget&) = delete;
    MReadBudget& operator=(const MReadBudget&) = delete;

    // Takes `bytes` from the budget; false (nothing taken, and Exceeded() from then on) when they
    // do not fit.
    bool Take(std::uint64_t bytes) {
        if (bytes > limit_ - used_) {
            exceeded_ = true;
            return false;
        }
        used_ += bytes;
        if (used_ > peak_) peak_ = used_;
        return true;
    }
    // `count` elements of `size` bytes each, without overflow.
    bool Take(std::uint64_t count, std::uint64_t size) {
        if (size != 0 && count > UINT64_MAX / size) {
            exceeded_ = true;
            return false;
        }
        return Take(count * size);
    }
    // Gives back bytes taken earlier.
    void Give(std::uint64_t bytes) { used_ -= bytes < used_ ? bytes : used_; }

    std::uint64_t Limit() const { return limit_; }
    std::uint64_t Used() const { return used_; }
    std::uint64_t Peak() const { return peak_; }
    bool Exceeded() const { return exceeded_; }

    // Scratch space held for a scope: taken by Take, given back when the holder goes.
    class Hold {
    public:
        explicit Hold(MReadBudget* budget) : budget_(budget) {}
        ~Hold() {
            if (budget_ != nullptr) budget_->Give(held_);
        }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        bool Take(std::uint64_t count, std::uint64_t size) {
            if (budget_ == nullptr) return true;
            if (!budget_->Take(count, size)) return false;
            held_ += count * size;
            return true;
        }

    private:
        MReadBudget* budget_;
        std::uint64_t held_ = 0;
    };

private:
    std::uint64_t limit_;
    std::uint64_t used_ = 0;
    std::uint64_t peak_ = 0;
    bool exceeded_ = false;
};

class MFile;

// One reading of a file: its budget, attached to the file for as long as the session lives, so
// that every reader of the file finds it (MReadSession::Of). Layers above add what one reading
// shares (the object stream resolves identities within its session).
class MReadSession {
public:
    MReadSession(MFile& file, std::uint64_t limit);
    virtual ~MReadSession();
    MReadSession(const MReadSession&) = delete;
    MReadSession& operator=(const MReadSession&) = delete;

    MReadBudget& Budget() { return budget_; }
    // Whether readers of bulk payloads (meshes) need only prove them sound, not keep what they
    // decode: set by a reader that decodes them again when they are wanted.
    void SetCheckOnly(bool checkOnly) { checkOnly_ = checkOnly; }
    bool CheckOnly() const { return checkOnly_; }
    // The session attached to `file`, or null.
    static MReadSession* Of(const MFile& file);

private:
    MFile& file_;
    MReadSession* previous_;
    MReadBudget budget_;
    bool checkOnly_ = false;
};

// Charges `count` x `size` bytes to the budget of the session reading `file`; true when the file
// has no session.
bool TakeReadBudget(MFile& file, std::uint64_t count, std::uint64_t size);
// The budget of the session reading `file`, or null.
MReadBudget* ReadBudgetOf(const MFile& file);
