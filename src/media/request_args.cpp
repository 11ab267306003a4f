#include "media/request_args.h"

#include <new>

#include "common/vutil.h"

namespace zel::media {

bool StringArg::Missing() const noexcept {
  return value.Type() == VT_EMPTY || (value.Type() == VT_BSTR && V_BSTR(value.Get()) == nullptr);
}

std::wstring StringArg::Text() const { return VUtil::StringOf(*value); }

StringArg ReadStringArg(const VARIANT& input, LONG index) {
  StringArg arg;
  VUtil::GetElement(input, index, arg.value.Get());
  VUtil::StringOf(*arg.value);  // raises "Element is not a string" for anything but VT_BSTR/VT_EMPTY
  // Some platforms' VariantCopy makes an empty string of a null one, so whether the element is a
  // null string is read from the array itself.
  void* slot = nullptr;
  if (arg.value.Type() == VT_BSTR && SUCCEEDED(::SafeArrayPtrOfIndex(V_ARRAY(&input), &index, &slot)) &&
      V_VT(static_cast<VARIANT*>(slot)) == VT_BSTR && V_BSTR(static_cast<VARIANT*>(slot)) == nullptr) {
    arg.value.Reset();
    V_VT(arg.value.Get()) = VT_BSTR;
    V_BSTR(arg.value.Get()) = nullptr;
  }
  return arg;
}

ScopedVariant VariantArray(std::initializer_list<const VARIANT*> items) {
  ScopedVariant array;
  VUtil::CreateArray(array.Get(), VT_VARIANT, static_cast<LONG>(items.size()));
  LONG index = 0;
  for (const VARIANT* item : items) VUtil::PutElement(*array, index++, *item);
  return array;
}

}  // namespace zel::media
