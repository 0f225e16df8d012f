#include <gtest/gtest.h>

#include <vector>

#include "maker/Color.h"
#include "maker/Logging.h"
#include "maker/Text.h"

namespace {

using CharacterSetConversions::String;

TEST(Text, Utf8Conversions) {
    const struct {
        std::wstring wide;
        std::string narrow;
    } cases[] = {
        {L"", ""},
        {L"abc", "abc"},
        {L"\u00e9\u4e2d\U0001F600", "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(String<char>(c.wide), c.narrow);
        EXPECT_EQ(String<wchar_t>(c.narrow), c.wide);
    }
    EXPECT_EQ(ConvertAnsiToUnicode("IVSTLData"), L"IVSTLData");
}

TEST(Text, InvalidBytesSurviveARoundTrip) {
    // Stray continuation, overlong form, encoded surrogate, truncated sequence.
    for (const std::string bytes : {"a\x80z", "\xC0\xAF", "\xED\xA0\x80", "\xE4\xB8"}) {
        const std::wstring wide = String<wchar_t>(bytes);
        EXPECT_EQ(String<char>(wide), bytes);
    }
    // Code points UTF-8 cannot carry become U+FFFD.
    EXPECT_EQ(String<char>(std::wstring(1, static_cast<wchar_t>(0x110000))), "\xEF\xBF\xBD");
    EXPECT_EQ(String<char>(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
}

TEST(Text, FormatString) {
    EXPECT_EQ(FormatString(L"<%ls> Cannot seek to %ld in '%ls'", L"X::Y", 42L, L"/tmp/f"),
              L"<X::Y> Cannot seek to 42 in '/tmp/f'");
    const std::wstring big(5000, L'x');
    EXPECT_EQ(FormatString(L"%ls!", big.c_str()), big + L"!");
}

TEST(Logging, SinkCapturesMessages) {
    std::vector<std::wstring> seen;
    SetLogSink([&](const LogMessage& m) { seen.push_back(m.GetText()); });
    GetLogger().Log(LogMessage(L"one"));
    GetLogger().Log(LogMessage(L"two"));
    SetLogSink(nullptr);
    EXPECT_EQ(seen, (std::vector<std::wstring>{L"one", L"two"}));
}

TEST(Color, FromColorRef) {
    Orvex::Common::Color c;
    MColor_COLORREF::SetCOLORREF(c, 0x02332211u, false);
    EXPECT_EQ(c, (Orvex::Common::Color{0x11, 0x22, 0x33, 2}));
    EXPECT_EQ(MColor_COLORREF::GetCOLORREF(c), 0x02332211u);
    MColor_COLORREF::SetCOLORREF(c, 0x01332211u, true);
    EXPECT_EQ(c, (Orvex::Common::Color{0x33, 0x22, 0x11, 1}));
}

}  // namespace
