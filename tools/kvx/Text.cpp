#include "Text.h"

#include <charconv>

#include "Utf8.h"

namespace kvx::cli {

std::string Count(std::uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
        out.push_back(digits[i]);
    }
    return out;
}

std::string Plural(std::uint64_t n, const char* one, const char* many) {
    return Count(n) + " " + (n == 1 ? one : many);
}

std::string Number(double value) {
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

std::string Hex(const Orvex::Common::Color& c) {
    return Format("#%02x%02x%02x", c.red, c.green, c.blue);
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : Narrow(Widen(text))) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += Format("\\u%04x", static_cast<unsigned>(c));
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace kvx::cli
