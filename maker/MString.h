// A wide string that reads and writes itself in files.
//
// Stored form: a 32-bit little-endian byte count n, then n bytes of UTF-8 (no terminator).
// READ refuses a count larger than the bytes that remain in the file or than kMaxBytes, before
// allocating anything, and leaves the string unchanged on failure. Safe on untrusted input.
#pragma once

#include <cstdint>
#include <string>

class MFile;

class MString {
public:
    static constexpr std::uint32_t kMaxBytes = 16u << 20;

    MString() = default;
    MString(const wchar_t* text) : text_(text ? text : L"") {}
    MString(std::wstring text) : text_(std::move(text)) {}
    MString& operator=(const wchar_t* text) {
        text_ = text ? text : L"";
        return *this;
    }
    MString& operator=(std::wstring text) {
        text_ = std::move(text);
        return *this;
    }

    const wchar_t* C_STR() const { return text_.c_str(); }
    const std::wstring& Str() const { return text_; }
    friend bool operator==(const MString&, const MString&) = default;

    bool WRITE(MFile& file) const;
    bool READ(MFile& file);

private:
    std::wstring text_;
};
