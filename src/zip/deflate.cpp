// A raw deflate compressor (RFC 1951), written for the zip writer.
//
// Deflate in brief. The stream is a sequence of blocks. Each block holds literals (bytes) and
// matches (length 3 to 258, distance 1 to 32768: "copy `length` bytes from `distance` bytes
// back"), coded with two Huffman codes: one for literals, the end-of-block marker and match
// lengths, one for distances. A block is stored (raw bytes, at most 65535 per block), uses the
// fixed codes of the format, or carries its own "dynamic" codes in a header, itself compressed
// with a third code. The compressor's work is to find good matches (parsing) and to choose the
// cheapest coding for each block.
//
// Parsing. Like zlib, this compressor finds matches with hash chains (deflate_matchfinder.h):
// every position is hashed and linked to the previous position with the same hash; a search walks
// that chain backwards through the last 32 KiB and keeps the longest match. (The chains hash four
// bytes and a side table keeps the nearest three-byte candidate, which finds the same matches as
// zlib's three-byte chains while visiting far fewer candidates.) The parameters come from a level table (deflate_levels.h); the zip writer always uses
// level 8: good 32, lazy 128, nice 258, chain 1024. Lazy parsing (zlib's deflate_slow): after
// finding a match at position p, search p + 1 as well before committing; if p + 1 has a longer
// match, emit p as a literal and carry on from p + 1, else emit the match at p. Matches already
// `lazy` bytes long are not second-guessed; once the pending match is `good` long, the search at
// p + 1 looks at a quarter of the chain; a match of `nice` bytes ends any search; and a match of
// exactly 3 bytes farther than 4096 back is dropped, since its codes cost about as much as three
// literals. The greedy levels 1 to 3 take every match at once. The parse follows zlib's rules
// decision for decision, so the output is as compact as zlib's at the same level (on real data it
// comes out a few hundredths of a percent smaller); the speed comes from the match finder, not from
// searching less.
//
// Window. Input is read in large pieces into a 128 KiB buffer that keeps the last 32 KiB before
// the current position; when the buffer runs out, its tail slides to the front (by a whole number
// of windows) and every chain position moves down with it (zlib slides its 64 KiB buffer the same
// way).
//
// Blocks (deflate_block_writer.h). Literals and matches are gathered with their frequencies until
// 16383 symbols (zlib's block size), then the block is costed three ways: stored, fixed codes, and
// dynamic codes built from the frequencies (length-limited Huffman codes, deflate_huffman.h), and
// written in the shortest form. The stored form needs the block's bytes, which a block that spans
// more than the buffer keeps has lost; such a block compresses well by construction (under 16383
// symbols for over 64 KiB). Whatever the choice, a block costs no more than its fixed-code form,
// which spends at most 9 bits on a literal byte and at most 25 on a 3-byte match: that bounds the
// output at 9/8 of the input plus the block headers (DeflateBound), and the zip writer uses the
// bound to refuse entries that might not fit under the 4 GiB limit of the format.
//
// References: RFC 1951 (the format); zlib's deflate.c and trees.c (the parsing rules and the
// block size); Moffat and Katajainen 1995 (code lengths); libdeflate (word-at-a-time matching).

#include "zip/deflate.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "zip/deflate_block_writer.h"
#include "zip/deflate_matchfinder.h"

namespace zel::zip {
namespace {

using deflate_alphabet::kMaxMatch;
using deflate_alphabet::kMinMatch;

constexpr uint32_t kBufferSize = 1u << 17;
// A search needs kMaxMatch bytes of lookahead plus the next hash's bytes before it may run without
// a refill (zlib's MIN_LOOKAHEAD).
constexpr uint32_t kMinLookahead = kMaxMatch + kMinMatch + 1;
// Slide once less than this is free at the end of the buffer.
constexpr uint32_t kMinFree = 16384;
// How far past the last input byte the match finder may read.
constexpr size_t kReadPastEnd = kMaxMatch + HashChainMatchFinder::kReadAhead;
// zlib's TOO_FAR: a 3-byte match this far back is not worth its codes.
constexpr uint32_t kTooFar = 4096;

}  // namespace

uint64_t DeflateBound(uint64_t input_size) { return input_size + input_size / 8 + input_size / 1024 + 64; }

uint64_t DeflateInputLimit(uint64_t output_room) {
  // DeflateBound(x) <= x * 1153 / 1024 + 64.
  return output_room > 64 ? (output_room - 64) / 1153 * 1024 : 0;
}

struct DeflateCompressor::State {
  // Input with the bytes the match finder may read past its end.
  unsigned char window[kBufferSize + kMaxMatch + HashChainMatchFinder::kReadAhead];
  HashChainMatchFinder matches;
  DeflateBlockWriter blocks;

