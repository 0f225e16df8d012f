#include "maker/MFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

#include "maker/Text.h"

namespace {

constexpr std::size_t kMinBuffer = 4096;
constexpr std::size_t kCopyChunk = std::size_t{4} << 20;

// Resolves a SEEK request to an absolute position, or -1 when it is not representable.
std::int64_t Target(std::int64_t offset, int origin, std::int64_t current, std::int64_t size) {
    std::int64_t base;
    switch (origin) {
        case MFile::SEEK_FROM_START:
            base = 0;
            break;
        case MFile::SEEK_FROM_CURRENT:
            base = current;
            break;
        case MFile::SEEK_FROM_END:
            base = size;
            break;
        default:
            return -1;
    }
    std::int64_t target;
    if (__builtin_add_overflow(base, offset, &target) || target < 0) return -1;
    return target;
}

}  // namespace

MFile::MFile(std::size_t bufferSize) : bufferSize_(std::max(bufferSize, kMinBuffer)) {}

MFile::~MFile() {
    if (fd_ >= 0) {
        FlushWindow();
        ::close(fd_);
    }
}

bool MFile::Open(const std::wstring& path, bool forWriting) {
    CLOSE();
    ResetResult();
    const std::string native = CharacterSetConversions::String<char>(path);
    const int flags =
        forWriting ? (O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC) : (O_RDONLY | O_CLOEXEC);
    int fd;
    do {
        fd = ::open(native.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        SetResult(MFILE_OPEN_FAILED);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        SetResult(MFILE_OPEN_FAILED);
        return false;
    }
    const std::size_t length =
        forWriting || !S_ISREG(st.st_mode)
            ? bufferSize_
            : std::min(bufferSize_, std::max(kMinBuffer, static_cast<std::size_t>(st.st_size)));
    try {
        if (bufferLength_ != length) {
            buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(length);
            bufferLength_ = length;
        }
    } catch (const std::bad_alloc&) {
        ::close(fd);
        SetResult(MFILE_OPEN_FAILED);
        return false;
    }
    fd_ = fd;
    path_ = path;
    writable_ = forWriting;
    reading_ = !forWriting;
    diskSize_ = S_ISREG(st.st_mode) ? st.st_size : 0;
    windowStart_ = 0;
    windowLength_ = windowPos_ = 0;
    return true;
}

bool MFile::OPEN_READ(const std::wstring& path) {
    return Open(path, false);
}
bool MFile::OPEN_WRITE(const std::wstring& path) {
    return Open(path, true);
}

bool MFile::IS_OPEN() const {
    return fd_ >= 0;
}

bool MFile::CLOSE() {
    if (fd_ < 0) return false;
    bool ok = FlushWindow();
    if (::close(fd_) != 0 && writable_) {
        SetResult(MFILE_WRITE_FAILED);
        ok = false;
    }
    fd_ = -1;
    writable_ = false;
    windowStart_ = 0;
    windowLength_ = windowPos_ = 0;
    diskSize_ = 0;
    buffer_.reset();
    bufferLength_ = 0;
    return ok;
}

std::size_t MFile::ReadAt(std::int64_t position, void* data, std::size_t bytes) {
    auto* out = static_cast<std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < bytes) {
        const ssize_t got = ::pread(fd_, out + done, bytes - done, position + done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            SetResult(MFILE_READ_FAILED);
            break;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

bool MFile::WriteAt(std::int64_t position, const void* data, std::size_t bytes) {
    const auto* in = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < bytes) {
        const ssize_t put = ::pwrite(fd_, in + done, bytes - done, position + done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            SetResult(MFILE_WRITE_FAILED);
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    diskSize_ = std::max<std::int64_t>(diskSize_, position + static_cast<std::int64_t>(bytes));
    return true;
}

// Writes out the dirty window (writing mode) and starts an empty window at the position.
bool MFile::FlushWindow() {
    if (fd_ < 0) return false;
    bool ok = true;
    if (!reading_ && windowLength_ > 0) ok = WriteAt(windowStart_, buffer_.get(), windowLength_);
    windowStart_ += static_cast<std::int64_t>(windowPos_);
    windowLength_ = windowPos_ = 0;
    return ok;
}

std::size_t MFile::ReadRaw(void* data, std::size_t bytes) {
    if (fd_ < 0) {
        SetResult(MFILE_NOT_OPEN);
        return 0;
    }
    if (!reading_) {
        SetResult(MFILE_WRONG_MODE);
        return 0;
    }
    auto* out = static_cast<std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < bytes) {
        if (windowPos_ < windowLength_) {
            const std::size_t n = std::min(bytes - done, windowLength_ - windowPos_);
            std::memcpy(out + done, buffer_.get() + windowPos_, n);
            windowPos_ += n;
            done += n;
            continue;
        }
        const std::int64_t position = windowStart_ + static_cast<std::int64_t>(windowPos_);
        const std::size_t rest = bytes - done;
        if (rest >= bufferLength_) {
            // Large reads bypass the buffer.
            const std::size_t got = ReadAt(position, out + done, rest);
            windowStart_ = position + static_cast<std::int64_t>(got);
            windowLength_ = windowPos_ = 0;
            done += got;
            break;
        }
        windowStart_ = position;
        windowPos_ = 0;
        windowLength_ = ReadAt(position, buffer_.get(), bufferLength_);
        if (windowLength_ == 0) break;
    }
    return done;
}

std::size_t MFile::WriteRaw(const void* data, std::size_t bytes) {
    if (fd_ < 0) {
        SetResult(MFILE_NOT_OPEN);
        return 0;
    }
    if (reading_) {
        SetResult(MFILE_WRONG_MODE);
        return 0;
    }
    const auto* in = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < bytes) {
        const std::size_t rest = bytes - done;
        if (windowLength_ == 0 && rest >= bufferLength_) {
            // Large writes bypass the buffer.
            if (!WriteAt(windowStart_, in + done, rest)) return done;
            windowStart_ += static_cast<std::int64_t>(rest);
            return bytes;
        }
        const std::size_t space = bufferLength_ - windowPos_;
        if (space == 0) {
            if (!FlushWindow()) return done;
            continue;
        }
        const std::size_t n = std::min(rest, space);
        std::memcpy(buffer_.get() + windowPos_, in + done, n);
        windowPos_ += n;
        windowLength_ = std::max(windowLength_, windowPos_);
        done += n;
    }
    return done;
}

std::int64_t MFile::REMAINING() const {
    return std::max<std::int64_t>(0, std::min(SIZE(), limit_) - TELL());
}

std::size_t MFile::ReadLimited(void* data, std::size_t bytes) {
    if (limit_ != INT64_MAX)
        bytes = static_cast<std::size_t>(std::min<std::int64_t>(bytes, REMAINING()));
    return ReadRaw(data, bytes);
}

std::size_t MFile::READ(bool* data, std::size_t count) {
    std::uint8_t chunk[256];
    std::size_t done = 0;
    while (done < count) {
        const std::size_t want = std::min(count - done, sizeof chunk);
        const std::size_t got = ReadLimited(chunk, want);
        for (std::size_t i = 0; i < got; ++i)
            data[done + i] = chunk[i] != 0;
        done += got;
        if (got < want) break;
    }
    return done;
}

std::size_t MFile::WRITE(const bool* data, std::size_t count) {
    std::uint8_t chunk[256];
    std::size_t done = 0;
    while (done < count) {
        const std::size_t want = std::min(count - done, sizeof chunk);
        for (std::size_t i = 0; i < want; ++i)
            chunk[i] = data[done + i] ? 1 : 0;
        const std::size_t put = WriteRaw(chunk, want);
        done += put;
        if (put < want) break;
    }
    return done;
}

std::size_t MFile::READ_AS_BYTE_ARRAY(std::uint32_t* value, std::size_t count) {
    if (count < 1 || count > 4) return 0;
    std::uint8_t bytes[4] = {0, 0, 0, 0};
    const std::size_t got = ReadLimited(bytes, count);
    *value = std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
             std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
    return got;
}

std::int64_t MFile::TELL() const {
    return windowStart_ + static_cast<std::int64_t>(windowPos_);
}

std::int64_t MFile::SIZE() const {
    if (reading_ || windowLength_ == 0) return diskSize_;
    return std::max<std::int64_t>(diskSize_,
                                  windowStart_ + static_cast<std::int64_t>(windowLength_));
}

std::int64_t MFile::SeekTarget(std::int64_t offset, int origin) {
    if (!IS_OPEN()) {
        SetResult(MFILE_NOT_OPEN);
        return -1;
    }
    const std::int64_t target = Target(offset, origin, TELL(), SIZE());
    if (target < 0 || (reading_ && target > SIZE())) {
        SetResult(MFILE_SEEK_FAILED);
        return -1;
    }
    return target;
}

bool MFile::SEEK(std::int64_t offset, int origin) {
    const std::int64_t target = SeekTarget(offset, origin);
    if (target < 0) return false;
    const std::int64_t end = windowStart_ + static_cast<std::int64_t>(windowLength_);
    if (target >= windowStart_ && target <= end) {
        windowPos_ = static_cast<std::size_t>(target - windowStart_);
        return true;
    }
    if (!reading_ && !FlushWindow()) return false;
    windowStart_ = target;
    windowLength_ = windowPos_ = 0;
    return true;
}

bool MFile::FLUSH() {
    if (fd_ < 0) return false;
    return reading_ || FlushWindow();
}

bool MFile::SYNC() {
    if (!FLUSH()) return false;
    if (fd_ >= 0 && ::fsync(fd_) != 0) {
        SetResult(MFILE_WRITE_FAILED);
        return false;
    }
    return true;
}

bool MFile::CHANGE_MODE(int mode) {
    if (!IS_OPEN()) return false;
    if (mode == 1) {
        const bool ok = reading_ || FlushWindow();
        reading_ = true;
        windowStart_ = 0;
        windowLength_ = windowPos_ = 0;
        return ok;
    }
    if (mode == 0 && writable_) {
        reading_ = false;
        windowStart_ = diskSize_;
        windowLength_ = windowPos_ = 0;
        return true;
    }
    return false;
}

bool MFile::SET_BUFFER_SIZE(std::size_t size) {
    size = std::max(size, kMinBuffer);
    if (fd_ >= 0) {
        if (!FLUSH()) return false;
        windowStart_ = TELL();
        windowLength_ = windowPos_ = 0;
        try {
            buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
            bufferLength_ = size;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    bufferSize_ = size;
    return true;
}

bool MFile::COPY(MFile& source) {
    const std::int64_t from = source.TELL();
    const std::int64_t size = source.SIZE();
    if (!source.IsReading() || from < 0 || size < from) return false;
    if (const std::uint8_t* block = source.ContiguousData(); block != nullptr || size == from) {
        const auto n = static_cast<std::size_t>(size - from);
        const std::size_t put = n == 0 ? 0 : WriteRaw(block + from, n);
        return put == n && source.SEEK(size);
    }
    std::vector<std::uint8_t> chunk(
        static_cast<std::size_t>(std::min<std::int64_t>(size - from, kCopyChunk)));
    for (;;) {
        const std::size_t got = source.ReadRaw(chunk.data(), chunk.size());
        if (got == 0) break;
        if (WriteRaw(chunk.data(), got) != got) return false;
    }
    return source.GET_RESULT() != MFILE_READ_FAILED && source.FEOF();
}

// --- MFileMemory -------------------------------------------------------------------------------

bool MFileMemory::OPEN_WRITE(std::size_t initialSize, std::uint8_t* buffer) {
    CLOSE();
    ResetResult();
    if (buffer != nullptr) return false;
    try {
        data_.reserve(initialSize);
    } catch (const std::bad_alloc&) {
        SetResult(MFILE_OPEN_FAILED);
        return false;
    } catch (const std::length_error&) {
        SetResult(MFILE_OPEN_FAILED);
        return false;
    }
    open_ = true;
    reading_ = false;
    return true;
}

bool MFileMemory::OPEN_READ(const void* bytes, std::size_t size) {
    if (!OPEN_WRITE(size, nullptr)) return false;
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    data_.assign(p, p + size);
    return CHANGE_MODE(1);
}

bool MFileMemory::CLOSE() {
    if (!open_) return false;
    open_ = false;
    pos_ = 0;
    std::vector<std::uint8_t>().swap(data_);
    return true;
}

bool MFileMemory::CHANGE_MODE(int mode) {
    if (!open_ || (mode != 0 && mode != 1)) return false;
    reading_ = mode == 1;
    pos_ = reading_ ? 0 : data_.size();
    return true;
}

bool MFileMemory::SEEK(std::int64_t offset, int origin) {
    const std::int64_t target = SeekTarget(offset, origin);
    if (target < 0) return false;
    pos_ = static_cast<std::size_t>(target);
    return true;
}

std::size_t MFileMemory::ReadRaw(void* data, std::size_t bytes) {
    if (!open_ || !reading_) {
        SetResult(open_ ? MFILE_WRONG_MODE : MFILE_NOT_OPEN);
        return 0;
    }
    const std::size_t n = pos_ < data_.size() ? std::min(bytes, data_.size() - pos_) : 0;
    if (n > 0) std::memcpy(data, data_.data() + pos_, n);
    pos_ += n;
    return n;
}

std::size_t MFileMemory::WriteRaw(const void* data, std::size_t bytes) {
    if (!open_ || reading_) {
        SetResult(open_ ? MFILE_WRONG_MODE : MFILE_NOT_OPEN);
        return 0;
    }
    if (bytes == 0) return 0;
    try {
        if (data_.size() < pos_ + bytes) {
            // Grow geometrically so that many small writes stay linear in total.
            if (data_.capacity() < pos_ + bytes)
                data_.reserve(std::max(pos_ + bytes, data_.capacity() * 2));
            data_.resize(pos_ + bytes);
        }
    } catch (const std::bad_alloc&) {
        SetResult(MFILE_WRITE_FAILED);
        return 0;
    } catch (const std::length_error&) {
        SetResult(MFILE_WRITE_FAILED);
        return 0;
    }
    std::memcpy(data_.data() + pos_, data, bytes);
    pos_ += bytes;
    return bytes;
}
