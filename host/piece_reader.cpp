#include "piece_reader.h"

#include <algorithm>
#include <utility>

namespace zelhost {

PieceReader::PieceReader(Fetch fetch, uint64_t first, uint64_t length, size_t piece)
    : fetch_(std::move(fetch)),
      first_(first),
      end_(first + length),
      piece_(std::max<size_t>(piece, 1)),
      count_((length + piece_ - 1) / piece_) {
  thread_ = std::thread([this] { Run(); });
}

PieceReader::~PieceReader() {
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

size_t PieceReader::SizeOf(uint64_t index) const noexcept {
  return static_cast<size_t>(std::min<uint64_t>(piece_, end_ - OffsetOf(index)));
}

std::unique_ptr<FileBytes> PieceReader::Take(uint64_t offset, size_t size) {
  {
    std::unique_lock<zel::TkSection> lock(lock_);
    const uint64_t index = offset >= first_ ? (offset - first_) / piece_ : count_;
    if (index == asked_ && index < count_ && offset == OffsetOf(index) && size == SizeOf(index)) {
      ++asked_;
      changed_.notify_all();
      const auto arrived = [this, index] { return !ready_.empty() && ready_.front().index == index; };
      changed_.wait(lock, [this, &arrived] { return arrived() || ended_; });
      if (arrived()) {
        std::unique_ptr<FileBytes> bytes = std::move(ready_.front().bytes);
        ready_.pop_front();
        return bytes;
      }
    }
  }
  // Not the next piece, or the thread stopped short of it (a failed read, a file that ended early).
  return fetch_(offset, size);
}

void PieceReader::Run() {
  std::unique_lock<zel::TkSection> lock(lock_);
  for (uint64_t index = 0; index < count_; ++index) {
    changed_.wait(lock, [this, index] { return stopping_ || index <= asked_; });
    if (stopping_) break;
    lock.unlock();
    std::unique_ptr<FileBytes> bytes = fetch_(OffsetOf(index), SizeOf(index));
    lock.lock();
    const bool whole = bytes != nullptr && bytes->Size() == SizeOf(index);
    ready_.push_back({index, std::move(bytes)});
    changed_.notify_all();
    if (!whole) break;
  }
  ended_ = true;
  changed_.notify_all();
}

}  // namespace zelhost
