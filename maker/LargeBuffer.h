// Memory for the mesh codecs' large work arrays.
//
// A mesh of a million triangles needs a few hundred megabytes of short-lived arrays. Taken from
// the heap in 4 KiB pages, each fresh page costs a fault when it is first touched, and on
// virtual machines those faults can cost as much as the decoding itself. LargeAllocator takes
// blocks of at least kLargeBlock bytes straight from the system, aligned to 2 MiB and marked
// for transparent huge pages where the system offers them (a hint: without them the block works
// the same, in small pages); smaller blocks come from operator new. Every block goes back to the
// system when it is freed, so nothing outlives the array that held it.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace KvxInternal {

inline constexpr std::size_t kLargeBlock = std::size_t{1} << 21;

// `bytes` of memory (throws std::bad_alloc), and its release.
void* AllocateLarge(std::size_t bytes);
void FreeLarge(void* block, std::size_t bytes) noexcept;

template <class T>
struct LargeAllocator {
    using value_type = T;
    LargeAllocator() = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(AllocateLarge(n * sizeof(T)));
    }
    void deallocate(T* block, std::size_t n) noexcept { FreeLarge(block, n * sizeof(T)); }
    template <class U>
    bool operator==(const LargeAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

}  // namespace KvxInternal
