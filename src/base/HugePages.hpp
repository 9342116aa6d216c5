#pragma once

#include <cstddef>

namespace vt {

// On a virtual machine the first touch of each fresh page costs far more than writing to it:
// memory about to be filled with thousands of records is asked for in 2 MiB pages instead of
// 4 KiB ones. Both are hints; where the kernel declines, nothing changes.

// The whole 2 MiB pages within [start, start + length).
void inHugePages(void* start, std::size_t length);

// Grows the heap by `bytes` at once and backs it with huge pages, for a short-lived command
// that is about to allocate most of that (as glibc's "glibc.malloc.hugetlb=1" tunable would,
// which can only be set before the program starts).
void growHeapInHugePages(std::size_t bytes);

}  // namespace vt
