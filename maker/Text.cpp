#include "maker/Text.h"

#include <cerrno>
#include <cwchar>
#include <vector>

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kEscapeBase = 0xDC00;  // lone surrogates U+DC80..U+DCFF carry raw bytes

void AppendUtf8(std::string& out, char32_t c) {
    if (c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF) {
        out.push_back(static_cast<char>(c - kEscapeBase));
        return;
    }
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = kReplacement;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Decodes one well-formed UTF-8 sequence at text[i]; returns its length, or 0 when the bytes
// there are not a valid, shortest-form sequence of a scalar value.
size_t DecodeUtf8(std::string_view text, size_t i, char32_t& c) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
        c = b0;
        return 1;
    }
    size_t len;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2, c = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, c = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, c = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - i < len) return 0;
    for (size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        c = (c << 6) | (b & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    return len;
}

}  // namespace

namespace CharacterSetConversions {

template <>
std::string String<char>(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t w : text)
        AppendUtf8(out, static_cast<char32_t>(w));
    return out;
}

template <>
std::wstring String<wchar_t>(std::wstring_view text) {
    return std::wstring(text);
}

template <>
std::string String<char>(std::string_view text) {
    return std::string(text);
}

template <>
std::wstring String<wchar_t>(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t c;
        const size_t len = DecodeUtf8(text, i, c);
        if (len == 0) {
            out.push_back(static_cast<wchar_t>(kEscapeBase + static_cast<unsigned char>(text[i])));
            ++i;
        } else {
            out.push_back(static_cast<wchar_t>(c));
            i += len;
        }
    }
    return out;
}

}  // namespace CharacterSetConversions

std::wstring ConvertAnsiToUnicode(std::string_view text) {
    return CharacterSetConversions::String<wchar_t>(text);
}

std::wstring FormatStringV(const wchar_t* format, va_list args) {
    std::vector<wchar_t> buffer(256);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        errno = 0;
        const int n = std::vswprintf(buffer.data(), buffer.size(), format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < buffer.size()) return std::wstring(buffer.data(), n);
        // vswprintf reports truncation only as -1; grow until it fits, within reason. A narrow
        // argument that the C library cannot convert (EILSEQ) will never fit.
        if (errno == EILSEQ || buffer.size() >= (size_t{1} << 24)) return std::wstring();
        buffer.resize(buffer.size() * 4);
    }
}

std::wstring FormatString(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring out = FormatStringV(format, args);
    va_end(args);
    return out;
}
