#pragma once

#include <windows.h>

namespace zel {

// The one lock of the module and its host: a re-entrant critical section. Lock() returns a guard
// that leaves on scope exit; lock()/unlock() make it a standard BasicLockable, so std::lock_guard
// and std::condition_variable_any work with it too. The thread that holds it may enter it again.
// Its destructor enters and leaves once, so that a thread still inside finishes before the section
// is deleted.
class TkSection {
 public:
  class Guard {
   public:
    explicit Guard(TkSection& section) noexcept : section_(&section) { section_->Enter(); }
    ~Guard() {
      if (section_ != nullptr) section_->Leave();
    }
    Guard(Guard&& other) noexcept : section_(other.section_) { other.section_ = nullptr; }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Guard& operator=(Guard&&) = delete;

   private:
    TkSection* section_;
  };

  TkSection() noexcept { ::InitializeCriticalSection(&cs_); }
  // A section that a thread finding it held spins on for `spin_count` rounds before it waits. For
  // short sections that a thousand threads may want at once: under Wine a wait queues on a spin
  // lock in user space, and a crowd of waiters there on two cores stalls every thread for seconds.
  explicit TkSection(DWORD spin_count) noexcept { ::InitializeCriticalSectionAndSpinCount(&cs_, spin_count); }
  virtual ~TkSection() {
    ::EnterCriticalSection(&cs_);
    ::LeaveCriticalSection(&cs_);
    ::DeleteCriticalSection(&cs_);
  }
  TkSection(const TkSection&) = delete;
  TkSection& operator=(const TkSection&) = delete;

  void Enter() noexcept { ::EnterCriticalSection(&cs_); }
  void Leave() noexcept { ::LeaveCriticalSection(&cs_); }
  [[nodiscard]] Guard Lock() noexcept { return Guard(*this); }

  void lock() noexcept { Enter(); }
  void unlock() noexcept { Leave(); }

 private:
  CRITICAL_SECTION cs_;
};

}  // namespace zel
