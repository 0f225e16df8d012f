#include <gtest/gtest.h>

#include "maker/Crypt.h"
#include "support/TestFiles.h"

namespace {

using kvxtest::Bytes;

const std::uint32_t kKeys[] = {0, 1, 0x80000000u, 0xDEADBEEFu, 0xFFFFFFFFu};

TEST(Crypt, DecryptUndoesEncryptAndChangesBytes) {
    const Bytes plain = kvxtest::RandomBytes(1000, 1);
    for (std::uint32_t key : kKeys) {
        Bytes data = plain;
        Encrypt(data.data(), data.size(), key);
        EXPECT_NE(data, plain);
        Decrypt(data.data(), data.size(), key);
        EXPECT_EQ(data, plain);
    }
}

// The container encrypts bytes 4.. in one call and decrypts 4..7 and 8.. in two.
TEST(Crypt, TwoPieceProperty) {
    for (std::size_t length : {4u, 5u, 8u, 1001u}) {
        const Bytes plain = kvxtest::RandomBytes(length, static_cast<std::uint32_t>(length));
        for (std::uint32_t key : kKeys) {
            Bytes data = plain;
            Encrypt(data.data(), data.size(), key);
            Decrypt(data.data(), 4, key);
            Decrypt(data.data() + 4, data.size() - 4, key);
            EXPECT_EQ(data, plain) << length << " " << key;
        }
    }
}

// Flipping any key bit changes the substitution of every byte position modulo 4.
TEST(Crypt, EveryKeyBitAffectsEveryLane) {
    Bytes all(1024);
    for (std::size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<std::uint8_t>(i / 4);
    for (std::uint32_t key : kKeys) {
        Bytes base = all;
        Encrypt(base.data(), base.size(), key);
        for (int bit = 0; bit < 32; ++bit) {
            Bytes flipped = all;
            Encrypt(flipped.data(), flipped.size(), key ^ (1u << bit));
            for (int lane = 0; lane < 4; ++lane) {
                int changed = 0;
                for (std::size_t i = lane; i < all.size(); i += 4)
                    changed += base[i] != flipped[i];
                EXPECT_GT(changed, 128) << "key " << key << " bit " << bit << " lane " << lane;
            }
        }
    }
}

TEST(Crypt, StringToULongIsStableAndSpreads) {
    EXPECT_EQ(StringToULong("secret"), StringToULong("secret"));
    EXPECT_NE(StringToULong("secret"), StringToULong("secreu"));
    EXPECT_NE(StringToULong(""), StringToULong(std::string_view("\0", 1)));
}

}  // namespace
