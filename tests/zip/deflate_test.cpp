// The compressor against zlib: every stream must inflate with zlib's raw inflate to the input,
// for generated data of every kind and sizes around the block and window boundaries.

#include "zip/deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "zip/deflate_huffman.h"

namespace zel::zip {
namespace {

using Bytes = std::vector<unsigned char>;

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

Bytes Compress(const Bytes& input, int level = 8, size_t piece = 1 << 20, size_t buffer_size = 16384) {
  auto compressor = DeflateCompressor::Create(level);
  EXPECT_NE(compressor, nullptr);
  PieceInput source(input, piece);
  CollectingOutput sink;
  std::vector<unsigned char> buffer(buffer_size);
  uint64_t compressed = 0;
  EXPECT_EQ(compressor->Compress(source, buffer.data(), buffer.size(), sink, &compressed), DeflateResult::kOk);
  EXPECT_EQ(compressed, sink.bytes.size());
  return sink.bytes;
}

// zlib's raw inflate; fails the test unless the stream ends exactly where the data does.
Bytes Inflate(const Bytes& stream, size_t expected_size) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  Bytes out(expected_size + 1);
  z.next_in = const_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int result = inflate(&z, Z_FINISH);
  EXPECT_EQ(result, Z_STREAM_END) << (z.msg != nullptr ? z.msg : "");
  EXPECT_EQ(z.avail_in, 0u) << "bytes after the final block";
  out.resize(z.total_out);
  inflateEnd(&z);
  return out;
}

Bytes Zlib(const Bytes& input, int level) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&z, static_cast<uLong>(input.size())));
  z.next_in = const_cast<Bytef*>(input.data());
  z.avail_in = static_cast<uInt>(input.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Generated inputs of the kinds a zip of media server data meets.
enum class Kind { kRandom, kText, kRuns, kRecords, kMixed };

Bytes Generate(Kind kind, size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Bytes data(size);
  static const char* kWords[] = {"media ", "server ", "the ", "of ", "album ", "track ", "\r\n", "playlist ",
                                 "2024-01-01 12:00:00 [INFO] ", "zip ", "a ", "and "};
  switch (kind) {
    case Kind::kRandom:
      for (auto& b : data) b = static_cast<unsigned char>(random());
      break;
    case Kind::kText: {
      size_t at = 0;
      while (at < size) {
        const char* word = kWords[random() % 12];
        for (; *word != '\0' && at < size; ++word) data[at++] = static_cast<unsigned char>(*word);
      }
      break;
    }
    case Kind::kRuns:
      for (size_t at = 0; at < size;) {
        const size_t run = std::min<size_t>(size - at, 1 + random() % (random() % 4 == 0 ? 5000 : 40));
        std::fill(data.begin() + at, data.begin() + at + run, static_cast<unsigned char>(random() % 3));
        at += run;
      }
      break;
    case Kind::kRecords:  // fixed-size binary records with counters and a little noise
      for (size_t at = 0; at < size; ++at) {
        const size_t field = at % 24;
        data[at] = static_cast<unsigned char>(field < 4 ? (at / 24) >> (8 * field) : field < 8 ? 0 : field * 7 + (random() % 16 == 0));
      }
      break;
    case Kind::kMixed: {
      for (size_t at = 0; at < size; at += 4096) {
        const Bytes part = Generate(static_cast<Kind>(random() % 4), std::min<size_t>(4096, size - at), seed + static_cast<unsigned>(at));
        std::copy(part.begin(), part.end(), data.begin() + at);
      }
      break;
    }
  }
  return data;
}

const size_t kSizes[] = {0,     1,     2,     3,     4,     257,   258,    259,    16383,  16384,  16385,
                         32767, 32768, 32769, 65535, 65536, 65537, 98304,  131071, 131072, 131073, 262147,
                         1000003};

TEST(DeflateTest, EveryKindAndBoundarySizeInflatesBack) {
  unsigned seed = 1;
  for (Kind kind : {Kind::kRandom, Kind::kText, Kind::kRuns, Kind::kRecords, Kind::kMixed}) {
    for (size_t size : kSizes) {
      const Bytes input = Generate(kind, size, ++seed);
      const Bytes stream = Compress(input);
      ASSERT_EQ(Inflate(stream, input.size()), input) << "kind " << static_cast<int>(kind) << " size " << size;
      EXPECT_LE(stream.size(), DeflateBound(size)) << "kind " << static_cast<int>(kind) << " size " << size;
    }
  }
}

TEST(DeflateTest, EveryLevelReadPieceAndOutputBufferWorks) {
  const Bytes input = Generate(Kind::kMixed, 300000, 77);
  for (int level = kDeflateMinLevel; level <= kDeflateMaxLevel; ++level) {
    for (size_t piece : {size_t{1}, size_t{7}, size_t{16384}, size_t{1} << 20}) {
      if (piece == 1 && level != 8) continue;  // byte-by-byte input is slow; once is enough
      const Bytes stream = Compress(input, level, piece, piece == 7 ? 64 : 16384);
      ASSERT_EQ(Inflate(stream, input.size()), input) << "level " << level << " piece " << piece;
    }
  }
  EXPECT_EQ(DeflateCompressor::Create(0), nullptr);
  EXPECT_EQ(DeflateCompressor::Create(9), nullptr);
}

TEST(DeflateTest, OutputIsAsSmallAsZlibsAtTheSameLevel) {
  // The parse follows zlib's decisions, so the sizes must agree closely (a broken match finder
  // still round-trips, but not at this size).
  unsigned seed = 100;
  for (Kind kind : {Kind::kText, Kind::kRuns, Kind::kRecords, Kind::kMixed}) {
    const Bytes input = Generate(kind, 700000, ++seed);
    const size_t ours = Compress(input).size();
    const size_t theirs = Zlib(input, 8).size();
    EXPECT_LE(ours, theirs + theirs / 100 + 64) << "kind " << static_cast<int>(kind);
  }
}

TEST(DeflateTest, ChoosesTheShortestBlockForm) {
  auto block_type = [](const Bytes& stream) { return (stream.at(0) >> 1) & 3; };
  const Bytes random = Generate(Kind::kRandom, 50000, 5);
  const Bytes stored = Compress(random);
  EXPECT_EQ(block_type(stored), 0);  // incompressible: stored, 5 bytes per piece
  EXPECT_LE(stored.size(), random.size() + 5 * 4);

  const std::string phrase = "abcabcabcabc hello hello";
  const Bytes fixed = Compress(Bytes(phrase.begin(), phrase.end()));
  EXPECT_EQ(block_type(fixed), 1);  // too short for a code table to pay off

  const Bytes text = Generate(Kind::kText, 50000, 6);
  EXPECT_EQ(block_type(Compress(text)), 2);

  EXPECT_EQ(Compress(Bytes()), (Bytes{0x03, 0x00}));  // an empty final fixed block
}

TEST(DeflateTest, ARefusingOutputStopsCompression) {
  const Bytes input = Generate(Kind::kRandom, 200000, 9);
  auto compressor = DeflateCompressor::Create(8);
  PieceInput source(input, 1 << 20);
  CollectingOutput sink(50000);
  unsigned char buffer[16384];
  uint64_t compressed = 0;
  EXPECT_EQ(compressor->Compress(source, buffer, sizeof(buffer), sink, &compressed), DeflateResult::kOutputFailed);
  EXPECT_EQ(compressed, sink.bytes.size());
  EXPECT_LE(compressed, 50000u);

  // The same object then compresses another stream from scratch.
  const Bytes text = Generate(Kind::kText, 100000, 10);
  PieceInput again(text, 1 << 20);
  CollectingOutput whole;
  EXPECT_EQ(compressor->Compress(again, buffer, sizeof(buffer), whole, &compressed), DeflateResult::kOk);
  EXPECT_EQ(Inflate(whole.bytes, text.size()), text);
}

TEST(DeflateHuffmanTest, LengthsAreLimitedAndTheCodeComplete) {
  auto kraft_sum_is_one = [](const uint8_t* lengths, int count) {
    uint64_t sum = 0;  // in units of 2^-15
    for (int i = 0; i < count; ++i) sum += lengths[i] != 0 ? (uint64_t{1} << (15 - lengths[i])) : 0;
    return sum == (uint64_t{1} << 15);
  };
  // Fibonacci weights give the deepest optimal trees: 29 symbols would need 28 bits.
  uint32_t fibonacci[29];
  fibonacci[0] = fibonacci[1] = 1;
  for (int i = 2; i < 29; ++i) fibonacci[i] = fibonacci[i - 1] + fibonacci[i - 2];
  uint8_t lengths[29];
  BuildCodeLengths(fibonacci, 29, 15, lengths);
  EXPECT_LE(*std::max_element(lengths, lengths + 29), 15);
  EXPECT_TRUE(kraft_sum_is_one(lengths, 29));
  for (int i = 1; i < 29; ++i) EXPECT_LE(lengths[i], lengths[i - 1]) << "a more frequent symbol got a longer code";

  uint32_t precode[19] = {};
  for (int i = 0; i < 19; ++i) precode[i] = fibonacci[i];
  uint8_t precode_lengths[19];
  BuildCodeLengths(precode, 19, 7, precode_lengths);
  EXPECT_LE(*std::max_element(precode_lengths, precode_lengths + 19), 7);

  uint32_t one[30] = {};
  one[7] = 5;
  uint8_t one_lengths[30];
  BuildCodeLengths(one, 30, 15, one_lengths);
  EXPECT_EQ(one_lengths[7], 1);
  EXPECT_EQ(one_lengths[0], 1);  // its partner, so that the code is complete
  EXPECT_EQ(std::count(one_lengths, one_lengths + 30, 0), 28);

  uint16_t codes[4];
  const uint8_t canonical[4] = {2, 1, 3, 3};  // codes 10, 0, 110, 111, written bit-reversed
  BuildCanonicalCodes(canonical, 4, codes);
  EXPECT_EQ(codes[0], 0b01);
  EXPECT_EQ(codes[1], 0b0);
  EXPECT_EQ(codes[2], 0b011);
  EXPECT_EQ(codes[3], 0b111);
}

}  // namespace
}  // namespace zel::zip
