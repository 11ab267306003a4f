#include "common/answer.h"

#include <new>

#include "common/vutil.h"
#include "common/wide_error.h"

namespace zel::answer {
namespace {

// The slot `index` of a one-dimensional array whose data lock the caller holds.
template <class Element>
Element& Slot(const SafeArrayDataLock& lock, LONG count, LONG index) {
  if (!lock.Ok() || index < 0 || index >= count) throw WideError(L"SafeArrayPutElement failed");
  return static_cast<Element*>(lock.Data())[index];
}

}  // namespace

ScopedVariant EmptyArray(VARTYPE element_type, LONG count) {
  ScopedVariant array;
  VUtil::CreateArray(array.Get(), element_type, count);
  return array;
}

ArrayBuilder::ArrayBuilder(LONG count) : array_(EmptyArray(VT_VARIANT, count)), count_(count) {}

ArrayBuilder& ArrayBuilder::Set(LONG index, ScopedVariant value) {
  SafeArrayDataLock lock(V_ARRAY(array_.Get()));
  value.ReleaseInto(Slot<VARIANT>(lock, count_, index));
  return *this;
}

ScopedVariant ArrayBuilder::Finish() noexcept { return std::move(array_); }

ScopedVariant StringArray(const std::vector<std::wstring>& texts) {
  const LONG count = static_cast<LONG>(texts.size());
  ScopedVariant array = EmptyArray(VT_BSTR, count);
  SafeArrayDataLock lock(V_ARRAY(array.Get()));
  for (LONG i = 0; i < count; ++i) {
    BSTR& slot = Slot<BSTR>(lock, count, i);
    slot = ::SysAllocStringLen(texts[i].data(), static_cast<UINT>(texts[i].size()));
    if (slot == nullptr) throw std::bad_alloc();
  }
  return array;
}

}  // namespace zel::answer
