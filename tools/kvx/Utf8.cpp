#include "Utf8.h"

namespace kvx::cli {

namespace {
constexpr char32_t kReplacement = 0xFFFD;

bool Scalar(char32_t c) {
    return c < 0x110000 && (c < 0xD800 || c > 0xDFFF);
}
}  // namespace

std::wstring Widen(const std::string& utf8) {
    std::wstring out;
    out.reserve(utf8.size());
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* end = p + utf8.size();
    while (p < end) {
        const unsigned char lead = *p;
        int extra = lead < 0x80                   ? 0
                    : lead >= 0xC2 && lead < 0xE0 ? 1
                    : lead >= 0xE0 && lead < 0xF0 ? 2
                    : lead >= 0xF0 && lead < 0xF5 ? 3
                                                  : -1;
        if (extra < 0 || end - p <= extra) {
            out.push_back(static_cast<wchar_t>(kReplacement));
            ++p;
            continue;
        }
        char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
        bool ok = true;
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) ok = false;
            c = c << 6 | (p[i] & 0x3F);
        }
        // Overlong forms and surrogates are not UTF-8.
        static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (!ok || c < kSmallest[extra] || !Scalar(c)) {
            out.push_back(static_cast<wchar_t>(kReplacement));
            ++p;
            continue;
        }
        out.push_back(static_cast<wchar_t>(c));
        p += extra + 1;
    }
    return out;
}

std::string Narrow(const std::wstring& wide) {
    std::string out;
    out.reserve(wide.size());
    for (const wchar_t w : wide) {
        char32_t c = static_cast<char32_t>(w);
        if (!Scalar(c)) c = kReplacement;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | c >> 6));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | c >> 12));
            out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | c >> 18));
            out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace kvx::cli
