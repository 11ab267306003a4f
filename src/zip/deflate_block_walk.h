#pragma once

#include <cstddef>
#include <cstdint>

namespace zel::zip {

// Where the final block of a raw deflate stream (RFC 1951) begins and ends, in bits from the
// start of `data` (bit 0 is the least significant bit of the first byte).
struct FinalBlock {
  uint64_t header_bit = 0;  // its BFINAL bit
  uint64_t end_bit = 0;     // just past its end-of-block code (or its stored bytes)
};

// Walks the blocks of the stream in `data` without producing their output, decoding the Huffman
// codes only as far as needed to find each block's end. False when the stream is malformed or
// ends before its final block does.
bool FindFinalBlock(const unsigned char* data, size_t size, FinalBlock* found);

}  // namespace zel::zip
