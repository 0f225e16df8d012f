// Text the tool prints: counts, plurals, colours and JSON strings.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "maker/Color.h"

namespace kvx::cli {

// 1234567 -> "1,234,567".
std::string Count(std::uint64_t n);
// Count(n) and the noun: "1 mesh", "2 meshes", "1,000 triangles".
std::string Plural(std::uint64_t n, const char* one, const char* many);
// printf into a string (up to 255 bytes).
std::string Format(const char* format, auto... values) {
    char text[256];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}
// The shortest decimal that reads back as `value` ("25.4", "0.001").
std::string Number(double value);
// "#rrggbb".
std::string Hex(const Orvex::Common::Color& c);
// A JSON string; bytes that are not UTF-8 (names from other programs) become U+FFFD.
std::string JsonString(const std::string& text);

}  // namespace kvx::cli
