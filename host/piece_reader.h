#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <thread>

#include "common/tk_section.h"
#include "module_client.h"

namespace zelhost {

// Reads a finished file's bytes [first, first + length) in pieces of `piece` bytes, in order, on
// a thread of its own, while the caller sends the pieces it took: reading a piece and sending one
// take about as long, and one thread for both would add them up.
//
// The thread reads on without waiting to be asked, so that it never idles between two pieces
// while a waiting sender wakes up; but it starts piece k only once piece k - 1 has been asked for,
// by which time the caller has let go of piece k - 2. A download therefore holds at most two
// pieces at any time: the one being sent (or waiting to be), and the one being read.
//
// Like the gateway's own threads, the reader calls the broker without joining an apartment of
// its own: the session's thread holds the multithreaded apartment for the session's life, which
// makes every other thread of the process an implicit member of it.
class PieceReader {
 public:
  // What "GetFile" answers for at most `size` bytes at `offset`; null when the call failed.
  using Fetch = std::function<std::unique_ptr<FileBytes>(uint64_t offset, size_t size)>;

  PieceReader(Fetch fetch, uint64_t first, uint64_t length, size_t piece);
  ~PieceReader();  // waits for a piece still being read
  PieceReader(const PieceReader&) = delete;
  PieceReader& operator=(const PieceReader&) = delete;

  // The piece at `offset` of `size` bytes; the caller must have let go of every piece it took
  // before. Null when "GetFile" failed; fewer bytes than `size` when the file ends early, after
  // which nothing more is read ahead. Pieces are meant to be taken in order: one that is not the
  // next is read here, on the caller's thread.
  std::unique_ptr<FileBytes> Take(uint64_t offset, size_t size);

 private:
  struct Piece {
    uint64_t index;
    std::unique_ptr<FileBytes> bytes;
  };

  void Run();
  uint64_t OffsetOf(uint64_t index) const noexcept { return first_ + index * piece_; }
  size_t SizeOf(uint64_t index) const noexcept;

  const Fetch fetch_;
  const uint64_t first_;
  const uint64_t end_;
  const size_t piece_;
  const uint64_t count_;  // pieces in all

  zel::TkSection lock_;
  std::condition_variable_any changed_;
  bool stopping_ = false;      // guarded by lock_
  uint64_t asked_ = 0;         // pieces asked for so far (the next one the thread may read is asked_); guarded by lock_
  bool ended_ = false;         // the thread reads nothing more; guarded by lock_
  std::deque<Piece> ready_;    // read and not yet taken, in order (at most two); guarded by lock_
  std::thread thread_;
};

}  // namespace zelhost
