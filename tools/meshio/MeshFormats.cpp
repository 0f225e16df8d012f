#include "MeshFormats.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <limits>

#include "Detail.h"

namespace kvx::meshio {
namespace detail {

void Fail(const std::string& message) {
    throw MeshError(message);
}

namespace {

constexpr auto kSpaces = [] {
    std::array<bool, 256> table{};
    for (const unsigned char c : std::string_view(" \n\r\t\v\f"))
        table[c] = true;
    return table;
}();

bool IsSpace(std::uint8_t c) {
    return kSpaces[c];
}

std::string Prefixed(const char* format, const std::string& what) {
    return std::string(format) + ": " + what;
}

}  // namespace

Input::Input(const std::filesystem::path& file, const char* format, Progress* progress)
    : format_(format), progress_(progress) {
    // Only regular files: opening a FIFO blocks until a writer comes, and a FIFO or device could
    // feed bytes without end. The type is checked before opening; the open itself does not
    // block, and the opened file is checked again, for a FIFO put in its place in between.
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        Fail(Prefixed(format, std::string("cannot open the file: ") + std::strerror(errno)));
    if (!S_ISREG(st.st_mode)) Fail(Prefixed(format, "not a regular file"));
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        Fail(Prefixed(format, std::string("cannot open the file: ") + std::strerror(errno)));
    file_.reset(::fdopen(fd, "rb"));
    if (!file_) {
        const int error = errno;
        ::close(fd);
        Fail(Prefixed(format, std::string("cannot open the file: ") + std::strerror(error)));
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) Fail(Prefixed(format, "not a regular file"));
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        Fail(Prefixed(format, std::string("cannot open the file: ") + std::strerror(errno)));
    size_ = static_cast<std::uint64_t>(st.st_size);
    capacity_ = static_cast<std::size_t>(
        std::clamp<std::uint64_t>(size_ + 1, kMinCapacity, std::uint64_t{1} << 20));
    buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(capacity_);
    if (progress_) progress_->Start(size_);
}

bool Input::Fill(std::size_t n) {
    if (progress_) progress_->At(Position());
    if (n > capacity_) return false;
    if (begin_ > 0) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        offset_ += begin_;
        end_ -= begin_;
        begin_ = 0;
    }
    while (end_ < n) {
        const std::size_t got = std::fread(buffer_.get() + end_, 1, capacity_ - end_, file_.get());
        if (got == 0) {
            if (std::ferror(file_.get()))
                Fail(Prefixed(format_, std::string("read error: ") + std::strerror(errno)));
            return false;
        }
        end_ += got;
    }
    return true;
}

void Input::Truncated() const {
    Fail(Prefixed(format_, "the file ends early (truncated)"));
}

std::string_view Input::Peek(std::size_t n) {
    n = std::min(n, capacity_);
    if (end_ - begin_ < n) Fill(n);
    return {reinterpret_cast<const char*>(buffer_.get() + begin_), std::min(n, end_ - begin_)};
}

std::string_view Input::Token() {
    // Locals in the loops: the byte loads could alias the members.
    for (;;) {
        const std::uint8_t* p = buffer_.get();
        std::size_t at = begin_;
        while (at < end_ && IsSpace(p[at]))
            ++at;
        begin_ = at;
        if (at < end_) break;
        if (!Fill(1)) return {};
    }
    std::size_t length = 0;
    for (;;) {
        const std::uint8_t* p = buffer_.get() + begin_;
        const std::size_t available = end_ - begin_;
        while (length < available && !IsSpace(p[length]))
            ++length;
        if (length > kMaxToken)
            Fail(Prefixed(format_,
                          "a word or number longer than " + std::to_string(kMaxToken) + " bytes"));
        if (length < available || !Fill(length + 1)) break;
    }
    const std::string_view token(reinterpret_cast<const char*>(buffer_.get() + begin_), length);
    begin_ += length;
    return token;
}

std::string_view Input::Line(std::size_t maxLength) {
    std::size_t length = 0;
    bool newline = false;
    for (;;) {
        while (begin_ + length < end_ && buffer_[begin_ + length] != '\n')
            ++length;
        newline = begin_ + length < end_;
        if (length > maxLength)
            Fail(Prefixed(format_, "a line longer than " + std::to_string(maxLength) + " bytes"));
        if (newline || !Fill(length + 1)) break;
    }
    std::string_view line(reinterpret_cast<const char*>(buffer_.get() + begin_), length);
    begin_ += length + (newline ? 1 : 0);
    if (line.ends_with('\r')) line.remove_suffix(1);
    return line;
}

std::string Input::LineHead(std::size_t keep) {
    const std::string_view head = Peek(keep);
    const std::size_t newline = head.find('\n');
    std::string out(head.substr(0, newline));
    if (newline != std::string_view::npos)
        begin_ += newline + 1;
    else
        SkipLine();
    if (out.ends_with('\r')) out.pop_back();
    return out;
}

void Input::SkipLine() {
    for (;;) {
        const auto* at = static_cast<const std::uint8_t*>(
            std::memchr(buffer_.get() + begin_, '\n', end_ - begin_));
        if (at) {
            begin_ = static_cast<std::size_t>(at - buffer_.get()) + 1;
            return;
        }
        begin_ = end_;
        if (!Fill(1)) return;
    }
}

void Output::Flush(bool always) {
    if (buffer_.size() < kFlushAt && !always) return;
    out_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    buffer_.clear();
    if (!out_) Fail("writing the mesh failed (output stream error)");
}

std::string Count(std::uint64_t n, std::string_view one, std::string_view many) {
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    out += ' ';
    out += n == 1 ? one : many;
    return out;
}

void CheckConsistent(const FloatMesh& mesh, const char* what) {
    const std::size_t points = mesh.points.size() / 3;
    if (mesh.points.size() % 3 != 0 || mesh.indices.size() % 3 != 0)
        Fail(Prefixed(what, "points or indices not in threes"));
    if (!mesh.colors.empty() && mesh.colors.size() != mesh.indices.size() / 3)
        Fail(Prefixed(what, "the colours do not match the triangles"));
    if (points > std::numeric_limits<std::uint32_t>::max())
        Fail(Prefixed(what, "more than 2^32 - 1 points"));
    for (const std::uint32_t i : mesh.indices)
        if (i >= points) Fail(Prefixed(what, "a point index out of range"));
}

void Finish(FloatMesh& mesh, const char* format) {
    for (std::size_t i = 0; i < mesh.points.size(); ++i)
        if (!std::isfinite(mesh.points[i]))
            Fail(Prefixed(format, "point " + std::to_string(i / 3) +
                                      " has a coordinate that is not a finite number"));
    CheckConsistent(mesh, format);  // fails only on a reader fault, but cheap
    if (std::none_of(mesh.colors.begin(), mesh.colors.end(), HasColor)) mesh.colors.clear();
    if (mesh.indices.empty() && !mesh.points.empty())
        mesh.warnings.push_back("the file has " + Count(mesh.points.size() / 3, "point", "points") +
                                " and no faces");
}

}  // namespace detail

