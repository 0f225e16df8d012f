// Buffered binary files and growable in-memory files with typed little-endian array I/O.
//
// MFile is a file on disk behind one buffer window; MFileMemory keeps its whole content in
// memory. Both are in one of two modes: writing (after OPEN_WRITE) or reading (after OPEN_READ or
// CHANGE_MODE(1)). Typed READ/WRITE move arrays of elements in little-endian order and return
// the number of whole elements transferred; any other count than the one asked is a failure.
// A bool is one byte (0 or 1 on write; any non-zero byte reads as true).
//
// Reads never go past the end of the content and never write outside the caller's array, so
// these classes are safe on untrusted input. Result codes (GET_RESULT) are listed in
// docs/maker.md; a failed write sets MFILE_WRITE_FAILED (29), which stays until the file is
// opened again so that a caller can check once after many writes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class MReadSession;

class MFile {
public:
    enum Result : int {
        MFILE_OK = 0,
        MFILE_OPEN_FAILED = 2,
        MFILE_NOT_OPEN = 6,
        MFILE_READ_FAILED = 28,
        MFILE_WRITE_FAILED = 29,
        MFILE_SEEK_FAILED = 30,
        MFILE_WRONG_MODE = 31,
    };
    enum Origin : int { SEEK_FROM_START = 0, SEEK_FROM_CURRENT = 1, SEEK_FROM_END = 2 };

    explicit MFile(std::size_t bufferSize = 0x40000);
    virtual ~MFile();
    MFile(const MFile&) = delete;
    MFile& operator=(const MFile&) = delete;

    // Opens an existing file for reading (directories are refused).
    bool OPEN_READ(const std::wstring& path);
    // Creates or truncates a file and opens it for writing (it can be read after CHANGE_MODE(1)).
    bool OPEN_WRITE(const std::wstring& path);

    std::size_t READ(char* data, std::size_t count) { return ReadLimited(data, count); }
    std::size_t READ(signed char* data, std::size_t count) { return ReadLimited(data, count); }
    std::size_t READ(unsigned char* data, std::size_t count) { return ReadLimited(data, count); }
    std::size_t READ(std::uint16_t* data, std::size_t count) { return ReadArray(data, count); }
    std::size_t READ(std::int32_t* data, std::size_t count) { return ReadArray(data, count); }
    std::size_t READ(std::uint32_t* data, std::size_t count) { return ReadArray(data, count); }
    std::size_t READ(float* data, std::size_t count) { return ReadArray(data, count); }
    std::size_t READ(bool* data, std::size_t count);

    std::size_t WRITE(const char* data, std::size_t count) { return WriteRaw(data, count); }
    std::size_t WRITE(const signed char* data, std::size_t count) { return WriteRaw(data, count); }
    std::size_t WRITE(const unsigned char* data, std::size_t count) {
        return WriteRaw(data, count);
    }
    std::size_t WRITE(const std::uint16_t* data, std::size_t count) {
        return WriteArray(data, count);
    }
    std::size_t WRITE(const std::int32_t* data, std::size_t count) {
        return WriteArray(data, count);
    }
    std::size_t WRITE(const std::uint32_t* data, std::size_t count) {
        return WriteArray(data, count);
    }
    std::size_t WRITE(const float* data, std::size_t count) { return WriteArray(data, count); }
    std::size_t WRITE(const bool* data, std::size_t count);

    // Reads `count` (1 to 4) bytes into the low bytes of *value, little-endian; the other bytes
    // are cleared. Returns the number of bytes read (0 for a count outside 1 to 4).
    std::size_t READ_AS_BYTE_ARRAY(std::uint32_t* value, std::size_t count);

    // Moves the position. Reading files refuse positions beyond their end; writing files may
    // seek past the end (the gap reads as zero bytes).
    virtual bool SEEK(std::int64_t offset, int origin = SEEK_FROM_START);
    virtual std::int64_t TELL() const;
    virtual std::int64_t SIZE() const;
    bool REWIND() { return SEEK(0); }
    bool FEOF() const { return TELL() >= SIZE(); }

    // A read limit: typed reads stop at this position (readers of a chunk's contents set it to
    // the chunk's end, so a damaged chunk cannot make them read the bytes behind it).
    class Limit {
    public:
        Limit(MFile& file, std::int64_t end) : file_(file), saved_(file.limit_) {
            if (end < file.limit_) file.limit_ = end;
        }
        ~Limit() { file_.limit_ = saved_; }
        Limit(const Limit&) = delete;
        Limit& operator=(const Limit&) = delete;

    private:
        MFile& file_;
        std::int64_t saved_;
    };
    // Bytes a typed read can still get: up to the end of the file or the read limit.
    std::int64_t REMAINING() const;

    virtual bool CLOSE();
    virtual bool IS_OPEN() const;
    // Writes the buffered bytes out. False (and result 29) when the system refuses them.
    virtual bool FLUSH();
    // FLUSH, then asks the system to put the content on stable storage.
    bool SYNC();

