#include "maker/LargeBuffer.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace KvxInternal {

namespace {

std::size_t Mapped(std::size_t bytes) {
    return (bytes + kLargeBlock - 1) & ~(kLargeBlock - 1);
}

}  // namespace

void* AllocateLarge(std::size_t bytes) {
    if (bytes < kLargeBlock) return ::operator new(bytes);
    const std::size_t size = Mapped(bytes);
    if (size < bytes || size + kLargeBlock < size) throw std::bad_alloc();
    // One block more than needed, so that an aligned run of `size` bytes fits; the rest is
    // unmapped at once.
    void* raw = mmap(nullptr, size + kLargeBlock, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kLargeBlock - 1) & ~std::uintptr_t{kLargeBlock - 1};
    if (aligned > start) munmap(raw, aligned - start);
    const std::uintptr_t tail = start + size + kLargeBlock - (aligned + size);
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + size), tail);
#ifdef MADV_HUGEPAGE
    madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void*>(aligned);
}

void FreeLarge(void* block, std::size_t bytes) noexcept {
    if (block == nullptr) return;
    if (bytes < kLargeBlock) {
        ::operator delete(block);
        return;
    }
    munmap(block, Mapped(bytes));
}

}  // namespace KvxInternal
