// Text conversions between the library's wide strings and 8-bit text.
//
// Wide strings hold UTF-32 code points (wchar_t is 32 bits on this platform); narrow strings are
// UTF-8. Conversions are lossless for every byte string: a byte that is not part of valid UTF-8
// decodes to the lone surrogate U+DC00 + byte, and such a surrogate encodes back to that byte
// (the "surrogateescape" scheme), so arbitrary file names survive a round trip. Other code points
// that UTF-8 cannot carry (other surrogates, values above U+10FFFF) encode as U+FFFD.
// Safe on untrusted input.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace CharacterSetConversions {

// String<char>(wide) gives UTF-8; String<wchar_t>(narrow) decodes UTF-8. The same-width forms copy.
template <class To>
std::basic_string<To> String(std::wstring_view text);
template <class To>
std::basic_string<To> String(std::string_view text);

template <>
std::string String<char>(std::wstring_view text);
template <>
std::wstring String<wchar_t>(std::wstring_view text);
template <>
std::string String<char>(std::string_view text);
template <>
std::wstring String<wchar_t>(std::string_view text);

}  // namespace CharacterSetConversions

// An 8-bit string (UTF-8 on this platform) as a wide string.
std::wstring ConvertAnsiToUnicode(std::string_view text);

// printf-style formatting into a wide string ("%ls" for wide arguments, "%s" for narrow ones).
std::wstring FormatString(const wchar_t* format, ...);
std::wstring FormatStringV(const wchar_t* format, va_list args);
