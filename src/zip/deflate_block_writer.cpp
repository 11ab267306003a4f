#include "zip/deflate_block_writer.h"

#include <algorithm>
#include <cstring>

#include "zip/deflate_huffman.h"

namespace zel::zip {
namespace {

using namespace deflate_alphabet;

constexpr int kPrecodeSymbols = 19;
constexpr int kMaxPrecodeLength = 7;
constexpr int kMaxCodeLength = 15;
constexpr size_t kMaxStoredPiece = 65535;
// The order in which the precode lengths are sent (RFC 1951 section 3.2.7).
constexpr uint8_t kPrecodeOrder[kPrecodeSymbols] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
constexpr uint8_t kPrecodeExtraBits[kPrecodeSymbols] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};

enum BlockType : uint32_t { kStored = 0, kFixed = 1, kDynamic = 2 };

struct BlockCodes {
  uint8_t literal_length_lengths[288] = {};
  uint16_t literal_length_codes[288] = {};
  uint8_t distance_lengths[32] = {};
  uint16_t distance_codes[32] = {};
};

const BlockCodes& FixedCodes() {
  static const BlockCodes codes = [] {
    BlockCodes fixed;
    for (int symbol = 0; symbol < 288; ++symbol) {
      fixed.literal_length_lengths[symbol] = symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
    }
    BuildCanonicalCodes(fixed.literal_length_lengths, 288, fixed.literal_length_codes);
    std::fill(fixed.distance_lengths, fixed.distance_lengths + 32, 5);
    BuildCanonicalCodes(fixed.distance_lengths, 32, fixed.distance_codes);
    return fixed;
  }();
  return codes;
}

// The code lengths of a dynamic block, run-length coded with the precode's symbols 16 (repeat the
// previous length 3-6 times), 17 (3-10 zeros) and 18 (11-138 zeros). Runs may cross from the
// literal/length lengths into the distance lengths, which the format allows.
struct PrecodeItem {
  uint8_t symbol;
  uint8_t extra;
};

struct DynamicHeader {
  int literal_length_count = 0;  // HLIT + 257
  int distance_count = 0;        // HDIST + 1
  int precode_count = 0;         // HCLEN + 4
  PrecodeItem items[kLiteralLengthSymbols + kDistanceSymbols];
  int item_count = 0;
  uint32_t precode_frequencies[kPrecodeSymbols] = {};
  uint8_t precode_lengths[kPrecodeSymbols] = {};
  uint16_t precode_codes[kPrecodeSymbols] = {};
  uint64_t bits = 0;  // size of the header after the 3 block-type bits
};

void AddItem(DynamicHeader& header, int symbol, int extra) {
  header.items[header.item_count++] = {static_cast<uint8_t>(symbol), static_cast<uint8_t>(extra)};
  ++header.precode_frequencies[symbol];
}

void BuildDynamicHeader(const BlockCodes& codes, DynamicHeader& header) {
  header.literal_length_count = kLiteralLengthSymbols;
  while (header.literal_length_count > 257 && codes.literal_length_lengths[header.literal_length_count - 1] == 0) {
    --header.literal_length_count;
  }
  header.distance_count = kDistanceSymbols;
  while (header.distance_count > 1 && codes.distance_lengths[header.distance_count - 1] == 0) --header.distance_count;

  uint8_t lengths[kLiteralLengthSymbols + kDistanceSymbols];
  const int total = header.literal_length_count + header.distance_count;
  std::memcpy(lengths, codes.literal_length_lengths, header.literal_length_count);
  std::memcpy(lengths + header.literal_length_count, codes.distance_lengths, header.distance_count);
  for (int i = 0; i < total;) {
    const uint8_t length = lengths[i];
    int run = 1;
    while (i + run < total && lengths[i + run] == length) ++run;
    i += run;
    if (length == 0) {
      while (run >= 11) {
        const int piece = std::min(run, 138);
        AddItem(header, 18, piece - 11);
        run -= piece;
      }
      if (run >= 3) {
        AddItem(header, 17, run - 3);
        run = 0;
      }
    } else {
      AddItem(header, length, 0);
      --run;
      while (run >= 3) {
        const int piece = std::min(run, 6);
        AddItem(header, 16, piece - 3);
        run -= piece;
      }
    }
    while (run-- > 0) AddItem(header, length, 0);
  }

  BuildCodeLengths(header.precode_frequencies, kPrecodeSymbols, kMaxPrecodeLength, header.precode_lengths);
  BuildCanonicalCodes(header.precode_lengths, kPrecodeSymbols, header.precode_codes);
  header.precode_count = kPrecodeSymbols;
  while (header.precode_count > 4 && header.precode_lengths[kPrecodeOrder[header.precode_count - 1]] == 0) {
    --header.precode_count;
  }
  header.bits = 5 + 5 + 4 + 3 * static_cast<uint64_t>(header.precode_count);
  for (int symbol = 0; symbol < kPrecodeSymbols; ++symbol) {
    header.bits += static_cast<uint64_t>(header.precode_frequencies[symbol]) *
                   (header.precode_lengths[symbol] + kPrecodeExtraBits[symbol]);
  }
}

void WriteDynamicHeader(DeflateBitWriter& out, const DynamicHeader& header) {
  out.Add(header.literal_length_count - 257, 5);
  out.Add(header.distance_count - 1, 5);
  out.Add(header.precode_count - 4, 4);
  out.Flush();
  for (int i = 0; i < header.precode_count; ++i) {
    out.Add(header.precode_lengths[kPrecodeOrder[i]], 3);
    out.Flush();
  }
  for (int i = 0; i < header.item_count; ++i) {
    const PrecodeItem& item = header.items[i];
    out.Add(header.precode_codes[item.symbol], header.precode_lengths[item.symbol]);
    out.Add(item.extra, kPrecodeExtraBits[item.symbol]);
    out.Flush();
  }
}

// Bits of the symbols under `codes`, extra bits included, end of block included.
uint64_t SymbolBits(const BlockCodes& codes, const uint32_t* literal_length_frequencies,
                    const uint32_t* distance_frequencies) {
  uint64_t bits = 0;
  for (int symbol = 0; symbol < kLiteralLengthSymbols; ++symbol) {
    const uint32_t frequency = literal_length_frequencies[symbol];
    bits += static_cast<uint64_t>(frequency) * codes.literal_length_lengths[symbol];
    if (symbol > kEndOfBlock) bits += static_cast<uint64_t>(frequency) * kLengthExtra[symbol - 257];
  }
  for (int code = 0; code < kDistanceSymbols; ++code) {
    bits += static_cast<uint64_t>(distance_frequencies[code]) * (codes.distance_lengths[code] + kDistanceExtra[code]);
  }
  return bits;
}

// Bits of `raw_size` bytes as stored blocks when the stream is at `position` bits.
uint64_t StoredBits(uint64_t position, size_t raw_size) {
  const uint64_t start = position;
  size_t left = raw_size;
  do {
    const size_t piece = std::min(left, kMaxStoredPiece);
    position += 3;
    position = (position + 7) & ~uint64_t{7};
    position += 32 + 8 * static_cast<uint64_t>(piece);
    left -= piece;
  } while (left > 0);
  return position - start;
}

void WriteStored(DeflateBitWriter& out, const unsigned char* raw, size_t raw_size, bool final) {
  size_t left = raw_size;
  do {
    const size_t piece = std::min(left, kMaxStoredPiece);
    left -= piece;
    out.Add((final && left == 0) ? 1u : 0u, 1);
    out.Add(kStored, 2);
    out.AlignToByte();
    out.Add(static_cast<uint32_t>(piece), 16);
    out.Add(static_cast<uint32_t>(~piece & 0xFFFF), 16);
    out.Flush();
    out.AddBytes(raw, piece);
    raw += piece;
  } while (left > 0);
}

void WriteSymbols(DeflateBitWriter& out, const BlockCodes& codes, const uint32_t* symbols, int count) {
  // Each length's code and extra bits, joined once per block.
  uint32_t length_bits[256];
  uint8_t length_sizes[256];
  for (unsigned excess = 0; excess < 256; ++excess) {
    const unsigned code = kLengthCodes[excess];
    const unsigned symbol = 257 + code;
    length_bits[excess] = codes.literal_length_codes[symbol] |
                          ((excess + kMinMatch - kLengthBase[code]) << codes.literal_length_lengths[symbol]);
    length_sizes[excess] = static_cast<uint8_t>(codes.literal_length_lengths[symbol] + kLengthExtra[code]);
  }
  for (int i = 0; i < count; ++i) {
    const uint32_t symbol = symbols[i];
    if (symbol < 256) {
      out.Add(codes.literal_length_codes[symbol], codes.literal_length_lengths[symbol]);
    } else {
      const unsigned excess = symbol & 0xFF;
      const unsigned distance = symbol >> 8;
      const unsigned code = DistanceCode(distance - 1);
      out.Add(length_bits[excess], length_sizes[excess]);
      out.Add(codes.distance_codes[code], codes.distance_lengths[code]);
      out.Add(distance - kDistanceBase[code], kDistanceExtra[code]);
    }
    out.Flush();
  }
  out.Add(codes.literal_length_codes[kEndOfBlock], codes.literal_length_lengths[kEndOfBlock]);
  out.Flush();
}

}  // namespace

