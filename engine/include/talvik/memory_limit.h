// How much more memory this process can take before the system refuses it
// or kills it: the least of the free memory the kernel reports, the room
// left under the process's cgroup limit, and under its address-space limit.
#pragma once

#include <cstdint>

namespace talvik {

// Bytes; the largest value when nothing can be read.
uint64_t memory_available() noexcept;

// The room left under the address-space limit alone (RLIMIT_AS); the
// largest value when there is no limit. Cheaper: no file is read without one.
uint64_t address_space_room() noexcept;

}  // namespace talvik
