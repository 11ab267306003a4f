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

  // Leaves the section (entered once by this thread) while it waits on `condition`, for at most
  // `ms`, and enters it again before it returns. False when the time ran out.
  bool SleepOn(CONDITION_VARIABLE& condition, DWORD ms) noexcept {
    return ::SleepConditionVariableCS(&condition, &cs_, ms) != FALSE;
  }

 private:
  CRITICAL_SECTION cs_;
};

}  // namespace zel
