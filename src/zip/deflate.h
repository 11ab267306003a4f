#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct libdeflate_compressor;

namespace zel::zip {

// Where the compressor's input comes from: Read fills up to `capacity` bytes and returns how many
// it gave; 0 means the end of the input.
class DeflateInput {
 public:
  virtual ~DeflateInput() = default;
  virtual size_t Read(unsigned char* buffer, size_t capacity) = 0;
};

// Where the compressor's output goes, piece by piece. Write returns false when the bytes could
// not all be taken; compression then stops.
class DeflateOutput {
 public:
  virtual ~DeflateOutput() = default;
  virtual bool Write(const unsigned char* data, size_t size) = 0;
};

enum class DeflateResult {
  kOk,
  kOutputFailed,   // the output refused bytes
  kInternalError,  // the library's stream could not be joined (never seen: a fault of ours or of it)
};

// libdeflate's level for zip entries: the one whose output comes closest to zlib level 8's, the
// size the archive format's readers and our earlier compressor were measured against
// (bench/deflate_bench.cpp).
constexpr int kZipDeflateLevel = 6;
// General purpose flag bits of a deflated entry: bit 1, the "maximum compression" class.
constexpr uint16_t kDeflateZipFlags = 0x0002;
// How much of an entry is compressed at a time; the window starts afresh at each piece.
constexpr size_t kDeflatePieceBytes = size_t{1} << 20;

// The most bytes the stream of `input_size` bytes can take.
uint64_t DeflateBound(uint64_t input_size, size_t piece_bytes = kDeflatePieceBytes);
// The most input whose DeflateBound stays within `output_room`.
uint64_t DeflateInputLimit(uint64_t output_room, size_t piece_bytes = kDeflatePieceBytes);

// A raw deflate (RFC 1951) compressor of streams of any length on libdeflate, which compresses
// only whole buffers: see deflate.cpp. One object compresses one stream at a time and may be reused.
class DeflateCompressor {
 public:
  // Null when the memory is not there (about 3 MiB with the default piece).
  static std::unique_ptr<DeflateCompressor> Create(size_t piece_bytes = kDeflatePieceBytes);
  ~DeflateCompressor();
  DeflateCompressor(const DeflateCompressor&) = delete;
  DeflateCompressor& operator=(const DeflateCompressor&) = delete;

  // Compresses everything `input` gives into one stream (its last block marked final), handing
  // the output to `output` piece by piece. `*compressed_size` receives the bytes handed over.
  DeflateResult Compress(DeflateInput& input, DeflateOutput& output, uint64_t* compressed_size);

 private:
  DeflateCompressor(libdeflate_compressor* library, size_t piece_bytes);

  struct LibraryDeleter {
    void operator()(libdeflate_compressor* compressor) const;
  };
  std::unique_ptr<libdeflate_compressor, LibraryDeleter> library_;
  std::vector<unsigned char> in_;
  std::vector<unsigned char> out_;
};

}  // namespace zel::zip
