// The carry-less multiply form of the CRC-32 (theory in crc32.cpp). Compiled for every target and
// run only where the processor reports PCLMULQDQ; the functions carry their own target attribute
// so that the rest of the module keeps the base instruction set.

#include <cpuid.h>
#include <immintrin.h>

#include "zip/crc32_internal.h"

namespace zel::zip::crc_detail {
namespace {

// x^n mod P in normal bit order (bit d is the coefficient of x^d), P without its x^32 term.
constexpr uint32_t XPowerModP(int n) {
  uint32_t remainder = 1;
  for (int i = 0; i < n; ++i) remainder = (remainder << 1) ^ ((remainder & 0x80000000u) ? 0x04C11DB7u : 0u);
  return remainder;
}

// The multiplier x^n mod P as a 64-bit operand in the reflected order of the data lanes (bit i is
// the coefficient of x^(63-i)).
constexpr uint64_t ReflectedOperand(int n) {
  const uint32_t normal = XPowerModP(n);
  uint64_t operand = 0;
  for (int d = 0; d < 32; ++d) {
    if (normal & (1u << d)) operand |= uint64_t{1} << (63 - d);
  }
  return operand;
}

// Folding a 128-bit lane forward by `distance` bits multiplies its high-degree half (the low
// quadword) by x^(distance+64) and its low-degree half by x^distance. A reflected carry-less
// product comes out multiplied by x once more, which the exponents take back.
template <int distance>
struct FoldConstants {
  static constexpr uint64_t kForLowQuadword = ReflectedOperand(distance + 63);
  static constexpr uint64_t kForHighQuadword = ReflectedOperand(distance - 1);
};

__attribute__((target("sse2,pclmul"))) inline __m128i Fold(__m128i lane, __m128i constants, __m128i next) {
  const __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
  const __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

__attribute__((target("sse2"))) inline __m128i Load(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

}  // namespace

__attribute__((target("sse2,pclmul"))) uint32_t CarrylessUpdate(uint32_t raw, const unsigned char* p,
                                                                   size_t size) noexcept {
  if (size < 64) return SlicedUpdate(raw, p, size);
  using By512 = FoldConstants<512>;
  using By128 = FoldConstants<128>;
  const __m128i k512 = _mm_set_epi64x(static_cast<long long>(By512::kForHighQuadword),
                                      static_cast<long long>(By512::kForLowQuadword));
  const __m128i k128 = _mm_set_epi64x(static_cast<long long>(By128::kForHighQuadword),
                                      static_cast<long long>(By128::kForLowQuadword));

  // The register so far enters as the first 32 message bits, exactly as the table form XORs it
  // into the next bytes.
  __m128i x0 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(raw)));
  __m128i x1 = Load(p + 16);
  __m128i x2 = Load(p + 32);
  __m128i x3 = Load(p + 48);
  p += 64;
  size -= 64;
  while (size >= 64) {
    x0 = Fold(x0, k512, Load(p));
    x1 = Fold(x1, k512, Load(p + 16));
    x2 = Fold(x2, k512, Load(p + 32));
    x3 = Fold(x3, k512, Load(p + 48));
    p += 64;
    size -= 64;
  }
  x1 = Fold(x0, k128, x1);
  x2 = Fold(x1, k128, x2);
  x3 = Fold(x2, k128, x3);
  while (size >= 16) {
    x3 = Fold(x3, k128, Load(p));
    p += 16;
    size -= 16;
  }
  // The remaining 128 bits are congruent to everything read so far; the tables reduce them from
  // an empty register, then take the last bytes.
  alignas(16) unsigned char last[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(last), x3);
  return SlicedUpdate(SlicedUpdate(0, last, 16), p, size);
}

bool ProcessorHasCarryless() noexcept {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  return (ecx & bit_PCLMUL) != 0 && (edx & bit_SSE2) != 0;
}

}  // namespace zel::zip::crc_detail
