#include "crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace talvik {
namespace {

constexpr uint32_t kPolynomial = 0x82F63B78u;  // reflected

constexpr std::array<uint32_t, 256> make_table() noexcept {
    std::array<uint32_t, 256> t{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t c = b;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ ((c & 1) ? kPolynomial : 0);
        t[b] = c;
    }
    return t;
}

constexpr std::array<uint32_t, 256> kTable = make_table();

uint32_t by_table(uint32_t crc, const unsigned char* p, size_t n) noexcept {
    for (size_t k = 0; k < n; ++k) crc = kTable[(crc ^ p[k]) & 0xFF] ^ (crc >> 8);
    return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t by_instruction(uint32_t crc, const unsigned char* p, size_t n) noexcept {
    uint64_t c = crc;
    for (; n >= 8; n -= 8, p += 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        c = _mm_crc32_u64(c, v);
    }
    auto c32 = static_cast<uint32_t>(c);
    for (; n > 0; --n, ++p) c32 = _mm_crc32_u8(c32, *p);
    return c32;
}

bool has_instruction() noexcept {
    static const bool has = __builtin_cpu_supports("sse4.2");
    return has;
}
#endif

// Appending zero bits is linear over GF(2): a 32x32 matrix per power of two
// of zeros, applied by the bits of the length.
uint32_t times(const uint32_t* matrix, uint32_t vector) noexcept {
    uint32_t sum = 0;
    for (; vector != 0; vector >>= 1, ++matrix) {
        if (vector & 1) sum ^= *matrix;
    }
    return sum;
}

void square(uint32_t* out, const uint32_t* matrix) noexcept {
    for (int n = 0; n < 32; ++n) out[n] = times(matrix, matrix[n]);
}

}  // namespace

uint32_t crc32c_combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b) noexcept {
    if (length_b == 0) return crc_a;
    uint32_t even[32], odd[32];
    odd[0] = kPolynomial;  // one zero bit
    for (int n = 1; n < 32; ++n) odd[n] = uint32_t{1} << (n - 1);
    square(even, odd);  // two zero bits
    square(odd, even);  // four
    // Then a byte, two, four... for each bit of the length in bytes.
    for (;;) {
        square(even, odd);
        if (length_b & 1) crc_a = times(even, crc_a);
        length_b >>= 1;
        if (length_b == 0) break;
        square(odd, even);
        if (length_b & 1) crc_a = times(odd, crc_a);
        length_b >>= 1;
        if (length_b == 0) break;
    }
    return crc_a ^ crc_b;
}

uint32_t crc32c_portable(uint32_t crc, const void* data, size_t n) noexcept {
    return ~by_table(~crc, static_cast<const unsigned char*>(data), n);
}

uint32_t crc32c(uint32_t crc, const void* data, size_t n) noexcept {
#if defined(__x86_64__)
    if (has_instruction()) return ~by_instruction(~crc, static_cast<const unsigned char*>(data), n);
#endif
    return crc32c_portable(crc, data, n);
}

}  // namespace talvik
