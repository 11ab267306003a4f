#pragma once

#include <windows.h>

#include "common/tk_section.h"

namespace zel {

// The lock half of `locker`: one re-entrant critical section. Its destructor enters and leaves the
// section once so that a thread still inside finishes before the section is deleted.
class _locker {
 public:
  _locker() noexcept { ::InitializeCriticalSection(&cs_); }
  virtual ~_locker() {
    ::EnterCriticalSection(&cs_);
    ::LeaveCriticalSection(&cs_);
    ::DeleteCriticalSection(&cs_);
  }
  _locker(const _locker&) = delete;
  _locker& operator=(const _locker&) = delete;

  void Enter() noexcept { ::EnterCriticalSection(&cs_); }
  void Leave() noexcept { ::LeaveCriticalSection(&cs_); }

  class Guard {
   public:
    explicit Guard(_locker& lock) noexcept : lock_(lock) { lock_.Enter(); }
    ~Guard() { lock_.Leave(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    _locker& lock_;
  };
  [[nodiscard]] Guard Lock() noexcept { return Guard(*this); }

 private:
  CRITICAL_SECTION cs_;
};

// A container paired with the lock that guards it. Holders take Lock() around every use of
// `container`.
template <class Container>
class locker : public _locker {
 public:
  Container container;
};

}  // namespace zel
