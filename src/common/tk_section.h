#pragma once

#include <windows.h>

namespace zel {

// A re-entrant lock owning one critical section. Callers may Enter/Leave it directly; Lock()
// returns a guard that leaves on scope exit. The thread that holds it may enter it again, which
// the prefix-table save relies on.
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
  virtual ~TkSection() { ::DeleteCriticalSection(&cs_); }
  TkSection(const TkSection&) = delete;
  TkSection& operator=(const TkSection&) = delete;

  void Enter() noexcept { ::EnterCriticalSection(&cs_); }
  void Leave() noexcept { ::LeaveCriticalSection(&cs_); }
  [[nodiscard]] Guard Lock() noexcept { return Guard(*this); }

 private:
  CRITICAL_SECTION cs_;
};

}  // namespace zel
