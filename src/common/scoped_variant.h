#pragma once

#include <windows.h>
#include <oleauto.h>

#include <new>
#include <string_view>
#include <utility>

namespace zel {

// Owns one VARIANT and clears it when it goes out of scope. Containment rather than inheritance,
// so a ScopedVariant can never be passed where the callee might overwrite it without clearing.
class ScopedVariant {
 public:
  ScopedVariant() noexcept { ::VariantInit(&var_); }
  ~ScopedVariant() { ::VariantClear(&var_); }

  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;
  ScopedVariant(ScopedVariant&& other) noexcept : var_(other.var_) { ::VariantInit(&other.var_); }
  ScopedVariant& operator=(ScopedVariant&& other) noexcept {
    if (this != &other) {
      Reset();
      var_ = other.var_;
      ::VariantInit(&other.var_);
    }
    return *this;
  }

  // Clears the held value; the VARIANT is VT_EMPTY afterwards.
  void Reset() noexcept { ::VariantClear(&var_); }

  // Takes ownership of what `value` holds (not copied) and leaves `value` empty, so that the
  // hand-over cannot be cleared twice.
  void Adopt(VARIANT& value) noexcept {
    ::VariantClear(&var_);
    var_ = value;
    ::VariantInit(&value);
  }

  // Makes a deep copy of `value`. Returns the HRESULT of VariantCopy.
  HRESULT CopyFrom(const VARIANT& value) noexcept {
    ::VariantClear(&var_);
    return ::VariantCopy(&var_, const_cast<VARIANT*>(&value));
  }

  // Replaces the held value with a VT_BSTR copy of `text`; throws std::bad_alloc when no string
  // can be made (the held value is then VT_EMPTY).
  void SetString(std::wstring_view text) {
    ::VariantClear(&var_);
    const BSTR copy = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (copy == nullptr) throw std::bad_alloc();
    V_VT(&var_) = VT_BSTR;
    V_BSTR(&var_) = copy;
  }
  // Replaces the held value with VT_BSTR holding a null BSTR.
  void SetNullString() noexcept {
    ::VariantClear(&var_);
    V_VT(&var_) = VT_BSTR;
    V_BSTR(&var_) = nullptr;
  }
  void SetLong(LONG value) noexcept {
    ::VariantClear(&var_);
    V_VT(&var_) = VT_I4;
    V_I4(&var_) = value;
  }

  // Gives up ownership; the caller must clear the returned VARIANT.
  [[nodiscard]] VARIANT Release() noexcept {
    VARIANT out = var_;
    ::VariantInit(&var_);
    return out;
  }

  // For out-parameters: clears the held value and hands out the address to be filled.
  VARIANT* Receive() noexcept {
    ::VariantClear(&var_);
    return &var_;
  }

  // Hands the held value to `destination`, clearing what `destination` held before.
  void ReleaseInto(VARIANT& destination) noexcept {
    ::VariantClear(&destination);
    destination = var_;
    ::VariantInit(&var_);
  }

  void Swap(ScopedVariant& other) noexcept { std::swap(var_, other.var_); }

  VARIANT* Get() noexcept { return &var_; }
  const VARIANT* Get() const noexcept { return &var_; }
  VARIANT& operator*() noexcept { return var_; }
  const VARIANT& operator*() const noexcept { return var_; }
  VARTYPE Type() const noexcept { return V_VT(&var_); }

 private:
  VARIANT var_;
};

// A new VT_BSTR holding `text`, embedded NULs kept. Throws std::bad_alloc.
inline ScopedVariant StringVariant(std::wstring_view text) {
  ScopedVariant value;
  value.SetString(text);
  return value;
}

static_assert(sizeof(ScopedVariant) == sizeof(VARIANT), "ScopedVariant must stay a plain VARIANT");

}  // namespace zel
