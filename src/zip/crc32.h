#pragma once

#include <cstddef>
#include <cstdint>

namespace zel::zip {

// The CRC-32 of the zip format (reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF, final
// inversion), the same value zlib's crc32() gives. Start with 0 and pass each result back in to
// continue over the next piece: Crc32(Crc32(0, a, n), b, m) is the CRC of a followed by b.
// Picks the carry-less multiply form when the processor has it, else the sliced tables.
uint32_t Crc32(uint32_t crc, const void* data, size_t size) noexcept;

// The table form alone, on every processor. Same contract as Crc32.
uint32_t Crc32Sliced(uint32_t crc, const void* data, size_t size) noexcept;

// True when Crc32 runs on the processor's carry-less multiply (PCLMULQDQ).
bool Crc32UsesCarryless() noexcept;

}  // namespace zel::zip