  DeflateInput* input = nullptr;
  DeflateBitWriter* out = nullptr;
  uint32_t strstart = 0;     // the position being parsed
  uint32_t lookahead = 0;    // bytes read but not yet parsed, from strstart
  // First input byte of the open block; negative once the window has slid past it, and then the
  // block can no longer be stored.
  int64_t block_start = 0;
  bool end_of_input = false;
  bool block_fault = false;

  // Lazy parsing: the match found at strstart - 1 waits to be compared with strstart's.
  bool match_available = false;
  unsigned match_length = kMinMatch - 1;
  uint32_t match_start = 0;

  void Start(DeflateInput& source, DeflateBitWriter& sink) {
    matches.Reset();
    input = &source;
    out = &sink;
    strstart = 0;
    lookahead = 0;
    block_start = 0;
    end_of_input = false;
    block_fault = false;
    match_available = false;
    match_length = kMinMatch - 1;
    match_start = 0;
  }

  bool Stopped() const { return out->failed || block_fault; }

  // Closes the open block at `end` (the first byte not yet in it).
  void WriteBlock(uint32_t end, bool final) {
    const bool bytes_kept = block_start >= 0;
    const size_t raw_size = static_cast<size_t>(end - block_start);
    if (!blocks.WriteBlock(*out, bytes_kept ? window + block_start : nullptr, raw_size, final)) block_fault = true;
    block_start = end;
  }

  // Tops the buffer up; called when the lookahead is short.
  void Fill() {
    uint32_t end = strstart + lookahead;
    if (kBufferSize - end < kMinFree) {
      Slide();
      end = strstart + lookahead;
    }
    while (end < kBufferSize && !end_of_input) {
      const size_t got = input->Read(window + end, kBufferSize - end);
      if (got == 0) {
        end_of_input = true;
      } else {
        end += static_cast<uint32_t>(std::min<size_t>(got, kBufferSize - end));
      }
    }
    lookahead = end - strstart;
    // The match finder reads a little past the input; give it defined bytes there.
    std::memset(window + end, 0, kReadPastEnd);
  }

  void Slide() {
    // A whole number of windows, so that every position keeps its chain slot (position % 32768).
    const uint32_t delta = (strstart - HashChainMatchFinder::kWindowSize) & ~HashChainMatchFinder::kWindowMask;
    const uint32_t end = strstart + lookahead;
    std::memmove(window, window + delta, end - delta);
    strstart -= delta;
    block_start -= delta;
    match_start = match_start > delta ? match_start - delta : 0;
    matches.Rebase(delta);
  }

  bool HasCandidate(const HashChainMatchFinder::Candidates& head) const {
    const uint32_t limit = HashChainMatchFinder::Limit(strstart);
    return head.nearest3 > limit || head.chain4 > limit;
  }

  // Searches at strstart for a match longer than `best`.
  unsigned Search(HashChainMatchFinder::Candidates head, unsigned best, unsigned chain, const DeflateLevel& level) {
    const unsigned max_length = std::min<unsigned>(kMaxMatch, lookahead);
    const unsigned found = matches.LongestMatch(window, strstart, head, best, max_length, level.nice, chain, &match_start);
    return std::min<unsigned>(found, lookahead);
  }

  // Tops the window up when the lookahead runs short, then hashes strstart. False at the end of
  // the input, or when the output has failed.
  bool NextPosition(HashChainMatchFinder::Candidates* head) {
    if (lookahead < kMinLookahead && !end_of_input) {
      Fill();
      if (Stopped()) return false;
    }
    if (lookahead == 0) return false;
    *head = lookahead >= kMinMatch ? matches.Insert(window, strstart) : HashChainMatchFinder::Candidates{0, 0};
    return true;
  }

