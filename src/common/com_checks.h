#pragma once

#include <windows.h>
#include <comdef.h>

// One-line checks at COM and Win32 boundaries, in the manner of WIL's RETURN_IF_FAILED and
// THROW_IF_FAILED: a failure leaves the function at once, in the form its caller expects.

// Returns the HRESULT from the enclosing function when it is a failure.
#define ZEL_RETURN_IF_FAILED(expression)        \
  do {                                          \
    const HRESULT zel_hr_ = (expression);       \
    if (FAILED(zel_hr_)) return zel_hr_;        \
  } while (false)

namespace zel {

// Raises the failure as _com_error, the one form a failed broker or COM call takes on its way to
// the dispatcher.
inline void ThrowIfFailed(HRESULT hr) {
  if (FAILED(hr)) _com_issue_error(hr);
}

}  // namespace zel
