// CRC32C (Castagnoli), the checksum of a saved index's sections: the SSE4.2
// instruction where the processor has it, a table otherwise; both give the
// same value.
#pragma once

#include <cstddef>
#include <cstdint>

namespace talvik {

// Extends `crc` (0 to start) over n bytes; crc32c(0, "123456789", 9) is 0xE3069283.
uint32_t crc32c(uint32_t crc, const void* data, size_t n) noexcept;

// The CRC of A followed by B, from crc(A), crc(B) and B's length: so that
// the pieces of one long section can be checked by several workers at once.
uint32_t crc32c_combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b) noexcept;

// The same, always by the table: for the tests that compare both ways.
uint32_t crc32c_portable(uint32_t crc, const void* data, size_t n) noexcept;

}  // namespace talvik
