#include "zip/crc32.h"

#include <libdeflate.h>

namespace zel::zip {

uint32_t Crc32(uint32_t crc, const void* data, size_t size) noexcept {
  return size == 0 ? crc : libdeflate_crc32(crc, data, size);
}

}  // namespace zel::zip
