#pragma once

#include <cstddef>
#include <cstdint>

namespace zel::zip {

// The CRC-32 of the zip format (reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF, final
// inversion), the same value zlib's crc32() gives. Start with 0 and pass each result back in to
// continue over the next piece: Crc32(Crc32(0, a, n), b, m) is the CRC of a followed by b.
// libdeflate's: folded with the carry-less multiply where the processor has it, else sliced tables.
uint32_t Crc32(uint32_t crc, const void* data, size_t size) noexcept;

}  // namespace zel::zip
