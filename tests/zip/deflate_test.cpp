// The compressor and the CRC-32 against zlib: every stream must inflate with zlib's raw inflate to
// the input, for generated data of every kind and sizes around the pieces the compressor joins;
// the walk that finds a stream's final block is checked on zlib's streams and on damaged ones.

#include "zip/deflate.h"

#include <gtest/gtest.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "zip/crc32.h"
#include "zip/deflate_block_walk.h"
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

// `read_piece`: the most the input gives per read. `limit` makes the output refuse what would pass it.
Bytes Compress(DeflateCompressor& compressor, const Bytes& input, size_t read_piece = 1 << 20, size_t limit = SIZE_MAX) {
  PieceInput source(input, read_piece);
  CollectingOutput sink(limit);
  uint64_t compressed = 0;
  const DeflateResult result = compressor.Compress(source, sink, &compressed);
  EXPECT_EQ(result, limit == SIZE_MAX ? DeflateResult::kOk : DeflateResult::kOutputFailed);
  EXPECT_EQ(compressed, sink.bytes.size());
  return sink.bytes;
}

// Whether `stream` inflates with zlib to exactly `input`.
bool InflatesTo(const Bytes& stream, const Bytes& input) {
  Bytes out;
  return ziptest::InflateRaw(stream.data(), stream.size(), input.size(), &out) && out == input;
}

TEST(DeflateTest, EveryKindAndSizeAroundThePiecesInflatesBackWithinTheBound) {
  unsigned seed = 1;
  for (size_t piece : {size_t{4096}, size_t{65536}, kDeflatePieceBytes}) {
    auto compressor = DeflateCompressor::Create(piece);
    ASSERT_TRUE(compressor != nullptr);
    for (Kind kind : {Kind::kRandom, Kind::kText, Kind::kRuns, Kind::kMixed}) {
      for (size_t size : {size_t{0}, size_t{1}, size_t{2}, size_t{258}, piece - 1, piece, piece + 1, 2 * piece,
                          3 * piece + 7, size_t{1000003}}) {
        if (size > 1100000) continue;
        const Bytes input = Generate(kind, size, ++seed);
        const Bytes stream = Compress(*compressor, input, size % 3 == 0 ? 7777 : 1 << 20);
        ASSERT_TRUE(InflatesTo(stream, input)) << "piece " << piece << " kind " << static_cast<int>(kind) << " size " << size;
        EXPECT_LE(stream.size(), DeflateBound(size, piece)) << "piece " << piece << " size " << size;
      }
    }
  }
  EXPECT_EQ(Compress(*DeflateCompressor::Create(), Bytes()), (Bytes{0x03, 0x00})) << "an empty final fixed block";
  EXPECT_TRUE(DeflateCompressor::Create(0) == nullptr);
  for (uint64_t room : {uint64_t{0}, uint64_t{2}, uint64_t{100}, uint64_t{1} << 20, uint64_t{0xFFFFFFFE}}) {
    const uint64_t limit = DeflateInputLimit(room);
    if (room >= DeflateBound(0)) {
      EXPECT_LE(DeflateBound(limit), room) << room;
    }
    EXPECT_GT(DeflateBound(limit + 1), room) << room;
  }
}

TEST(DeflateTest, ARefusingOutputStopsItTheCompressorServesAgainAndPiecesCostLittle) {
  auto compressor = DeflateCompressor::Create(65536);
  const Bytes input = Generate(Kind::kMixed, 300000, 77);
  Compress(*compressor, Generate(Kind::kRandom, 200000, 9), 1 << 20, 50000);
  EXPECT_TRUE(InflatesTo(Compress(*compressor, input), input));
  // Pieces cost little: at most 1 % over libdeflate's stream of the whole input at the same level.
  auto pieces = DeflateCompressor::Create();
  libdeflate_compressor* library = libdeflate_alloc_compressor(kZipDeflateLevel);
  for (Kind kind : {Kind::kText, Kind::kRuns, Kind::kMixed}) {
    const Bytes data = Generate(kind, 3 * kDeflatePieceBytes + 12345, 100 + static_cast<unsigned>(kind));
    Bytes whole(libdeflate_deflate_compress_bound(library, data.size()));
    whole.resize(libdeflate_deflate_compress(library, data.data(), data.size(), whole.data(), whole.size()));
    const Bytes stream = Compress(*pieces, data);
    EXPECT_TRUE(InflatesTo(stream, data));
    EXPECT_LE(stream.size(), whole.size() + whole.size() / 100) << "kind " << static_cast<int>(kind);
  }
  // An input of one piece is libdeflate's stream as it is.
  const Bytes small = Generate(Kind::kText, 100000, 4);
  Bytes whole(libdeflate_deflate_compress_bound(library, small.size()));
  whole.resize(libdeflate_deflate_compress(library, small.data(), small.size(), whole.data(), whole.size()));
  EXPECT_EQ(Compress(*pieces, small), whole);
  libdeflate_free_compressor(library);
}