    // Appends the content of `source` from its current position to its end at this file's
    // position. True when every byte was copied.
    bool COPY(MFile& source);

    // 1: a file being written becomes readable from its start. 0: a file opened for writing
    // returns to writing at its end. Other values are refused.
    virtual bool CHANGE_MODE(int mode);
    bool SET_BUFFER_SIZE(std::size_t size);

    std::wstring GET_FILENAME() const { return path_; }
    // The read session attached to this file (see maker/ReadBudget.h), or null.
    MReadSession* GetReadSession() const { return session_; }
    void SetReadSession(MReadSession* session) { session_ = session; }
    int GET_RESULT() const { return result_; }
    bool IsReading() const { return reading_; }

protected:
    // Raw byte transfer; the typed operations are built on these.
    virtual std::size_t ReadRaw(void* data, std::size_t bytes);
    virtual std::size_t WriteRaw(const void* data, std::size_t bytes);
    // The whole content as one block when it lives in memory (null for disk files).
    virtual const std::uint8_t* ContiguousData() const { return nullptr; }

    void SetResult(int result) {
        if (result_ != MFILE_WRITE_FAILED) result_ = result;
    }
    void ResetResult() { result_ = MFILE_OK; }
    // The absolute position a SEEK asks for, or -1 (with the result set) when it is refused.
    std::int64_t SeekTarget(std::int64_t offset, int origin);

    std::wstring path_;
    bool reading_ = true;

private:
    std::size_t ReadLimited(void* data, std::size_t bytes);
    template <class T>
    std::size_t ReadArray(T* data, std::size_t count);
    template <class T>
    std::size_t WriteArray(const T* data, std::size_t count);

    bool Open(const std::wstring& path, bool forWriting);
    bool FlushWindow();
    std::size_t ReadAt(std::int64_t position, void* data, std::size_t bytes);
    bool WriteAt(std::int64_t position, const void* data, std::size_t bytes);

    std::int64_t limit_ = INT64_MAX;
    MReadSession* session_ = nullptr;
    int fd_ = -1;
    bool writable_ = false;
    int result_ = MFILE_OK;
    std::size_t bufferSize_;
    // Left uninitialised: only the bytes of the current window are ever read. A file opened for
    // reading gets no more than its own size (at least the minimum), so small files stay cheap.
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t bufferLength_ = 0;
    // The buffer is a window on the file at windowStart_: bytes [0, windowLength_) are valid
    // (read ahead, or written and not yet flushed); windowPos_ is the position inside it.
    std::int64_t windowStart_ = 0;
    std::size_t windowLength_ = 0;
    std::size_t windowPos_ = 0;
    std::int64_t diskSize_ = 0;
};

// A file held entirely in memory; it grows as it is written.
class MFileMemory : public MFile {
public:
    MFileMemory() : MFile(0) {}

    // Opens an empty memory file for writing with room for `initialSize` bytes. A caller buffer
    // is not supported: `buffer` must be null.
    bool OPEN_WRITE(std::size_t initialSize, std::uint8_t* buffer);
    // Opens a memory file for reading over a copy of `bytes`.
    bool OPEN_READ(const void* bytes, std::size_t size);

    bool SEEK(std::int64_t offset, int origin = SEEK_FROM_START) override;
    std::int64_t TELL() const override { return static_cast<std::int64_t>(pos_); }
    std::int64_t SIZE() const override { return static_cast<std::int64_t>(data_.size()); }
    bool CLOSE() override;
    bool IS_OPEN() const override { return open_; }
    bool FLUSH() override { return open_; }
    bool CHANGE_MODE(int mode) override;

    // The whole content, writable in place. Valid until the next write or CLOSE.
    std::uint8_t* GET_BUFFER() { return data_.data(); }

protected:
    std::size_t ReadRaw(void* data, std::size_t bytes) override;
    std::size_t WriteRaw(const void* data, std::size_t bytes) override;
    const std::uint8_t* ContiguousData() const override { return data_.data(); }

private:
    std::vector<std::uint8_t> data_;
    std::size_t pos_ = 0;
    bool open_ = false;
};

// One element of a type that MFile reads and writes; true when it was transferred.
template <class T>
bool WriteOne(MFile& file, const T& value) {
    return file.WRITE(&value, 1) == 1;
}
template <class T>
bool ReadOne(MFile& file, T& value) {
    return file.READ(&value, 1) == 1;
}

template <class T>
std::size_t MFile::ReadArray(T* data, std::size_t count) {
    static_assert(std::endian::native == std::endian::little, "big-endian hosts need byte swaps");
    if (count > SIZE_MAX / sizeof(T)) return 0;
    return ReadLimited(data, count * sizeof(T)) / sizeof(T);
}

template <class T>
std::size_t MFile::WriteArray(const T* data, std::size_t count) {
    static_assert(std::endian::native == std::endian::little, "big-endian hosts need byte swaps");
    if (count > SIZE_MAX / sizeof(T)) return 0;
    return WriteRaw(data, count * sizeof(T)) / sizeof(T);
}
