// How much more memory this process can take before the system refuses it
// or kills it: the least of the free memory the kernel reports, the room
// left under the process's cgroup limit, and under its address-space limit.
#pragma once

#include <cstdint>

namespace talvik {

// Bytes; the largest value when nothing can be read.
uint64_t memory_available() noexcept;

}  // namespace talvik
