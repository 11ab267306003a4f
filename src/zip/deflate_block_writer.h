#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "zip/deflate_bitstream.h"

namespace zel::zip {

// The length and distance alphabets of RFC 1951 section 3.2.5, as compiler-generated tables.
namespace deflate_alphabet {

constexpr int kLiteralLengthSymbols = 286;  // 0-255 literals, 256 end of block, 257-285 lengths
constexpr int kDistanceSymbols = 30;
constexpr int kEndOfBlock = 256;
constexpr unsigned kMinMatch = 3;
constexpr unsigned kMaxMatch = 258;

inline constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                             31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                             2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr uint16_t kDistanceBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,
                                               33,  49,  65,  97,  129, 193,  257,  385,  513,  769,
                                               1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                               6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Length code (0-28, symbol 257 + code) of each match length minus 3.
constexpr std::array<uint8_t, 256> MakeLengthCodes() {
  std::array<uint8_t, 256> codes{};
  for (int code = 0; code < 28; ++code) {
    for (int length = kLengthBase[code]; length < kLengthBase[code + 1]; ++length) {
      codes[length - 3] = static_cast<uint8_t>(code);
    }
  }
  codes[255] = 28;  // 258 has a code of its own
  return codes;
}
inline constexpr std::array<uint8_t, 256> kLengthCodes = MakeLengthCodes();

// Distance codes by distance - 1: the first 256 directly, the rest by (distance - 1) >> 7.
constexpr std::array<uint8_t, 512> MakeDistanceCodes() {
  std::array<uint8_t, 512> codes{};
  for (int code = 0; code < 30; ++code) {
    const int first = kDistanceBase[code] - 1;
    const int last = (code == 29 ? 32768 : kDistanceBase[code + 1]) - 2;
    for (int d = first; d <= last; ++d) {
      if (d < 256) {
        codes[d] = static_cast<uint8_t>(code);
      } else {
        codes[256 + (d >> 7)] = static_cast<uint8_t>(code);
      }
    }
  }
  return codes;
}
inline constexpr std::array<uint8_t, 512> kDistanceCodes = MakeDistanceCodes();

inline unsigned DistanceCode(unsigned distance_minus_one) {
  return distance_minus_one < 256 ? kDistanceCodes[distance_minus_one] : kDistanceCodes[256 + (distance_minus_one >> 7)];
}

}  // namespace deflate_alphabet

// Gathers the literals and matches of one block with their frequencies, and writes the block in
// whichever form is shortest: stored (in pieces of at most 65535 bytes), fixed Huffman codes, or
// dynamic Huffman codes with their header (RFC 1951 sections 3.2.4 to 3.2.7).
class DeflateBlockWriter {
 public:
  // zlib's block size at its default memory level, so that blocks adapt as often as zlib's do.
  static constexpr int kMaxSymbols = 16383;

  DeflateBlockWriter() { Reset(); }

  // Each returns true when the block is full and must be written before the next symbol.
  bool TallyLiteral(unsigned char literal) {
    symbols_[count_++] = literal;
    ++literal_length_frequencies_[literal];
    return count_ == kMaxSymbols;
  }
  bool TallyMatch(unsigned length, unsigned distance) {
    symbols_[count_++] = (distance << 8) | (length - deflate_alphabet::kMinMatch);
    ++literal_length_frequencies_[257 + deflate_alphabet::kLengthCodes[length - deflate_alphabet::kMinMatch]];
    ++distance_frequencies_[deflate_alphabet::DistanceCode(distance - 1)];
    return count_ == kMaxSymbols;
  }

  // Writes the gathered symbols as one block whose uncompressed bytes are `raw`, then starts a new
  // block. `raw` null: the bytes are gone and the block is not stored. Returns false when the bits written differ from the
  // size the choice was made on: an internal fault.
  bool WriteBlock(DeflateBitWriter& out, const unsigned char* raw, size_t raw_size, bool final);

 private:
  void Reset();

  // A symbol is a literal (below 256) or distance << 8 | (length - 3).
  uint32_t symbols_[kMaxSymbols];
  int count_ = 0;
  uint32_t literal_length_frequencies_[deflate_alphabet::kLiteralLengthSymbols];
  uint32_t distance_frequencies_[deflate_alphabet::kDistanceSymbols];
};

}  // namespace zel::zip
