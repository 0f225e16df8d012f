// Internals shared by the format readers and writers.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "MeshFormats.h"

namespace kvx::meshio::detail {

inline constexpr std::size_t kMaxToken = 1024;

[[noreturn]] void Fail(const std::string& message);

// Reports reading progress to ReadOptions::progress: at the start, about once per MiB, and at
// the end. Costs a comparison per refill of the read buffer.
class Progress {
public:
    explicit Progress(const ReadOptions& options)
        : report_(options.progress ? &options.progress : nullptr) {}
    void Start(std::uint64_t total) {
        total_ = total;
        next_ = 0;
        At(0);
    }
    // Short of the end: only End() reports done == total.
    void At(std::uint64_t done) {
        if (!report_ || done < next_ || done >= total_) return;
        (*report_)(done, total_);
        next_ = done + kEvery;
    }
    void End() {
        if (report_) (*report_)(total_, total_);
    }

private:
    static constexpr std::uint64_t kEvery = std::uint64_t{1} << 20;
    const std::function<void(std::uint64_t, std::uint64_t)>* report_;
    std::uint64_t total_ = 0, next_ = 0;
};

// Buffered reading of a file that may be hostile: every access is bounds-checked, and a file
// that ends early is reported as truncated, never read past. Only regular files are opened (see
// MeshFormats.h); `format` starts every message.
class Input {
public:
    Input(const std::filesystem::path& file, const char* format, Progress* progress = nullptr);

    // The file's size when it was opened.
    std::uint64_t Size() const { return size_; }
    // Bytes after the cursor (as the size at opening tells; reads still stop at the real end).
    std::uint64_t Remaining() const {
        const std::uint64_t at = Position();
        return at < size_ ? size_ - at : 0;
    }
    std::uint64_t Position() const { return offset_ + begin_; }

    // The next n bytes, consumed; n at most Capacity(). Throws when the file ends first.
    const std::uint8_t* Take(std::size_t n) {
        if (end_ - begin_ < n && !Fill(n)) Truncated();
        const std::uint8_t* p = buffer_.get() + begin_;
        begin_ += n;
        return p;
    }
    // Up to n bytes from the cursor, not consumed (fewer at the end of the file).
    std::string_view Peek(std::size_t n);

    // The next run of non-space bytes, consumed; empty at the end of the file. Throws when it is
    // longer than kMaxToken.
    std::string_view Token();
    // The rest of the line (without "\n" or "\r\n"), consumed with its end. Throws when it is
    // longer than maxLength.
    std::string_view Line(std::size_t maxLength);
    // The first `keep` bytes at most of the rest of the line (without its end); the whole line
    // is consumed, however long.
    std::string LineHead(std::size_t keep);
    void SkipLine();

    [[noreturn]] void Truncated() const;

    // The most bytes one Take or Peek gives: at least kMinCapacity (room for a whole PLY header
    // line or token), at most 1 MiB, less for smaller files.
    std::size_t Capacity() const { return capacity_; }
    static constexpr std::size_t kMinCapacity = std::size_t{128} << 10;

private:
    bool Fill(std::size_t n);  // at least n bytes after the cursor, unless the file ends

    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
    const char* format_;
    Progress* progress_;
    std::uint64_t size_ = 0;
    std::uint64_t offset_ = 0;  // file position of buffer_[0]
    std::size_t capacity_;
    std::unique_ptr<std::uint8_t[]> buffer_;  // capacity_ bytes
    std::size_t begin_ = 0, end_ = 0;         // unread bytes in buffer_
};

// Parses a whole token as a number; false when it is not one, or out of range.
template <typename T>
bool ParseNumber(std::string_view token, T& value) {
    if (!token.empty() && token.front() == '+') token.remove_prefix(1);
    const char* end = token.data() + token.size();
    const auto r = std::from_chars(token.data(), end, value);
    return r.ec == std::errc() && r.ptr == end;
}

template <typename T>
T ByteSwap(T v) {
    std::uint8_t b[sizeof v];
    std::memcpy(b, &v, sizeof v);
    for (std::size_t i = 0; i < sizeof v / 2; ++i)
        std::swap(b[i], b[sizeof v - 1 - i]);
    std::memcpy(&v, b, sizeof v);
    return v;
}

// Little-endian values at p, whatever the host.
template <typename T>
T LoadLE(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = ByteSwap(v);
    return v;
}

// Output gathered in a buffer and handed to the stream in large blocks.
class Output {
public:
    explicit Output(std::ostream& out) : out_(out) { buffer_.reserve(kFlushAt + 4096); }

