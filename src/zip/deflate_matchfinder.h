#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zel::zip {

// Hash chains over the sliding window. Positions are offsets into the compressor's window buffer;
// 0 means "none", so the buffer's first byte is never a match candidate (zlib has the same blind
// spot). When the buffer slides by a whole number of windows, Rebase moves every position down and
// drops those that fall out; each position keeps its chain slot (position % 32768).
//
// zlib chains every position by the hash of its next three bytes and walks that chain for every
// match, so on text the chains of common trigrams ("the", " of") are long and most candidates on
// them can only ever give 3-byte matches. Here, as in libdeflate's hash-chain finder, the chains
// hash four bytes, and a separate table remembers only the latest position of each three-byte hash:
//   - a 3-byte match is only worth taking at the nearest distance, and the latest position of the
//     trigram is exactly the one zlib's walk would meet first;
//   - every match of 4 bytes or more lies on the 4-byte chain, met in the same order (nearest
//     first), and the chain limit counts only candidates that could give one.
// The parse built on it makes the same decisions as zlib's with at least as long matches, and the
// walk visits far fewer candidates. Candidates are rejected by comparing the four bytes that end at
// the current best length in one load, and matches are extended a machine word at a time.
class HashChainMatchFinder {
 public:
  static constexpr unsigned kHashBits = 15;
  static constexpr uint32_t kHashSize = 1u << kHashBits;
  static constexpr uint32_t kWindowSize = 1u << 15;
  static constexpr uint32_t kWindowMask = kWindowSize - 1;
  // The farthest match: one less than the window, so that the chain link of a candidate is never
  // overwritten by the position being searched.
  static constexpr uint32_t kMaxDistance = kWindowSize - 1;
  // LongestMatch reads up to this many bytes past the end of the longest possible match.
  static constexpr size_t kReadAhead = sizeof(uintptr_t);

  // The candidates that Insert found for a position: the latest position with the same 3-byte
  // hash and the head of its 4-byte chain (0: none).
  struct Candidates {
    uint32_t nearest3;
    uint32_t chain4;
  };

  // Forgets every position. The chain links need no clearing: a link is only followed from a
  // position inserted since, whose link was written when it was inserted.
  void Reset() {
    std::memset(head3_, 0, sizeof(head3_));
    std::memset(head4_, 0, sizeof(head4_));
  }

  // Links position `pos` into the tables. Needs three readable bytes at window + pos; the fourth
  // may be stale when the input ends there, in which case no 4-byte match can start there either.
  Candidates Insert(const unsigned char* window, uint32_t pos) {
    const uint32_t bytes = Load32(window + pos);
    const uint32_t hash3 = ((bytes << 8) * 0x9E3779B1u) >> (32 - kHashBits);
    const uint32_t hash4 = (bytes * 0x9E3779B1u) >> (32 - kHashBits);
    const Candidates found{head3_[hash3], head4_[hash4]};
    head3_[hash3] = pos;
    head4_[hash4] = pos;
    prev_[pos & kWindowMask] = found.chain4;
    return found;
  }

  void Rebase(uint32_t delta) {
    for (uint32_t* table : {head3_, head4_, prev_}) {
      const size_t size = table == prev_ ? kWindowSize : kHashSize;
      for (size_t i = 0; i < size; ++i) table[i] = table[i] > delta ? table[i] - delta : 0;
    }
  }

  // The first position that `pos` may still refer to.
  static uint32_t Limit(uint32_t pos) { return pos > kMaxDistance ? pos - kMaxDistance : 0; }

  // Looks for a match at `pos` longer than `best`, at most `max_length` long (which must not
  // exceed the bytes available at pos): the nearest 3-byte candidate, then up to `chain` candidates
  // of the 4-byte chain, stopping at a match of `nice` bytes. Returns the longest length found, or
  // `best` if nothing longer was; *match is set only when something longer was.
  unsigned LongestMatch(const unsigned char* window, uint32_t pos, Candidates candidates, unsigned best,
                        unsigned max_length, unsigned nice, unsigned chain, uint32_t* match) const {
    const unsigned char* scan = window + pos;
    const uint32_t limit = Limit(pos);
    if (nice > max_length) nice = max_length;
    if (best >= max_length) return best;
    if (best < 3 && candidates.nearest3 > limit &&
        ((Load32(window + candidates.nearest3) ^ Load32(scan)) & 0x00FFFFFFu) == 0) {
      best = MatchLength(scan, window + candidates.nearest3, max_length);
      *match = candidates.nearest3;
      if (best >= nice) return best;
    }
    uint32_t candidate = candidates.chain4;
    if (candidate <= limit) return best;
    // The four bytes ending at index `best` must match for a candidate to be longer than `best`;
    // below a best of 3 the first three bytes are compared instead.
    unsigned end_offset = best >= 3 ? best - 3 : 0;
    uint32_t scan_end = Load32(scan + end_offset);
    const uint32_t scan_mask = best >= 3 ? 0xFFFFFFFFu : 0x00FFFFFFu;
    uint32_t mask = scan_mask;
    do {
      const unsigned char* candidate_bytes = window + candidate;
      if (((Load32(candidate_bytes + end_offset) ^ scan_end) & mask) != 0) continue;
      const unsigned length = MatchLength(scan, candidate_bytes, max_length);
      if (length > best) {
        best = length;
        *match = candidate;
        if (length >= nice) break;
        end_offset = best - 3;
        scan_end = Load32(scan + end_offset);
        mask = 0xFFFFFFFFu;
      }
    } while ((candidate = prev_[candidate & kWindowMask]) > limit && --chain != 0);
    return best;
  }

 private:
  static uint32_t Load32(const unsigned char* p) {
    uint32_t value;
    std::memcpy(&value, p, sizeof(value));
    return value;
  }

  // Equal leading bytes of `a` and `b`, at most `limit`; may read kReadAhead bytes past limit.
  static unsigned MatchLength(const unsigned char* a, const unsigned char* b, unsigned limit) {
    unsigned length = 0;
    for (;;) {
      uintptr_t x, y;
      std::memcpy(&x, a + length, sizeof(x));
      std::memcpy(&y, b + length, sizeof(y));
      const uintptr_t difference = x ^ y;
      if (difference != 0) {
        length += static_cast<unsigned>(CountTrailingZeros(difference)) / 8;
        break;
      }
      length += sizeof(uintptr_t);
      if (length >= limit) break;
    }
    return length < limit ? length : limit;
  }

  static int CountTrailingZeros(uintptr_t value) {
    if constexpr (sizeof(uintptr_t) == 8) {
      return __builtin_ctzll(value);
    } else {
      return __builtin_ctz(static_cast<unsigned>(value));
    }
  }

  uint32_t head3_[kHashSize];
  uint32_t head4_[kHashSize];
  uint32_t prev_[kWindowSize];
};

}  // namespace zel::zip
