#pragma once

// Shared by the two CRC-32 forms (crc32.cpp, crc32_carryless.cpp): the sliced tables and the
// update of the raw CRC register (no initial or final inversion). See crc32.cpp for the theory.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zel::zip::crc_detail {

constexpr uint32_t kReflectedPolynomial = 0xEDB88320u;
constexpr int kSlices = 16;

using SliceTables = std::array<std::array<uint32_t, 256>, kSlices>;

// tables[0][b]: the register after shifting the byte b through an empty register.
// tables[k][b]: the same byte followed by k zero bytes, so that 16 bytes can be looked up at once.
constexpr SliceTables MakeSliceTables() {
  SliceTables tables{};
  for (uint32_t byte = 0; byte < 256; ++byte) {
    uint32_t value = byte;
    for (int bit = 0; bit < 8; ++bit) value = (value >> 1) ^ ((value & 1u) ? kReflectedPolynomial : 0u);
    tables[0][byte] = value;
  }
  for (int k = 1; k < kSlices; ++k) {
    for (uint32_t byte = 0; byte < 256; ++byte) {
      const uint32_t previous = tables[k - 1][byte];
      tables[k][byte] = (previous >> 8) ^ tables[0][previous & 0xFFu];
    }
  }
  return tables;
}

inline constexpr SliceTables kSliceTables = MakeSliceTables();

inline uint32_t LoadLe32(const unsigned char* p) noexcept {
  uint32_t value;
  std::memcpy(&value, p, sizeof(value));
  return value;  // every target of this module is little-endian
}

// Advances the raw register over `size` bytes, sixteen at a time.
inline uint32_t SlicedUpdate(uint32_t raw, const unsigned char* p, size_t size) noexcept {
  const auto& t = kSliceTables;
  while (size >= 16) {
    const uint32_t a = LoadLe32(p) ^ raw;
    const uint32_t b = LoadLe32(p + 4);
    const uint32_t c = LoadLe32(p + 8);
    const uint32_t d = LoadLe32(p + 12);
    raw = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
          t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
          t[7][c & 0xFF] ^ t[6][(c >> 8) & 0xFF] ^ t[5][(c >> 16) & 0xFF] ^ t[4][c >> 24] ^
          t[3][d & 0xFF] ^ t[2][(d >> 8) & 0xFF] ^ t[1][(d >> 16) & 0xFF] ^ t[0][d >> 24];
    p += 16;
    size -= 16;
  }
  while (size-- > 0) raw = (raw >> 8) ^ t[0][(raw ^ *p++) & 0xFF];
  return raw;
}

// The carry-less form over the raw register; defined in crc32_carryless.cpp. Only called when the
// processor has PCLMULQDQ.
uint32_t CarrylessUpdate(uint32_t raw, const unsigned char* p, size_t size) noexcept;
bool ProcessorHasCarryless() noexcept;

}  // namespace zel::zip::crc_detail
