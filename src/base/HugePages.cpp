#include "base/HugePages.hpp"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace vt {

namespace {

constexpr std::uintptr_t kHugePage = 2u << 20;

std::uintptr_t address(const void* pointer) { return reinterpret_cast<std::uintptr_t>(pointer); }

}  // namespace

void inHugePages(void* start, std::size_t length) {
    const std::uintptr_t first = (address(start) + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t end = (address(start) + length) & ~(kHugePage - 1);
    if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

void growHeapInHugePages(std::size_t bytes) {
    const int padding = static_cast<int>(bytes);
    // Large blocks come from the grown heap too (32 MiB is the most glibc allows), and
    // nothing is given back until exit.
    ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 2 * padding);
    ::mallopt(M_TOP_PAD, padding);
    void* const before = ::sbrk(0);
    // More than the heap has free: it grows by this and the padding in one step.
    // (Written to, or the compiler drops the allocation as unused.)
    auto* volatile block = static_cast<char*>(std::malloc(1u << 20));
    if (block != nullptr) block[0] = 0;
    void* const after = ::sbrk(0);
    std::free(block);
    if (before == reinterpret_cast<void*>(-1) || after == reinterpret_cast<void*>(-1) || address(after) <= address(before)) {
        return;
    }
    inHugePages(before, address(after) - address(before));
}

}  // namespace vt