    // Values in little-endian order, one after the other (a whole record in one go).
    template <typename... T>
    void PutLE(T... values) {
        buffer_.resize(buffer_.size() + (sizeof(T) + ...));
        char* p = buffer_.data() + buffer_.size() - (sizeof(T) + ...);
        ((StoreLE(p, values), p += sizeof(T)), ...);
    }
    // Raw bytes, such as a header.
    void Put(const char* bytes, std::size_t n) { buffer_.append(bytes, n); }
    void Put(std::string_view text) { buffer_.insert(buffer_.end(), text.begin(), text.end()); }
    void Put(char c) { buffer_.push_back(c); }
    // The shortest text that reads back as the same float.
    void PutNumber(float v) { PutChars(v); }
    void PutNumber(std::uint64_t v) { PutChars(v); }
    // Hands the buffer to the stream when it is full; call after each record.
    void Flush(bool always = false);

private:
    template <typename T>
    static void StoreLE(char* p, T v) {
        if constexpr (std::endian::native == std::endian::big) v = ByteSwap(v);
        std::memcpy(p, &v, sizeof v);
    }
    template <typename T>
    void PutChars(T v) {
        char text[32];
        const auto r = std::to_chars(text, text + sizeof text, v);
        buffer_.insert(buffer_.end(), text, r.ptr);
    }
    static constexpr std::size_t kFlushAt = std::size_t{1} << 20;
    std::ostream& out_;
    std::string buffer_;
};

// Written where a face or object has no colour of its own, for other programs to show.
inline constexpr std::array<std::uint8_t, 3> kNeutralGrey = {0x80, 0x80, 0x80};

// Facet colours: 5-bit and 8-bit channels.
inline std::uint8_t Expand5(unsigned v) {
    return static_cast<std::uint8_t>((v * 255 + 15) / 31);
}
inline unsigned Reduce8(unsigned v) {
    return (v * 31 + 127) / 255;
}
inline std::uint16_t ColorFromRgb8(unsigned r, unsigned g, unsigned b) {
    return static_cast<std::uint16_t>(kColorValid | Reduce8(r) << 10 | Reduce8(g) << 5 |
                                      Reduce8(b));
}
inline std::array<std::uint8_t, 3> Rgb8FromColor(std::uint16_t c) {
    return {Expand5(c >> 10 & 31), Expand5(c >> 5 & 31), Expand5(c & 31)};
}
inline bool HasColor(std::uint16_t c) {
    return (c & kColorValid) != 0;
}
// A colour channel given as a number from 0 to 1, made 8-bit; NaN counts as 0.
inline unsigned Channel8(double v) {
    if (!(v > 0)) return 0;
    if (v >= 1) return 255;
    return static_cast<unsigned>(v * 255 + 0.5);
}

// A polygon split into a fan of triangles around its first corner, corner by corner: the
// third corner and each after it add a triangle to `indices`.
class Fan {
public:
    explicit Fan(std::vector<std::uint32_t>& indices) : indices_(indices) {}
    void Add(std::uint32_t corner) {
        if (count_ == 0) first_ = corner;
        if (count_ >= 2) indices_.insert(indices_.end(), {first_, previous_, corner});
        previous_ = corner;
        ++count_;
    }

private:
    std::vector<std::uint32_t>& indices_;
    std::uint32_t first_ = 0, previous_ = 0;
    std::uint64_t count_ = 0;
};

// Sums of 8-bit channels over the corners of a face, for its average colour.
struct ColorSum {
    std::uint64_t r = 0, g = 0, b = 0, n = 0;
    void Add(const std::uint8_t* rgb) {
        r += rgb[0];
        g += rgb[1];
        b += rgb[2];
        ++n;
    }
    // The rounded average; 0 (no colour) without corners.
    std::uint16_t Average() const {
        if (n == 0) return 0;
        const auto mean = [this](std::uint64_t sum) {
            return static_cast<unsigned>((2 * sum + n) / (2 * n));
        };
        return ColorFromRgb8(mean(r), mean(g), mean(b));
    }
};

// "1 face", "1,234 faces".
std::string Count(std::uint64_t n, std::string_view one, std::string_view many);

// Checks that sizes agree and indices are in range; `what` starts the message.
void CheckConsistent(const FloatMesh& mesh, const char* what);
// Checks a mesh that was read: finite points, indices in range; drops an all-invalid colours;
// warns about points without faces.
void Finish(FloatMesh& mesh, const char* format);

FloatMesh ReadStl(const std::filesystem::path& file, Progress& progress);
FloatMesh ReadPly(const std::filesystem::path& file, Progress& progress);
FloatMesh ReadOff(const std::filesystem::path& file, Progress& progress);
FloatMesh ReadObj(const std::filesystem::path& file, Progress& progress);
void WriteStl(std::ostream& out, const FloatMesh& mesh, const WriteOptions& options);
void WritePly(std::ostream& out, const FloatMesh& mesh, const WriteOptions& options);

}  // namespace kvx::meshio::detail