// zlib's streams with blocks of every type (stored at level 0, fixed for short inputs, dynamic),
// several blocks where it flushes: the final block is where zlib ended; cut or damaged streams
// are refused or walked without reading past their end.
TEST(DeflateBlockWalkTest, FindsTheFinalBlockOfZlibsStreamsAndRefusesDamagedOnes) {
  std::mt19937 random(3);
  for (int level : {0, 1, 6, 9}) {
    for (size_t size : {size_t{0}, size_t{5}, size_t{40000}, size_t{200000}}) {
      const Bytes input = Generate(Kind::kMixed, size, static_cast<unsigned>(level * 7 + size));
      z_stream stream{};
      ASSERT_EQ(deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
      Bytes out(compressBound(static_cast<uLong>(size)) + 64);
      stream.next_in = const_cast<Bytef*>(input.data());
      stream.next_out = out.data();
      stream.avail_out = static_cast<uInt>(out.size());
      stream.avail_in = static_cast<uInt>(size / 2);
      deflate(&stream, Z_FULL_FLUSH);  // ends a block at half way
      stream.avail_in = static_cast<uInt>(size - size / 2);
      ASSERT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
      out.resize(out.size() - stream.avail_out);
      deflateEnd(&stream);

      FinalBlock found;
      ASSERT_TRUE(FindFinalBlock(out.data(), out.size(), &found)) << level << " " << size;
      EXPECT_EQ((found.end_bit + 7) / 8, out.size()) << level << " " << size;
      EXPECT_EQ((out[found.header_bit / 8] >> (found.header_bit % 8)) & 1, 1) << "BFINAL set there";
      for (size_t cut : {size_t{0}, out.size() / 2, out.size() - 1}) {
        if (cut < out.size()) {
          EXPECT_FALSE(FindFinalBlock(out.data(), cut, &found)) << "cut at " << cut;
        }
      }
      for (int damage = 0; damage < 20 && !out.empty(); ++damage) {
        Bytes bad = out;
        bad[random() % bad.size()] ^= static_cast<unsigned char>(1u << (random() % 8));
        if (FindFinalBlock(bad.data(), bad.size(), &found)) {
          EXPECT_LE(found.end_bit, bad.size() * 8);
        }
      }
    }
  }
  Bytes noise(4096);
  for (int round = 0; round < 200; ++round) {
    for (unsigned char& b : noise) b = static_cast<unsigned char>(random());
    FinalBlock found;
    if (FindFinalBlock(noise.data(), noise.size(), &found)) {
      EXPECT_LE(found.end_bit, noise.size() * 8);
    }
  }
}

TEST(Crc32Test, MatchesZlibForEveryLengthAlignmentStartingValueAndChaining) {
  EXPECT_EQ(Crc32(0, "123456789", 9), 0xCBF43926u);  // the check value of this CRC
  EXPECT_EQ(Crc32(0x12345678u, nullptr, 0), 0x12345678u);
  std::mt19937 random(1);
  std::vector<unsigned char> data(1 << 20);
  for (unsigned char& b : data) b = static_cast<unsigned char>(random());
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t size = 0; size <= 70000; size += size < 600 ? 1 : 977) {
      const uint32_t start = size % 3 == 0 ? 0 : static_cast<uint32_t>(random());
      const uint32_t expected = static_cast<uint32_t>(crc32(start, data.data() + offset, static_cast<uInt>(size)));
      ASSERT_EQ(Crc32(start, data.data() + offset, size), expected) << "offset " << offset << " size " << size;
    }
  }
}

}  // namespace
}  // namespace zel::zip
