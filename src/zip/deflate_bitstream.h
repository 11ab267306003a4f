#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zel::zip {

// Where the compressor's output goes, piece by piece. Write returns false when the bytes could
// not all be taken; compression then stops.
class DeflateOutput {
 public:
  virtual ~DeflateOutput() = default;
  virtual bool Write(const unsigned char* data, size_t size) = 0;
};

// The deflate bit stream: codes are packed least significant bit first (RFC 1951 section 3.1.1)
// into a 64-bit accumulator, which Flush() empties into a caller-owned buffer eight bytes at a
// time; a full buffer is handed to the output. Callers keep at most 56 bits pending between
// flushes (one match: 15 + 5 + 15 + 13 bits, plus the 7 a flush may leave).
struct DeflateBitWriter {
  uint64_t bits = 0;
  unsigned count = 0;
  unsigned char* begin = nullptr;
  unsigned char* next = nullptr;
  unsigned char* end = nullptr;
  DeflateOutput* output = nullptr;
  uint64_t delivered = 0;  // bytes handed to the output so far
  bool failed = false;

  DeflateBitWriter(unsigned char* buffer, size_t capacity, DeflateOutput& sink)
      : begin(buffer), next(buffer), end(buffer + capacity), output(&sink) {}

  void Add(uint32_t value, unsigned length) {
    bits |= static_cast<uint64_t>(value) << count;
    count += length;
  }

  // Moves the whole bytes of the accumulator into the buffer; up to 7 bits stay behind.
  void Flush() {
    if (end - next < 8) Drain();
    std::memcpy(next, &bits, 8);  // little-endian: the first byte holds the earliest bits
    const unsigned bytes = count >> 3;
    next += bytes;
    bits = bytes > 0 ? bits >> (8 * bytes) : bits;
    count &= 7;
  }

  // Pads with zero bits to the next byte boundary (stored blocks and the end of the stream).
  void AlignToByte() {
    Flush();
    if (count > 0) {
      count = 8;
      Flush();
    }
  }

  // Bytes after an aligned point, copied straight through.
  void AddBytes(const unsigned char* data, size_t size) {
    while (size > 0) {
      if (next == end) Drain();
      size_t room = static_cast<size_t>(end - next);
      if (room > size) room = size;
      std::memcpy(next, data, room);
      next += room;
      data += room;
      size -= room;
    }
  }

  // Hands the buffered bytes to the output. After a failure, bytes are dropped.
  void Drain() {
    const size_t size = static_cast<size_t>(next - begin);
    if (size > 0 && !failed) {
      if (output->Write(begin, size)) {
        delivered += size;
      } else {
        failed = true;
      }
    }
    next = begin;
  }

  // Bits written so far, including those still in the accumulator or the buffer.
  uint64_t BitPosition() const { return (delivered + static_cast<uint64_t>(next - begin)) * 8 + count; }
};

}  // namespace zel::zip
