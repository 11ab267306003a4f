#pragma once

#include <windows.h>
#include <oleauto.h>

namespace zel {

// Holds the data lock of a SAFEARRAY (SafeArrayAccessData) for one scope. Check Ok() before
// touching Data(): a failed lock leaves no pointer.
class SafeArrayDataLock {
 public:
  explicit SafeArrayDataLock(SAFEARRAY* array) noexcept : array_(array) {
    if (array_ == nullptr || FAILED(::SafeArrayAccessData(array_, &data_))) {
      array_ = nullptr;
      data_ = nullptr;
    }
  }
  ~SafeArrayDataLock() {
    if (array_ != nullptr) ::SafeArrayUnaccessData(array_);
  }
  SafeArrayDataLock(const SafeArrayDataLock&) = delete;
  SafeArrayDataLock& operator=(const SafeArrayDataLock&) = delete;

  bool Ok() const noexcept { return data_ != nullptr; }
  void* Data() const noexcept { return data_; }

 private:
  SAFEARRAY* array_;
  void* data_ = nullptr;
};

}  // namespace zel
