#pragma once

#include <cstdint>

namespace zel::zip {

// How hard the compressor searches at each level, in the manner of zlib's configuration table.
// good: once the previous match is at least this long, search only a quarter of the chain;
// lazy: lazy parsing looks for a better match only while the current one is shorter than this
//       (greedy parsing: matches up to this length have all their positions hashed);
// nice: stop searching once a match this long is found;
// chain: the most hash-chain candidates examined per position.
struct DeflateLevel {
  enum class Parsing { kGreedy, kLazy };
  uint16_t good;
  uint16_t lazy;
  uint16_t nice;
  uint16_t chain;
  Parsing parsing;
  uint16_t zip_flags;  // general purpose bits 1 and 2 of a deflated zip entry at this level
};

constexpr int kDeflateMinLevel = 1;
constexpr int kDeflateMaxLevel = 8;
// Every deflated zip entry is written at this level.
constexpr int kZipDeflateLevel = 8;

// Index: level - 1. Bit 1 of the flags marks the maximum levels, bit 2 the fastest ones.
inline constexpr DeflateLevel kDeflateLevels[kDeflateMaxLevel] = {
    {4, 4, 8, 4, DeflateLevel::Parsing::kGreedy, 0x0004},
    {4, 5, 16, 8, DeflateLevel::Parsing::kGreedy, 0x0004},
    {4, 6, 32, 32, DeflateLevel::Parsing::kGreedy, 0x0000},
    {4, 4, 16, 16, DeflateLevel::Parsing::kLazy, 0x0000},
    {8, 16, 32, 32, DeflateLevel::Parsing::kLazy, 0x0000},
    {8, 16, 128, 128, DeflateLevel::Parsing::kLazy, 0x0000},
    {8, 32, 128, 256, DeflateLevel::Parsing::kLazy, 0x0000},
    {32, 128, 258, 1024, DeflateLevel::Parsing::kLazy, 0x0002},
};

}  // namespace zel::zip
