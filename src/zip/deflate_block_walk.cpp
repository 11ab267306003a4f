// Finding the final block of a deflate stream (RFC 1951, section 3.2).
//
// The compressor (deflate.cpp) joins the streams libdeflate makes of successive pieces of an
// entry into one stream: each piece's final block must lose its BFINAL bit and be followed by an
// empty stored block that brings the stream back to a byte boundary. Where that block begins and
// ends is known only by reading the stream, so this walks it: stored blocks are skipped by their
// length, Huffman blocks are decoded symbol by symbol (lengths and distances only skipped over,
// nothing copied) with one lookup table per code, indexed by the next 15 bits of the stream.

#include "zip/deflate_block_walk.h"

#include <cstring>
#include <vector>

namespace zel::zip {
namespace {

constexpr unsigned kMaxCodeBits = 15;
constexpr int kLiteralLengthSymbols = 288;
constexpr int kDistanceSymbols = 32;
constexpr int kEndOfBlock = 256;
// Extra bits of the length symbols 257 to 285 and of the distance symbols 0 to 29.
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block gives the code-length code's lengths.
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Least significant bit first; reads past the end give zero bits and are caught by Overran().
class BitReader {
 public:
  BitReader(const unsigned char* data, size_t size) : data_(data), size_(size) {}

  uint64_t Position() const { return position_; }
  bool Overran() const { return position_ > static_cast<uint64_t>(size_) * 8; }

  uint32_t Peek(unsigned count) {
    if (pending_ < count) Refill();
    return static_cast<uint32_t>(bits_ & ((uint64_t{1} << count) - 1));
  }
  void Drop(unsigned count) {
    bits_ >>= count;
    pending_ -= count;
    position_ += count;
  }
  uint32_t Take(unsigned count) {
    const uint32_t value = Peek(count);
    Drop(count);
    return value;
  }
  // To bit `position`, which must be a byte boundary.
  void Seek(uint64_t position) {
    position_ = position;
    next_ = position / 8;
    bits_ = 0;
    pending_ = 0;
  }

 private:
  void Refill() {
    while (pending_ <= 56) {
      const uint64_t byte = next_ < size_ ? data_[next_] : 0;
      ++next_;
      bits_ |= byte << pending_;
      pending_ += 8;
    }
  }

  const unsigned char* data_;
  size_t size_;
  uint64_t next_ = 0;  // the next byte to load
  uint64_t bits_ = 0;
  unsigned pending_ = 0;
  uint64_t position_ = 0;
};

// A canonical Huffman code as a table of (symbol << 4 | length) for every 15-bit lookahead; 0
// where no code matches (an incomplete code).
class Decoder {
 public:
  Decoder() : table_(size_t{1} << kMaxCodeBits) {}

  // False when the lengths over-subscribe the code.
  bool Build(const uint8_t* lengths, int count) {
    std::memset(table_.data(), 0, table_.size() * sizeof(table_[0]));
    uint32_t per_length[kMaxCodeBits + 1] = {};
    for (int s = 0; s < count; ++s) ++per_length[lengths[s]];
    per_length[0] = 0;
    uint32_t next[kMaxCodeBits + 1] = {};
    uint32_t code = 0;
    for (unsigned bits = 1; bits <= kMaxCodeBits; ++bits) {
      code = (code + per_length[bits - 1]) << 1;
      next[bits] = code;
      if (code + per_length[bits] > (1u << bits)) return false;
    }
    for (int s = 0; s < count; ++s) {
      const unsigned bits = lengths[s];
      if (bits == 0) continue;
      uint32_t reversed = 0;
      for (unsigned i = 0, c = next[bits]++; i < bits; ++i, c >>= 1) reversed = (reversed << 1) | (c & 1);
      const uint16_t entry = static_cast<uint16_t>(s << 4 | bits);
      for (uint32_t at = reversed; at < table_.size(); at += 1u << bits) table_[at] = entry;
    }
    return true;
  }

  // The next symbol, or -1 where the stream holds no code of this table.
  int Decode(BitReader& reader) const {
    const uint16_t entry = table_[reader.Peek(kMaxCodeBits)];
    if (entry == 0) return -1;
    reader.Drop(entry & 15);
    return entry >> 4;
  }

