// Deflate for zip entries, on libdeflate.
//
// libdeflate compresses faster than zlib and than the compressor this module used to carry, at
// the same size (bench/deflate_bench.cpp prints the figures), but only a whole buffer at a time:
// it has no streaming interface, and an entry may be a log of several GiB, more than a 32-bit
// process can hold. So an entry is compressed in pieces of `piece_bytes`, each by one call, and
// the pieces' streams are joined into one:
//
//   piece 1 | piece 2 | ... | piece n
//
// A stream made by libdeflate ends with a block whose BFINAL bit is set, padded with zero bits to
// a byte boundary. To go on after it, that bit is cleared (deflate_block_walk.h finds it) and an
// empty stored block follows, which re-aligns the stream to a byte boundary (the "sync flush"
// marker of zlib: a 3-bit header of zeros, padding to the byte, then LEN 0000 and NLEN FFFF). The
// header lies in the zero padding when at least 3 bits of padding follow the block, else it
// spills into one more zero byte. The next piece's stream then starts on a byte boundary, as it
// expects. The last piece keeps its final block, so an entry of one piece is exactly libdeflate's
// stream; an empty input is an empty final block of fixed codes (bits 1, 01, then the 7-bit
// end-of-block code: the bytes 03 00).
//
// Each piece starts with an empty window, so a match never reaches into the previous piece: with
// pieces of 1 MiB that costs a few hundredths of a percent of size. The work buffers (a piece
// and its worst-case output) and libdeflate's own state live as long as the compressor.

#include "zip/deflate.h"

#include <libdeflate.h>

#include <algorithm>
#include <new>

#include "zip/deflate_block_walk.h"

namespace zel::zip {
namespace {

// The empty stored block after a piece, and the empty final block that ends the stream.
constexpr unsigned char kEmptyStoredBlock[] = {0x00, 0x00, 0x00, 0xFF, 0xFF};
constexpr unsigned char kEmptyFinalBlock[] = {0x03, 0x00};
constexpr uint64_t kMostJoinBytes = sizeof(kEmptyStoredBlock);

uint64_t PieceBound(uint64_t size) { return libdeflate_deflate_compress_bound(nullptr, static_cast<size_t>(size)); }

// Fills `buffer` from `input` until it is full or the input ends.
size_t ReadPiece(DeflateInput& input, unsigned char* buffer, size_t capacity) {
  size_t filled = 0;
  while (filled < capacity) {
    const size_t got = input.Read(buffer + filled, capacity - filled);
    if (got == 0) break;
    filled += got;
  }
  return filled;
}

}  // namespace

uint64_t DeflateBound(uint64_t input_size, size_t piece_bytes) {
  const uint64_t whole = input_size / piece_bytes;
  const uint64_t rest = input_size % piece_bytes;
  return whole * (PieceBound(piece_bytes) + kMostJoinBytes) + (rest > 0 ? PieceBound(rest) + kMostJoinBytes : 0) +
         sizeof(kEmptyFinalBlock);
}

uint64_t DeflateInputLimit(uint64_t output_room, size_t piece_bytes) {
  // The bound grows with the input, so the limit is found by halving.
  uint64_t low = 0, high = output_room;
  if (DeflateBound(0, piece_bytes) > output_room) return 0;
  while (low < high) {
    const uint64_t middle = low + (high - low + 1) / 2;
    if (DeflateBound(middle, piece_bytes) <= output_room) {
      low = middle;
    } else {
      high = middle - 1;
    }
  }
  return low;
}

void DeflateCompressor::LibraryDeleter::operator()(libdeflate_compressor* compressor) const {
  libdeflate_free_compressor(compressor);
}

std::unique_ptr<DeflateCompressor> DeflateCompressor::Create(size_t piece_bytes) {
  if (piece_bytes == 0) return nullptr;
  libdeflate_compressor* library = libdeflate_alloc_compressor(kZipDeflateLevel);
  if (library == nullptr) return nullptr;
  try {
    return std::unique_ptr<DeflateCompressor>(new DeflateCompressor(library, piece_bytes));
  } catch (const std::bad_alloc&) {
    libdeflate_free_compressor(library);
    return nullptr;
  }
}

DeflateCompressor::DeflateCompressor(libdeflate_compressor* library, size_t piece_bytes)
    : in_(piece_bytes + 1), out_(static_cast<size_t>(PieceBound(piece_bytes)) + kMostJoinBytes) {
  library_.reset(library);
}

DeflateCompressor::~DeflateCompressor() = default;

DeflateResult DeflateCompressor::Compress(DeflateInput& input, DeflateOutput& output, uint64_t* compressed_size) {
  *compressed_size = 0;
  // One byte more than a piece is read, so that a piece is known to be the last before it is
  // compressed: an entry of one piece (most of them) is libdeflate's stream as it is.
  const size_t piece = in_.size() - 1;
  size_t held = ReadPiece(input, in_.data(), in_.size());
  if (held == 0) {
    if (!output.Write(kEmptyFinalBlock, sizeof(kEmptyFinalBlock))) return DeflateResult::kOutputFailed;
    *compressed_size = sizeof(kEmptyFinalBlock);
    return DeflateResult::kOk;
  }
  for (;;) {
    const bool last = held <= piece;
    const size_t size = last ? held : piece;
    const size_t made = libdeflate_deflate_compress(library_.get(), in_.data(), size, out_.data(), out_.size() - kMostJoinBytes);
    if (made == 0) return DeflateResult::kInternalError;
    size_t join = 0;
    if (!last) {
      FinalBlock final_block;
      if (!FindFinalBlock(out_.data(), made, &final_block) || (final_block.end_bit + 7) / 8 != made) {
        return DeflateResult::kInternalError;
      }
      out_[final_block.header_bit / 8] &= static_cast<unsigned char>(~(1u << (final_block.header_bit % 8)));
      const unsigned padding = static_cast<unsigned>((8 - final_block.end_bit % 8) % 8);
      join = padding >= 3 ? sizeof(kEmptyStoredBlock) - 1 : sizeof(kEmptyStoredBlock);
      std::copy(kEmptyStoredBlock + sizeof(kEmptyStoredBlock) - join, kEmptyStoredBlock + sizeof(kEmptyStoredBlock),
                out_.data() + made);
    }
    if (!output.Write(out_.data(), made + join)) return DeflateResult::kOutputFailed;
    *compressed_size += made + join;
    if (last) return DeflateResult::kOk;
    in_[0] = in_[piece];
    held = 1 + ReadPiece(input, in_.data() + 1, in_.size() - 1);
  }
}

}  // namespace zel::zip
