// A download's pieces read ahead on their own thread: the right bytes in order, never more than
// two pieces held at once however slowly they are sent, and nothing read past a failed piece.

#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "piece_reader.h"

namespace zelhost {
namespace {

char ByteAt(uint64_t offset) { return static_cast<char>((offset * 2654435761u) >> 24); }

// What "GetFile" would answer: `size` bytes of the pattern from `offset`.
std::unique_ptr<FileBytes> PatternPiece(uint64_t offset, size_t size) {
  zel::ScopedVariant answer;
  SAFEARRAY* array = ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
  if (array == nullptr) return nullptr;
  V_VT(answer.Get()) = VT_ARRAY | VT_UI1;
  V_ARRAY(answer.Get()) = array;
  {
    const zel::SafeArrayDataLock lock(array);
    char* data = static_cast<char*>(lock.Data());
    for (size_t i = 0; i < size; ++i) data[i] = ByteAt(offset + i);
  }
  return std::make_unique<FileBytes>(std::move(answer));
}

TEST(PieceReaderTest, PiecesComeInOrderAtMostTwoHeldAndNothingIsReadPastAFailedOne) {
  struct Case {
    uint64_t first, length;
    size_t piece;
    uint64_t failing;  // the offset whose read fails; ~0: none
  };
  const Case cases[] = {
      {0, 10, 4, ~0ull}, {3, 10, 4, ~0ull}, {0, 8, 4, ~0ull}, {7, 1, 4, ~0ull}, {0, 17, 4, 8}, {2, 9, 3, 5},
  };
  for (const Case& c : cases) {
    const std::string label = std::to_string(c.first) + "+" + std::to_string(c.length) + "/" + std::to_string(c.piece);
    std::atomic<int> fetched{0}, released{0}, most_held{0};
    std::atomic<uint64_t> last_read{0};
    {
      PieceReader reader(
          [&](uint64_t offset, size_t size) -> std::unique_ptr<FileBytes> {
            const int held = ++fetched - released;
            most_held = std::max(most_held.load(), held);
            last_read = std::max(last_read.load(), offset);
            return offset == c.failing ? nullptr : PatternPiece(offset, size);
          },
          c.first, c.length, c.piece);
      for (uint64_t offset = c.first; offset < c.first + c.length; offset += c.piece) {
        const size_t size = static_cast<size_t>(std::min<uint64_t>(c.piece, c.first + c.length - offset));
        std::unique_ptr<FileBytes> piece = reader.Take(offset, size);
        if (offset == c.failing) {
          EXPECT_TRUE(piece == nullptr) << label;
          break;
        }
        ASSERT_TRUE(piece != nullptr) << label << " at " << offset;
        ASSERT_EQ(piece->Size(), size) << label;
        for (size_t i = 0; i < size; ++i) ASSERT_EQ(piece->Data()[i], ByteAt(offset + i)) << label << " at " << offset;
        ::Sleep(5);  // a slow send: a reader that ran ahead unbounded would fetch on meanwhile
        piece.reset();
        ++released;
      }
      // A piece out of order is still answered, read on this thread.
      const std::unique_ptr<FileBytes> again = reader.Take(c.first, 1);
      ASSERT_TRUE(again != nullptr) << label;
      EXPECT_EQ(again->Data()[0], ByteAt(c.first)) << label;
    }
    EXPECT_LE(most_held.load(), 2) << label;
    if (c.failing != ~0ull) {
      EXPECT_EQ(last_read.load(), c.failing) << label;  // the out-of-order read is earlier
    }
  }
}

}  // namespace
}  // namespace zelhost
