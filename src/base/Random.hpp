#pragma once

#include <cstddef>
#include <random>

namespace vt {

// Fills `size` bytes from the kernel's random source, or from std::random_device where that
// fails: the standard device probes the processor first, dear at every start in a virtual
// machine.
void randomBytes(void* data, std::size_t size);

// This thread's generator for names and identifiers, seeded once from randomBytes.
std::mt19937_64& randomGenerator();

}  // namespace vt
