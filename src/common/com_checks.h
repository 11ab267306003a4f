#pragma once

#include <windows.h>
#include <comdef.h>

// One-line checks at COM and Win32 boundaries, in the manner of WIL's RETURN_IF_FAILED and
// THROW_IF_FAILED: a failure writes a DEBUG line naming the failing expression and where it stands,
// then leaves the function at once, in the form its caller expects. (DEBUG, not WARN: the caller
// that decides what the failure means writes the line a reader of the log needs.)

namespace zel {

// The DEBUG line of a failed check.
void LogFailedCheck(const char* expression, const char* file, int line, HRESULT hr);

}  // namespace zel

// Returns the HRESULT from the enclosing function when it is a failure.
#define ZEL_RETURN_IF_FAILED(expression)                                  \
  do {                                                                    \
    const HRESULT zel_hr_ = (expression);                                 \
    if (FAILED(zel_hr_)) {                                                \
      ::zel::LogFailedCheck(#expression, __FILE__, __LINE__, zel_hr_);    \
      return zel_hr_;                                                     \
    }                                                                     \
  } while (false)

// Returns the last error as an HRESULT when a Win32 call answers FALSE.
#define ZEL_RETURN_IF_WIN32_BOOL_FALSE(expression)                        \
  do {                                                                    \
    if (!(expression)) {                                                  \
      const HRESULT zel_hr_ = HRESULT_FROM_WIN32(::GetLastError());       \
      ::zel::LogFailedCheck(#expression, __FILE__, __LINE__, zel_hr_);    \
      return zel_hr_;                                                     \
    }                                                                     \
  } while (false)

// Raises the failure as _com_error, the one form a failed broker or COM call takes on its way to
// the dispatcher.
#define ZEL_THROW_IF_FAILED(expression)                                   \
  do {                                                                    \
    const HRESULT zel_hr_ = (expression);                                 \
    if (FAILED(zel_hr_)) {                                                \
      ::zel::LogFailedCheck(#expression, __FILE__, __LINE__, zel_hr_);    \
      _com_issue_error(zel_hr_);                                          \
    }                                                                     \
  } while (false)
