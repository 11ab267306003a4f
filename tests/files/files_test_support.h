#pragma once

// Shared by the file transfer and host information tests: a service called directly with its answer
// in the host's notation, paths quoted for that notation, and sparse files.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/safearray_lock.h"
#include "common/scoped_variant.h"
#include "common/unique_handle.h"
#include "support/test_support.h"

namespace zel::files {

// The host's notation, except that a null string inside a variant array stays {"bstr": null}: the
// element copies that the notation makes would turn it into "" under Wine.
inline zeltest::Json Raw(const VARIANT& value) {
  if (V_VT(&value) != (VT_ARRAY | VT_VARIANT)) return zeltest::J(value);
  zeltest::Json items = zeltest::Json::array();
  SafeArrayDataLock lock(V_ARRAY(&value));
  const auto* elements = static_cast<const VARIANT*>(lock.Data());
  for (ULONG i = 0; lock.Ok() && i < V_ARRAY(&value)->rgsabound[0].cElements; ++i) {
    const bool null_string = V_VT(&elements[i]) == VT_BSTR && V_BSTR(&elements[i]) == nullptr;
    items.push_back(null_string ? zeltest::Json{{"bstr", nullptr}} : Raw(elements[i]));
  }
  return items;
}

// [return code, output] of the service run through its row: one comparison checks both.
inline zeltest::Json Serve(const std::wstring& service, const std::string& input,
                           const std::string& output_before = "null") {
  ScopedVariant in = zeltest::V(input);
  ScopedVariant out = zeltest::V(output_before);
  const LONG rc = zeltest::Dispatch(service, *in, *out);
  return zeltest::Json::array({rc, Raw(*out)});
}

inline std::string Quoted(const std::wstring& path) { return zelhost::DumpJson(zeltest::Narrow(path)); }

// A sparse file of `size` bytes (costs no disk space); answers its path.
inline std::wstring SparseFile(const std::wstring& path, LONGLONG size) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  LARGE_INTEGER end;
  end.QuadPart = size;
  EXPECT_TRUE(file && ::SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN) && ::SetEndOfFile(file.Get()));
  return path;
}

}  // namespace zel::files
