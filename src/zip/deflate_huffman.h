#pragma once

#include <cstdint>

namespace zel::zip {

// Huffman codes for deflate blocks (RFC 1951 section 3.2.2).

// Computes code lengths of at most `max_length` bits for `count` symbols (count <= 320) from
// their frequencies; symbols of frequency 0 get length 0. The code is always complete, and at
// least two symbols get a length even when fewer are used, as every inflater accepts.
void BuildCodeLengths(const uint32_t* frequencies, int count, int max_length, uint8_t* lengths);

// The canonical codes for `lengths`, bit-reversed so that they can be written least significant
// bit first.
void BuildCanonicalCodes(const uint8_t* lengths, int count, uint16_t* codes);

}  // namespace zel::zip
