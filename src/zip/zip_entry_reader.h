#pragma once

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "zip/crc32.h"
#include "zip/deflate.h"

namespace zel::zip {

// Reads an entry's source for the stored copy and for the compressor alike, so that the CRC and
// the count of bytes read come out the same either way. Never yields more than `limit` bytes.
class ZipEntryReader final : public DeflateInput {
 public:
  ZipEntryReader(HANDLE file, const unsigned char* memory, size_t memory_size, const std::atomic<bool>* cancel)
      : file_(file), memory_(memory), memory_size_(memory_size), cancel_(cancel) {}

  void SetLimit(uint64_t limit) { limit_ = limit; }

  size_t Read(unsigned char* buffer, size_t capacity) override {
    if (cancel_ != nullptr && cancel_->load()) {
      cancelled_ = true;
      return 0;
    }
    const uint64_t room = limit_ - count_;
    if (room < capacity) capacity = static_cast<size_t>(room);
    size_t got = 0;
    if (file_ != INVALID_HANDLE_VALUE) {
      DWORD read = 0;
      // A read error ends the entry like the end of the file: what was read is what is recorded.
      if (capacity > 0 && ::ReadFile(file_, buffer, static_cast<DWORD>(std::min<size_t>(capacity, 1u << 30)), &read, nullptr)) {
        got = read;
      }
    } else {
      got = std::min<size_t>(capacity, memory_size_ - static_cast<size_t>(count_));
      std::memcpy(buffer, memory_ + count_, got);
    }
    crc_ = Crc32(crc_, buffer, got);
    count_ += got;
    return got;
  }

  uint32_t Crc() const { return crc_; }
  uint64_t Count() const { return count_; }
  bool Cancelled() const { return cancelled_; }

 private:
  HANDLE file_;
  const unsigned char* memory_;
  size_t memory_size_;
  const std::atomic<bool>* cancel_;
  bool cancelled_ = false;
  uint64_t limit_ = 0;
  uint64_t count_ = 0;
  uint32_t crc_ = 0;
};

}  // namespace zel::zip
