#include "zip/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace zel::zip {
namespace {

std::vector<unsigned char> RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<unsigned char> bytes(size);
  for (unsigned char& b : bytes) b = static_cast<unsigned char>(random());
  return bytes;
}

TEST(Crc32Test, MatchesZlibForEveryLengthAlignmentAndStartingValue) {
  const std::vector<unsigned char> data = RandomBytes(70000, 1);
  std::mt19937 random(2);
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t size = 0; offset + size <= data.size(); size += size < 600 ? 1 : 977) {
      const uint32_t start = size % 3 == 0 ? 0 : static_cast<uint32_t>(random());
      const uint32_t expected = static_cast<uint32_t>(crc32(start, data.data() + offset, static_cast<uInt>(size)));
      ASSERT_EQ(Crc32(start, data.data() + offset, size), expected) << "offset " << offset << " size " << size;
      ASSERT_EQ(Crc32Sliced(start, data.data() + offset, size), expected) << "offset " << offset << " size " << size;
    }
  }
}

TEST(Crc32Test, PiecesChainLikeOneCall) {
  const std::vector<unsigned char> data = RandomBytes(1 << 20, 3);
  const uint32_t whole = Crc32(0, data.data(), data.size());
  EXPECT_EQ(whole, static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size()))));
  std::mt19937 random(4);
  uint32_t chained = 0;
  for (size_t at = 0; at < data.size();) {
    const size_t piece = std::min<size_t>(data.size() - at, random() % 40000);
    chained = Crc32(chained, data.data() + at, piece);
    at += piece;
  }
  EXPECT_EQ(chained, whole);
}

TEST(Crc32Test, KnownValues) {
  EXPECT_EQ(Crc32(0, "123456789", 9), 0xCBF43926u);  // the check value of this CRC
  EXPECT_EQ(Crc32(0, "", 0), 0u);
  EXPECT_EQ(Crc32(0x12345678u, nullptr, 10), 0x12345678u);
  const std::vector<unsigned char> zeros(4096, 0);
  EXPECT_EQ(Crc32(0, zeros.data(), zeros.size()), static_cast<uint32_t>(crc32(0, zeros.data(), 4096)));
  std::printf("carry-less form in use: %s\n", Crc32UsesCarryless() ? "yes" : "no");
}

}  // namespace
}  // namespace zel::zip
