// Test helpers: private directories, whole-file I/O, environment overrides.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "maker/Text.h"

namespace kvxtest {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under /tmp, removed with everything in it at the end of the scope.
class TempDir {
public:
    TempDir() {
        std::string pattern = "/tmp/kvx-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
    }
    ~TempDir() {
        boost::system::error_code ec;
        boost::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::wstring wfile(const std::string& name) const {
        return CharacterSetConversions::String<wchar_t>(file(name));
    }
    // Regular files directly inside the directory.
    std::size_t CountFiles() const { return CountIn(path_); }
    static std::size_t CountIn(const std::string& dir) {
        std::size_t n = 0;
        for (const auto& entry : boost::filesystem::directory_iterator(dir))
            n += is_regular_file(entry.symlink_status());
        return n;
    }

private:
    std::string path_;
};

// Sets (or unsets) an environment variable for the scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// One chunk (12-byte header and contents) as bytes.
inline Bytes Chunk(const char* name, std::uint8_t version, const Bytes& contents,
                   std::uint8_t flags = 0) {
    Bytes out(12 + contents.size(), 0);
    std::memcpy(out.data(), name, std::min<std::size_t>(std::strlen(name), 6));
    out[6] = version;
    out[7] = flags;
    const auto n = static_cast<std::uint32_t>(contents.size());
    std::memcpy(out.data() + 8, &n, 4);
    std::copy(contents.begin(), contents.end(), out.begin() + 12);
    return out;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Little-endian bytes of 32-bit values.
inline Bytes Words(std::initializer_list<std::uint32_t> words) {
    Bytes out;
    for (std::uint32_t w : words)
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
    return out;
}

inline Bytes RandomBytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(rng());
    return out;
}

}  // namespace kvxtest
