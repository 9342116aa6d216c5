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
    constexpr std::size_t kGrowth = 1u << 20;
    auto* volatile block = static_cast<char*>(std::malloc(kGrowth));
    if (block == nullptr) return;
    block[0] = 0;
    void* const after = ::sbrk(0);
    const std::uintptr_t start = address(block);
    const std::size_t usable = ::malloc_usable_size(block);
    std::free(block);
    if (before == reinterpret_cast<void*>(-1) || after == reinterpret_cast<void*>(-1) || address(after) <= address(before)) {
        return;
    }
    // A 2 MiB range any page of which is already in use stays in small pages for good, and
    // malloc wrote the header of the next block just past this one: huge pages begin after it.
    constexpr std::uintptr_t kChunkHeader = 16;
    const std::uintptr_t touched = start + usable + kChunkHeader;
    if (address(after) <= touched) return;
    inHugePages(reinterpret_cast<void*>(touched), address(after) - touched);
    // The next blocks would begin below the first huge page: one that is never touched
    // fills the gap, so that the large ones the command is about to fill begin in huge pages.
    const std::uintptr_t first = (touched + kHugePage - 1) & ~(kHugePage - 1);
    void* volatile filler = std::malloc(first - start - 2 * kChunkHeader);  // volatile: kept though unused
    static_cast<void>(filler);
}

}  // namespace vt
