#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "zip/deflate_bitstream.h"
#include "zip/deflate_levels.h"

namespace zel::zip {

// Where the compressor's input comes from: Read fills up to `capacity` bytes and returns how many
// it gave; 0 means the end of the input.
class DeflateInput {
 public:
  virtual ~DeflateInput() = default;
  virtual size_t Read(unsigned char* buffer, size_t capacity) = 0;
};

enum class DeflateResult {
  kOk,
  kOutputFailed,   // the output refused bytes
  kInternalError,  // a block came out of a different size than it was chosen for
};

// The most bytes a raw deflate stream of `input_size` bytes can take: no block costs more than its
// fixed-code form (at most 9 bits per input byte), plus 10 bits of block framing per 16383 symbols.
// Incompressible input actually comes out at about 5 bytes more per 16 KiB, as stored blocks.
uint64_t DeflateBound(uint64_t input_size);
// The most input whose DeflateBound stays within `output_room`.
uint64_t DeflateInputLimit(uint64_t output_room);

// A raw deflate (RFC 1951) compressor; see deflate.cpp. One object compresses one stream at a
// time and may be reused.
class DeflateCompressor {
 public:
  // The working state (about 600 KB) for `level` 1 to 8; null for another level or when the
  // memory is not there.
  static std::unique_ptr<DeflateCompressor> Create(int level);
  ~DeflateCompressor();
  DeflateCompressor(const DeflateCompressor&) = delete;
  DeflateCompressor& operator=(const DeflateCompressor&) = delete;

  // Compresses everything `input` gives into one stream (its last block marked final). The output
  // is assembled in `buffer` (the caller's, at least 64 bytes) and handed to `output` each time the
  // buffer fills and at the end. `*compressed_size` receives the bytes handed over.
  DeflateResult Compress(DeflateInput& input, unsigned char* buffer, size_t capacity, DeflateOutput& output,
                         uint64_t* compressed_size);

 private:
  struct State;
  explicit DeflateCompressor(const DeflateLevel& level);

  const DeflateLevel level_;
  std::unique_ptr<State> state_;
};

}  // namespace zel::zip