  void ParseLazy(const DeflateLevel& level) {
    HashChainMatchFinder::Candidates head;
    while (NextPosition(&head)) {
      const unsigned prev_length = match_length;
      const uint32_t prev_match = match_start;
      match_length = kMinMatch - 1;
      if (prev_length < level.lazy && HasCandidate(head)) {
        const unsigned chain = prev_length >= level.good ? level.chain >> 2 : level.chain;
        match_length = Search(head, prev_length, chain, level);
        if (match_length == kMinMatch && strstart - match_start > kTooFar) match_length = kMinMatch - 1;
      }

      if (prev_length >= kMinMatch && match_length <= prev_length) {
        // The match at strstart - 1 wins: emit it and hash the positions it covers.
        const uint32_t max_insert = strstart + lookahead - kMinMatch;
        const bool full = blocks.TallyMatch(prev_length, strstart - 1 - prev_match);
        lookahead -= prev_length - 1;
        for (unsigned left = prev_length - 2; left > 0; --left) {
          if (++strstart <= max_insert) matches.Insert(window, strstart);
        }
        match_available = false;
        match_length = kMinMatch - 1;
        ++strstart;
        if (full) WriteBlock(strstart, false);
      } else if (match_available) {
        // strstart - 1 had no better match than strstart: it goes out as a literal.
        if (blocks.TallyLiteral(window[strstart - 1])) WriteBlock(strstart, false);
        ++strstart;
        --lookahead;
      } else {
        match_available = true;
        ++strstart;
        --lookahead;
      }
      if (Stopped()) return;
    }
    if (Stopped()) return;
    if (match_available) blocks.TallyLiteral(window[strstart - 1]);
    match_available = false;
    WriteBlock(strstart, true);
  }

  void ParseGreedy(const DeflateLevel& level) {
    HashChainMatchFinder::Candidates head;
    while (NextPosition(&head)) {
      match_length = kMinMatch - 1;
      if (HasCandidate(head)) {
        match_length = Search(head, kMinMatch - 1, level.chain, level);
      }
      bool full;
      if (match_length >= kMinMatch) {
        full = blocks.TallyMatch(match_length, strstart - match_start);
        lookahead -= match_length;
        if (match_length <= level.lazy && lookahead >= kMinMatch) {
          // Short matches: hash every position they cover.
          for (unsigned left = match_length - 1; left > 0; --left) matches.Insert(window, ++strstart);
          ++strstart;
        } else {
          strstart += match_length;
        }
      } else {
        full = blocks.TallyLiteral(window[strstart]);
        --lookahead;
        ++strstart;
      }
      if (full) WriteBlock(strstart, false);
      if (Stopped()) return;
    }
    if (Stopped()) return;
    WriteBlock(strstart, true);
  }
};

DeflateCompressor::DeflateCompressor(const DeflateLevel& level) : level_(level) {}
DeflateCompressor::~DeflateCompressor() = default;

std::unique_ptr<DeflateCompressor> DeflateCompressor::Create(int level) {
  if (level < kDeflateMinLevel || level > kDeflateMaxLevel) return nullptr;
  std::unique_ptr<DeflateCompressor> compressor(new (std::nothrow) DeflateCompressor(kDeflateLevels[level - 1]));
  if (compressor == nullptr) return nullptr;
  compressor->state_.reset(new (std::nothrow) State);
  if (compressor->state_ == nullptr) return nullptr;
  return compressor;
}

DeflateResult DeflateCompressor::Compress(DeflateInput& input, unsigned char* buffer, size_t capacity,
                                          DeflateOutput& output, uint64_t* compressed_size) {
  DeflateBitWriter out(buffer, capacity, output);
  State& state = *state_;
  state.Start(input, out);
  if (level_.parsing == DeflateLevel::Parsing::kLazy) {
    state.ParseLazy(level_);
  } else {
    state.ParseGreedy(level_);
  }
  if (!state.Stopped()) {
    out.AlignToByte();
    out.Drain();
  }
  *compressed_size = out.delivered;
  if (state.block_fault) return DeflateResult::kInternalError;
  return out.failed ? DeflateResult::kOutputFailed : DeflateResult::kOk;
}

}  // namespace zel::zip
