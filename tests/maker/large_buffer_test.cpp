#include "maker/LargeBuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>

namespace {

using KvxInternal::kLargeBlock;
using KvxInternal::LargeVector;

// Small and large arrays, grown past the threshold and shrunk back, keep their content; large
// blocks start on a 2 MiB boundary.
TEST(LargeBuffer, ArraysOfEverySizeKeepTheirContent) {
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, kLargeBlock / 4 - 1,
                                kLargeBlock / 4, 3 * kLargeBlock + 5}) {
        SCOPED_TRACE(n);
        LargeVector<std::uint32_t> v(n);
        std::iota(v.begin(), v.end(), 7u);
        if (n * sizeof(std::uint32_t) >= kLargeBlock) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % kLargeBlock, 0u);
        }
        for (int k = 0; k < 1000; ++k)
            v.push_back(static_cast<std::uint32_t>(n + 7 + k));  // grows across blocks
        for (std::size_t i = 0; i < v.size(); ++i)
            ASSERT_EQ(v[i], i + 7);
        v.resize(n / 2);
        v.shrink_to_fit();
        for (std::size_t i = 0; i < v.size(); ++i)
            ASSERT_EQ(v[i], i + 7);
    }
    LargeVector<bool> bits(8 * kLargeBlock + 3, true);
    bits.back() = false;
    EXPECT_TRUE(bits[8 * kLargeBlock]);
    EXPECT_FALSE(bits[8 * kLargeBlock + 2]);
}

TEST(LargeBuffer, ImpossibleSizesThrow) {
    LargeVector<std::uint64_t> v;
    EXPECT_THROW(v.reserve(v.max_size()), std::bad_alloc);
    KvxInternal::LargeAllocator<std::uint64_t> allocator;
    EXPECT_THROW((void)allocator.allocate(std::size_t{1} << 61), std::bad_alloc);
}

}  // namespace