 private:
  std::vector<uint16_t> table_;
};

class Walker {
 public:
  Walker(const unsigned char* data, size_t size) : reader_(data, size) {}

  bool Run(FinalBlock* found) {
    for (;;) {
      const uint64_t header = reader_.Position();
      const bool final = reader_.Take(1) != 0;
      const uint32_t type = reader_.Take(2);
      bool ok = false;
      if (type == 0) ok = SkipStored();
      if (type == 1) ok = UseFixedCodes() && SkipSymbols();
      if (type == 2) ok = ReadDynamicCodes() && SkipSymbols();
      if (!ok || reader_.Overran()) return false;
      if (final) {
        found->header_bit = header;
        found->end_bit = reader_.Position();
        return true;
      }
    }
  }

 private:
  bool SkipStored() {
    reader_.Take(static_cast<unsigned>((8 - reader_.Position() % 8) % 8));
    const uint32_t length = reader_.Take(16);
    const uint32_t complement = reader_.Take(16);
    if ((length ^ complement) != 0xFFFF) return false;
    reader_.Seek(reader_.Position() + uint64_t{length} * 8);
    return true;
  }

  bool UseFixedCodes() {
    uint8_t lengths[kLiteralLengthSymbols + kDistanceSymbols];
    for (int s = 0; s < kLiteralLengthSymbols; ++s) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    std::memset(lengths + kLiteralLengthSymbols, 5, kDistanceSymbols);
    return literals_.Build(lengths, kLiteralLengthSymbols) &&
           distances_.Build(lengths + kLiteralLengthSymbols, kDistanceSymbols);
  }

  bool ReadDynamicCodes() {
    const int literal_count = static_cast<int>(reader_.Take(5)) + 257;
    const int distance_count = static_cast<int>(reader_.Take(5)) + 1;
    const int code_length_count = static_cast<int>(reader_.Take(4)) + 4;
    if (literal_count > 286 || distance_count > 30) return false;
    uint8_t code_lengths[19] = {};
    for (int i = 0; i < code_length_count; ++i) code_lengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(reader_.Take(3));
    if (!lengths_code_.Build(code_lengths, 19)) return false;

    uint8_t lengths[kLiteralLengthSymbols + kDistanceSymbols] = {};
    const int total = literal_count + distance_count;
    for (int at = 0; at < total;) {
      const int symbol = lengths_code_.Decode(reader_);
      if (symbol < 0 || reader_.Overran()) return false;
      if (symbol < 16) {
        lengths[at++] = static_cast<uint8_t>(symbol);
        continue;
      }
      uint8_t value = 0;
      int repeat = 0;
      if (symbol == 16) {
        if (at == 0) return false;
        value = lengths[at - 1];
        repeat = 3 + static_cast<int>(reader_.Take(2));
      } else if (symbol == 17) {
        repeat = 3 + static_cast<int>(reader_.Take(3));
      } else {
        repeat = 11 + static_cast<int>(reader_.Take(7));
      }
      if (at + repeat > total) return false;
      while (repeat-- > 0) lengths[at++] = value;
    }
    if (lengths[kEndOfBlock] == 0) return false;
    return literals_.Build(lengths, literal_count) && distances_.Build(lengths + literal_count, distance_count);
  }

  bool SkipSymbols() {
    for (;;) {
      const int symbol = literals_.Decode(reader_);
      if (symbol < 0 || symbol > 285 || reader_.Overran()) return false;
      if (symbol < kEndOfBlock) continue;
      if (symbol == kEndOfBlock) return true;
      reader_.Take(kLengthExtra[symbol - 257]);
      const int distance = distances_.Decode(reader_);
      if (distance < 0 || distance > 29) return false;
      reader_.Take(kDistanceExtra[distance]);
    }
  }

  BitReader reader_;
  Decoder literals_;
  Decoder distances_;
  Decoder lengths_code_;
};

}  // namespace

bool FindFinalBlock(const unsigned char* data, size_t size, FinalBlock* found) {
  if (data == nullptr || found == nullptr) return false;
  Walker walker(data, size);
  return walker.Run(found);
}

}  // namespace zel::zip