std::optional<Format> FormatFromPath(const std::filesystem::path& file) {
    std::string ext = file.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == ".stl") return Format::Stl;
    if (ext == ".ply") return Format::Ply;
    if (ext == ".obj") return Format::Obj;
    if (ext == ".off") return Format::Off;
    return std::nullopt;
}

FloatMesh ReadMesh(const std::filesystem::path& file, Format format, const ReadOptions& options) {
    detail::Progress progress(options);
    FloatMesh mesh;
    const char* name = "STL";
    switch (format) {
        case Format::Stl:
            mesh = detail::ReadStl(file, progress);
            break;
        case Format::Ply:
            name = "PLY";
            mesh = detail::ReadPly(file, progress);
            break;
        case Format::Obj:
            name = "OBJ";
            mesh = detail::ReadObj(file, progress);
            break;
        case Format::Off:
            name = "OFF";
            mesh = detail::ReadOff(file, progress);
            break;
    }
    detail::Finish(mesh, name);
    progress.End();
    return mesh;
}

void WriteMesh(std::ostream& out, const FloatMesh& mesh, Format format,
               const WriteOptions& options) {
    switch (format) {
        case Format::Stl:
            detail::CheckConsistent(mesh, "mesh to write");
            detail::WriteStl(out, mesh, options);
            break;
        case Format::Ply:
            detail::CheckConsistent(mesh, "mesh to write");
            detail::WritePly(out, mesh, options);
            break;
        case Format::Obj:
            WriteObj(out, nullptr, {}, mesh, options);
            break;
        case Format::Off:
            detail::Fail("writing OFF files is not supported");
    }
}

}  // namespace kvx::meshio
