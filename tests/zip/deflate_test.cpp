// The compressor and the CRC-32 against zlib: every stream must inflate with zlib's raw inflate to
// the input, for generated data of every kind and sizes around the block and window boundaries.

#include "zip/deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "zip/crc32.h"
#include "zip/deflate_huffman.h"
#include "zip_test_support.h"

namespace zel::zip {
namespace {

using ziptest::Bytes;
using ziptest::Generate;
using ziptest::Kind;

class PieceInput final : public DeflateInput {
 public:
  PieceInput(const Bytes& data, size_t piece) : data_(data), piece_(piece) {}
  size_t Read(unsigned char* buffer, size_t capacity) override {
    const size_t count = std::min({capacity, piece_, data_.size() - at_});
    std::memcpy(buffer, data_.data() + at_, count);
    at_ += count;
    return count;
  }

 private:
  const Bytes& data_;
  size_t piece_;
  size_t at_ = 0;
};

// Takes bytes until `limit`, then refuses.
class CollectingOutput final : public DeflateOutput {
 public:
  explicit CollectingOutput(size_t limit = SIZE_MAX) : limit_(limit) {}
  bool Write(const unsigned char* data, size_t size) override {
    if (bytes.size() + size > limit_) return false;
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
  Bytes bytes;

 private:
  size_t limit_;
};

// With `compressor` given, it is used again, as the writer uses one compressor for every entry;
// `limit` makes the output refuse what would pass it.
Bytes Compress(const Bytes& input, int level = 8, size_t piece = 1 << 20, size_t buffer_size = 16384,
               DeflateCompressor* compressor = nullptr, size_t limit = SIZE_MAX) {
  std::unique_ptr<DeflateCompressor> own = compressor == nullptr ? DeflateCompressor::Create(level) : nullptr;
  PieceInput source(input, piece);
  CollectingOutput sink(limit);
  std::vector<unsigned char> buffer(buffer_size);
  uint64_t compressed = 0;
  const DeflateResult result = (own ? own.get() : compressor)->Compress(source, buffer.data(), buffer.size(), sink, &compressed);
  EXPECT_EQ(result, limit == SIZE_MAX ? DeflateResult::kOk : DeflateResult::kOutputFailed);
  EXPECT_EQ(compressed, sink.bytes.size());
  return sink.bytes;
}

// Whether `stream` inflates with zlib to exactly `input`.
bool InflatesTo(const Bytes& stream, const Bytes& input) {
  Bytes out;
  return ziptest::InflateRaw(stream.data(), stream.size(), input.size(), &out) && out == input;
}

TEST(DeflateTest, EveryKindAndBoundarySizeInflatesBack) {
  unsigned seed = 1;
  for (Kind kind : {Kind::kRandom, Kind::kText, Kind::kRuns, Kind::kMixed}) {
    for (size_t size : {0, 1, 2, 3, 4, 257, 258, 259, 16383, 16384, 16385, 32767, 32768, 32769, 65535, 65536, 65537,
                        98304, 131071, 131072, 131073, 262147, 1000003}) {
      const Bytes input = Generate(kind, size, ++seed);
      const Bytes stream = Compress(input);
      ASSERT_TRUE(InflatesTo(stream, input)) << "kind " << static_cast<int>(kind) << " size " << size;
      EXPECT_LE(stream.size(), DeflateBound(size)) << "kind " << static_cast<int>(kind) << " size " << size;
    }
  }
}

TEST(DeflateTest, EveryLevelReadPieceOutputBufferAndARefusingOutput) {
  const Bytes input = Generate(Kind::kMixed, 300000, 77);
  for (int level = kDeflateMinLevel; level <= kDeflateMaxLevel; ++level) {
    for (size_t piece : {size_t{1}, size_t{7}, size_t{16384}, size_t{1} << 20}) {
      if (piece == 1 && level != 8) continue;  // byte-by-byte input is slow; once is enough
      ASSERT_TRUE(InflatesTo(Compress(input, level, piece, piece == 7 ? 64 : 16384), input)) << level << " " << piece;
    }
  }
  EXPECT_TRUE(DeflateCompressor::Create(0) == nullptr && DeflateCompressor::Create(9) == nullptr) << "levels 1 to 8 only";
  // A refusing output stops the compression, and the compressor can be used again.
  auto compressor = DeflateCompressor::Create(8);
  Compress(Generate(Kind::kRandom, 200000, 9), 8, 1 << 20, 16384, compressor.get(), 50000);
  EXPECT_TRUE(InflatesTo(Compress(input, 8, 1 << 20, 16384, compressor.get()), input));
}

TEST(DeflateTest, OutputIsAsSmallAsZlibsAtTheSameLevelInTheShortestBlockForm) {
  // The parse follows zlib's decisions, so the sizes must agree closely (a broken match finder
  // still round-trips, but not at this size). compress2 adds 6 bytes of zlib framing.
  for (Kind kind : {Kind::kText, Kind::kRuns, Kind::kMixed}) {
    const Bytes input = Generate(kind, 700000, 100 + static_cast<unsigned>(kind));
    uLongf theirs = compressBound(static_cast<uLong>(input.size()));
    Bytes out(theirs);
    ASSERT_EQ(compress2(out.data(), &theirs, input.data(), static_cast<uLong>(input.size()), 8), Z_OK);
    EXPECT_LE(Compress(input).size(), theirs + theirs / 100 + 64) << "kind " << static_cast<int>(kind);
  }
  auto block_type = [](const Bytes& stream) { return (stream.at(0) >> 1) & 3; };
  const Bytes random = Generate(Kind::kRandom, 50000, 5);
  const Bytes stored = Compress(random);
  EXPECT_EQ(block_type(stored), 0);  // incompressible: stored, 5 bytes per piece
  EXPECT_LE(stored.size(), random.size() + 5 * 4);
  const std::string phrase = "abcabcabcabc hello hello";
  EXPECT_EQ(block_type(Compress(Bytes(phrase.begin(), phrase.end()))), 1);  // too short for a code table to pay off
  EXPECT_EQ(block_type(Compress(Generate(Kind::kText, 50000, 6))), 2);
  EXPECT_EQ(Compress(Bytes()), (Bytes{0x03, 0x00}));  // an empty final fixed block
}


TEST(DeflateHuffmanTest, LengthsAreLimitedAndTheCodeComplete) {
  // Fibonacci weights give the deepest optimal trees: 29 symbols would need 28 bits.
  uint32_t fibonacci[29] = {1, 1};
  for (int i = 2; i < 29; ++i) fibonacci[i] = fibonacci[i - 1] + fibonacci[i - 2];
  for (const int count : {29, 19}) {
    const int limit = count == 29 ? 15 : 7;  // literal and distance codes; the code-length code
    uint8_t lengths[29];
    BuildCodeLengths(fibonacci, count, limit, lengths);
    uint64_t kraft = 0;  // in units of 2^-15: a complete code sums to one
    for (int i = 0; i < count; ++i) kraft += lengths[i] != 0 ? (uint64_t{1} << (15 - lengths[i])) : 0;
    EXPECT_EQ(kraft, uint64_t{1} << 15) << count;
    EXPECT_LE(*std::max_element(lengths, lengths + count), limit);
    for (int i = 1; i < count; ++i) EXPECT_LE(lengths[i], lengths[i - 1]) << "a more frequent symbol got a longer code";
  }
}

TEST(Crc32Test, MatchesZlibForEveryLengthAlignmentStartingValueAndChaining) {
  EXPECT_EQ(Crc32(0, "123456789", 9), 0xCBF43926u);  // the check value of this CRC
  EXPECT_EQ(Crc32(0x12345678u, nullptr, 10), 0x12345678u);
  std::mt19937 random(1);
  std::vector<unsigned char> data(1 << 20);
  for (unsigned char& b : data) b = static_cast<unsigned char>(random());
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t size = 0; size <= 70000; size += size < 600 ? 1 : 977) {
      const uint32_t start = size % 3 == 0 ? 0 : static_cast<uint32_t>(random());
      const uint32_t expected = static_cast<uint32_t>(crc32(start, data.data() + offset, static_cast<uInt>(size)));
      ASSERT_EQ(Crc32(start, data.data() + offset, size), expected) << "offset " << offset << " size " << size;
      ASSERT_EQ(Crc32Sliced(start, data.data() + offset, size), expected) << "offset " << offset << " size " << size;
    }
  }
}

}  // namespace
}  // namespace zel::zip