void DeflateBlockWriter::Reset() {
  count_ = 0;
  std::fill(std::begin(literal_length_frequencies_), std::end(literal_length_frequencies_), 0u);
  std::fill(std::begin(distance_frequencies_), std::end(distance_frequencies_), 0u);
}

bool DeflateBlockWriter::WriteBlock(DeflateBitWriter& out, const unsigned char* raw, size_t raw_size, bool final) {
  literal_length_frequencies_[kEndOfBlock] = 1;

  BlockCodes dynamic;
  BuildCodeLengths(literal_length_frequencies_, kLiteralLengthSymbols, kMaxCodeLength, dynamic.literal_length_lengths);
  BuildCanonicalCodes(dynamic.literal_length_lengths, kLiteralLengthSymbols, dynamic.literal_length_codes);
  BuildCodeLengths(distance_frequencies_, kDistanceSymbols, kMaxCodeLength, dynamic.distance_lengths);
  BuildCanonicalCodes(dynamic.distance_lengths, kDistanceSymbols, dynamic.distance_codes);
  DynamicHeader header;
  BuildDynamicHeader(dynamic, header);

  const uint64_t start = out.BitPosition();
  const uint64_t dynamic_bits = 3 + header.bits + SymbolBits(dynamic, literal_length_frequencies_, distance_frequencies_);
  const uint64_t fixed_bits = 3 + SymbolBits(FixedCodes(), literal_length_frequencies_, distance_frequencies_);
  const uint64_t stored_bits = raw != nullptr ? StoredBits(start, raw_size) : UINT64_MAX;

  uint64_t chosen_bits;
  if (stored_bits <= fixed_bits && stored_bits <= dynamic_bits) {
    chosen_bits = stored_bits;
    WriteStored(out, raw, raw_size, final);
  } else if (fixed_bits <= dynamic_bits) {
    chosen_bits = fixed_bits;
    out.Add(final ? 1u : 0u, 1);
    out.Add(kFixed, 2);
    WriteSymbols(out, FixedCodes(), symbols_, count_);
  } else {
    chosen_bits = dynamic_bits;
    out.Add(final ? 1u : 0u, 1);
    out.Add(kDynamic, 2);
    WriteDynamicHeader(out, header);
    WriteSymbols(out, dynamic, symbols_, count_);
  }
  Reset();
  return out.failed || out.BitPosition() - start == chosen_bits;
}

}  // namespace zel::zip
