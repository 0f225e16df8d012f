#include <gtest/gtest.h>

#include <sstream>

#include "maker/Zip.h"
#include "support/TestFiles.h"

namespace {

using kvxtest::Bytes;

std::string Str(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

std::string Packed(const std::string& plain) {
    std::istringstream in(plain);
    std::ostringstream out;
    EXPECT_TRUE(Compress(out, in, kContainerLevel));
    return out.str();
}

bool Unpacked(const std::string& packed, std::string& plain, std::uint64_t limit = UINT64_MAX) {
    std::istringstream in(packed);
    std::ostringstream out;
    const bool ok = Decompress(out, in, limit);
    plain = out.str();
    return ok;
}

TEST(Zip, RoundTrips) {
    const std::string inputs[] = {
        "",
        "x",
        std::string(300000, 'a'),
        Str(kvxtest::RandomBytes(1 << 20, 5)),
    };
    for (const auto& plain : inputs) {
        std::string back;
        ASSERT_TRUE(Unpacked(Packed(plain), back)) << plain.size();
        EXPECT_EQ(back, plain);
    }
    EXPECT_LT(Packed(std::string(300000, 'a')).size(), 1000u);
}

TEST(Zip, LevelsMapIntoZstdRange) {
    EXPECT_GE(ZstdLevelFor(kContainerLevel), 1);
    EXPECT_LE(ZstdLevelFor(kContainerLevel), 19);
    EXPECT_EQ(ZstdLevelFor(5), 5);
    EXPECT_EQ(ZstdLevelFor(1000), ZstdLevelFor(999));
}

// Every truncation and every corrupted byte is detected (the frame carries a checksum).
TEST(Zip, DamageIsDetected) {
    const std::string plain = Str(kvxtest::RandomBytes(3000, 7)) + std::string(3000, 'q');
    const std::string packed = Packed(plain);
    std::string back;
    for (std::size_t cut = 0; cut < packed.size(); ++cut)
        EXPECT_FALSE(Unpacked(packed.substr(0, cut), back)) << "prefix " << cut;
    for (std::size_t i = 0; i < packed.size(); ++i) {
        std::string bad = packed;
        bad[i] ^= 0x20;
        // Never garbage reported as success (a flipped bit the frame does not use may decode).
        EXPECT_TRUE(!Unpacked(bad, back) || back == plain) << "byte " << i;
    }
    EXPECT_FALSE(Unpacked(packed + "junk", back));
}

TEST(Zip, OutputLimitStopsBombs) {
    const std::string packed = Packed(std::string(10 << 20, '\0'));
    std::string back;
    EXPECT_FALSE(Unpacked(packed, back, 1 << 20));
    EXPECT_LE(back.size(), (2u << 20));
    EXPECT_TRUE(Unpacked(packed, back, 10 << 20));
}

}  // namespace
