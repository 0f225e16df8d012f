#include <gtest/gtest.h>

#include "maker/MFile.h"
#include "maker/MString.h"
#include "support/TestFiles.h"

namespace {

void Write(MFileMemory& f, const MString& s) {
    f.OPEN_WRITE(0, nullptr);
    EXPECT_TRUE(s.WRITE(f));
    f.CHANGE_MODE(1);
}

TEST(MString, LayoutIsLengthThenUtf8) {
    MFileMemory f;
    Write(f, MString(L"A\u00e9"));
    const kvxtest::Bytes expected = {3, 0, 0, 0, 'A', 0xC3, 0xA9};
    ASSERT_EQ(f.SIZE(), 7);
    EXPECT_EQ(kvxtest::Bytes(f.GET_BUFFER(), f.GET_BUFFER() + 7), expected);
}

TEST(MString, RoundTrips) {
    for (const wchar_t* text : {L"", L"Scene 1", L"\u00e4\u4e2d\U0001F600", L"a\0b"}) {
        MFileMemory f;
        Write(f, MString(text));
        MString back(L"old");
        ASSERT_TRUE(back.READ(f));
        EXPECT_EQ(back, MString(text));
        EXPECT_TRUE(f.FEOF());
    }
}

TEST(MString, RejectsLengthsBeyondTheFileOrTheLimit) {
    const std::uint32_t lengths[] = {4, 0xFFFFFFFF, MString::kMaxBytes + 1};
    for (std::uint32_t n : lengths) {
        MFileMemory f;
        f.OPEN_WRITE(0, nullptr);
        f.WRITE(&n, 1);
        f.WRITE("abc", 3);  // one byte fewer than the smallest claim
        f.CHANGE_MODE(1);
        MString s(L"kept");
        EXPECT_FALSE(s.READ(f)) << n;
        EXPECT_EQ(s, MString(L"kept"));
    }
    // Every truncated prefix of a valid string fails.
    MFileMemory whole;
    Write(whole, MString(L"hello"));
    for (std::int64_t cut = 0; cut < whole.SIZE(); ++cut) {
        MFileMemory f;
        f.OPEN_READ(whole.GET_BUFFER(), static_cast<std::size_t>(cut));
        MString s;
        EXPECT_FALSE(s.READ(f)) << cut;
    }
}

}  // namespace
