#include "browse/browse_text.h"

#include <windows.h>

#include <new>

#include "common/wide_error.h"

namespace zel {

std::wstring LowerCase(std::wstring text) {
  if (!text.empty()) ::CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

std::vector<std::wstring> SplitString(const std::wstring& text, wchar_t separator) {
  std::vector<std::wstring> pieces;
  if (text.empty()) return pieces;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    if (end == std::wstring::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

void MoveElement(VARIANT& array, LONG index, ScopedVariant& value) {
  SAFEARRAY* sa = V_VT(&array) == (VT_ARRAY | VT_VARIANT) ? V_ARRAY(&array) : nullptr;
  VARIANT* slot = nullptr;
  if (sa == nullptr || ::SafeArrayGetDim(sa) != 1 || FAILED(::SafeArrayLock(sa))) {
    throw WideError(L"SafeArrayPutElement failed");
  }
  const HRESULT hr = ::SafeArrayPtrOfIndex(sa, &index, reinterpret_cast<void**>(&slot));
  if (SUCCEEDED(hr)) value.ReleaseInto(*slot);
  ::SafeArrayUnlock(sa);
  if (FAILED(hr)) throw WideError(L"SafeArrayPutElement failed");
}

}  // namespace zel
