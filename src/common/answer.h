#pragma once

#include <windows.h>
#include <oleauto.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/safearray_lock.h"
#include "common/scoped_variant.h"

// The one vocabulary in which services build their answers: typed values, and zero-based arrays
// filled by moving values in. Moving, not copying, matters twice: large answers are arrays of
// arrays, which a copy at each level would copy once per level, and the platform's copy turns a
// null string into an empty one, which clients tell apart.
namespace zel::answer {

inline ScopedVariant Long(LONG value) noexcept {
  ScopedVariant v;
  V_VT(v.Get()) = VT_I4;
  V_I4(v.Get()) = value;
  return v;
}

inline ScopedVariant LongLong(long long value) noexcept {
  ScopedVariant v;
  V_VT(v.Get()) = VT_I8;
  V_I8(v.Get()) = value;
  return v;
}

inline ScopedVariant UnsignedLong(ULONG value) noexcept {
  ScopedVariant v;
  V_VT(v.Get()) = VT_UI4;
  V_UI4(v.Get()) = value;
  return v;
}

inline ScopedVariant Date(DATE value) noexcept {
  ScopedVariant v;
  V_VT(v.Get()) = VT_DATE;
  V_DATE(v.Get()) = value;
  return v;
}

// A VT_BSTR copy of `text`, embedded NULs kept. Throws std::bad_alloc.
inline ScopedVariant String(std::wstring_view text) { return StringVariant(text); }

// VT_BSTR holding a null BSTR: "no text", as opposed to an empty one.
inline ScopedVariant NullString() noexcept {
  ScopedVariant v;
  v.SetNullString();
  return v;
}

// The text, or a null string when there is none.
inline ScopedVariant OptionalString(const std::optional<std::wstring>& text) {
  return text ? String(*text) : NullString();
}

// A zero-based array of `count` elements of `element_type` (VT_VARIANT, VT_BSTR, VT_I4, ...), all
// empty. Throws WideError when it cannot be made.
ScopedVariant EmptyArray(VARTYPE element_type, LONG count);

// A VARIANT array being filled. Each Set moves its value into the slot; Finish hands the array out.
// An index outside the array raises WideError "SafeArrayPutElement failed", as VUtil does.
class ArrayBuilder {
 public:
  explicit ArrayBuilder(LONG count);
  ArrayBuilder(const ArrayBuilder&) = delete;
  ArrayBuilder& operator=(const ArrayBuilder&) = delete;

  ArrayBuilder& Set(LONG index, ScopedVariant value);
  LONG Size() const noexcept { return count_; }
  [[nodiscard]] ScopedVariant Finish() noexcept;

 private:
  ScopedVariant array_;
  LONG count_;
};

// [values...] as a VARIANT array, each value moved in.
template <class... Values>
ScopedVariant List(Values&&... values) {
  ArrayBuilder array(static_cast<LONG>(sizeof...(values)));
  LONG index = 0;
  (array.Set(index++, std::forward<Values>(values)), ...);
  return array.Finish();
}

// The texts as a string array (VT_ARRAY | VT_BSTR).
ScopedVariant StringArray(const std::vector<std::wstring>& texts);

}  // namespace zel::answer
