#include "zip/deflate_huffman.h"

#include <algorithm>

namespace zel::zip {
namespace {

constexpr int kMaxSymbols = 320;
constexpr int kMaxCodeLength = 15;

// Optimal (unlimited) code lengths for frequencies sorted ascending, computed in place: the
// method of Moffat and Katajainen ("In-place calculation of minimum-redundancy codes", 1995).
// On return a[i] is the length of the i-th symbol. Needs n >= 2.
void MinimumRedundancyLengths(uint32_t* a, int n) {
  // Phase 1: combine the two smallest weights, leaves from the front, internal nodes behind them;
  // each internal node slot ends up holding its parent's index.
  int leaf = 0;
  int root = 0;
  for (int next = 0; next < n - 1; ++next) {
    if (leaf >= n || (root < next && a[root] < a[leaf])) {
      a[next] = a[root];
      a[root++] = static_cast<uint32_t>(next);
    } else {
      a[next] = a[leaf++];
    }
    if (leaf >= n || (root < next && a[root] < a[leaf])) {
      a[next] += a[root];
      a[root++] = static_cast<uint32_t>(next);
    } else {
      a[next] += a[leaf++];
    }
  }
  // Phase 2: depths of the internal nodes, from the root down.
  a[n - 2] = 0;
  for (int next = n - 3; next >= 0; --next) a[next] = a[a[next]] + 1;
  // Phase 3: leaves fill the free slots of each level, shallowest level to the most frequent.
  int available = 1;
  int used = 0;
  uint32_t depth = 0;
  int internal = n - 2;
  int slot = n - 1;
  while (available > 0) {
    while (internal >= 0 && a[internal] == depth) {
      ++used;
      --internal;
    }
    while (available > used) {
      a[slot--] = depth;
      --available;
    }
    available = 2 * used;
    ++depth;
    used = 0;
  }
}

}  // namespace

void BuildCodeLengths(const uint32_t* frequencies, int count, int max_length, uint8_t* lengths) {
  // Used symbols, ordered by frequency then symbol, packed into one sortable key.
  uint64_t order[kMaxSymbols];
  int used = 0;
  for (int symbol = 0; symbol < count; ++symbol) {
    lengths[symbol] = 0;
    if (frequencies[symbol] != 0) order[used++] = (static_cast<uint64_t>(frequencies[symbol]) << 16) | symbol;
  }
  if (used < 2) {
    // A lone symbol still needs a one-bit code, and a complete code needs a partner for it.
    const int first = used == 1 ? static_cast<int>(order[0] & 0xFFFF) : 0;
    lengths[first] = 1;
    lengths[first == 0 ? 1 : 0] = 1;
    return;
  }
  std::sort(order, order + used);

  uint32_t work[kMaxSymbols];
  for (int i = 0; i < used; ++i) work[i] = static_cast<uint32_t>(order[i] >> 16);
  MinimumRedundancyLengths(work, used);

  // Limit the lengths. Clamping the deepest leaves to max_length over-fills the Kraft sum; each
  // step below moves one leaf from the deepest level that has room one level down and one clamped
  // leaf up next to it, which lowers the sum by exactly one unit of 2^-max_length, so the code
  // ends complete.
  int per_length[kMaxSymbols + 1] = {};
  for (int i = 0; i < used; ++i) ++per_length[std::min<int>(static_cast<int>(work[i]), max_length)];
  uint32_t kraft = 0;  // in units of 2^-max_length
  for (int length = 1; length <= max_length; ++length) kraft += static_cast<uint32_t>(per_length[length]) << (max_length - length);
  const uint32_t full = 1u << max_length;
  while (kraft > full) {
    int length = max_length - 1;
    while (per_length[length] == 0) --length;
    --per_length[length];
    per_length[length + 1] += 2;
    --per_length[max_length];
    --kraft;
  }

  // Longest codes to the rarest symbols.
  int next = 0;
  for (int length = max_length; length >= 1; --length) {
    for (int k = 0; k < per_length[length]; ++k) lengths[order[next++] & 0xFFFF] = static_cast<uint8_t>(length);
  }
}

void BuildCanonicalCodes(const uint8_t* lengths, int count, uint16_t* codes) {
  uint16_t per_length[kMaxCodeLength + 1] = {};
  for (int symbol = 0; symbol < count; ++symbol) ++per_length[lengths[symbol]];
  per_length[0] = 0;
  uint16_t next_code[kMaxCodeLength + 2] = {};
  uint32_t code = 0;
  for (int length = 1; length <= kMaxCodeLength; ++length) {
    code = (code + per_length[length - 1]) << 1;
    next_code[length] = static_cast<uint16_t>(code);
  }
  for (int symbol = 0; symbol < count; ++symbol) {
    const int length = lengths[symbol];
    if (length == 0) {
      codes[symbol] = 0;
      continue;
    }
    uint32_t value = next_code[length]++;
    uint32_t reversed = 0;
    for (int bit = 0; bit < length; ++bit) {
      reversed = (reversed << 1) | (value & 1u);
      value >>= 1;
    }
    codes[symbol] = static_cast<uint16_t>(reversed);
  }
}

}  // namespace zel::zip
