#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <string>

#include "common/wide_error.h"

namespace zel {

// Reading and building the one-dimensional, zero-based SAFEARRAYs through which every service
// receives its input and answers. Types are checked strictly; every failure raises WideError with
// a fixed message (CheckSingleRetcode formats its code in). A VARIANT carrying VT_BYREF is never
// accepted where an exact type is required.
namespace VUtil {

constexpr VARTYPE kVariantArray = VT_ARRAY | VT_VARIANT;  // 0x200C
constexpr VARTYPE kLongArray = VT_ARRAY | VT_I4;          // 0x2003
constexpr VARTYPE kStringArray = VT_ARRAY | VT_BSTR;      // 0x2008
constexpr VARTYPE kByteArray = VT_ARRAY | VT_UI1;         // 0x2011

// Element `index` of a VARIANT array (0x200C), copied into `out` after clearing it.
void GetElement(const VARIANT& array, LONG index, VARIANT* out);
// Element `index` of a long array (0x2003).
void GetElement(const VARIANT& array, LONG index, LONG* out);
// Element `index` of a string array (0x2008): frees the string in `out`, then stores a copy that
// the caller owns.
void GetElement(const VARIANT& array, LONG index, BSTR* out);

// Upper bound + 1 of dimension 1; the array must be zero-based.
LONG GetArrayLength(const VARIANT& array);

// From 0x2003 the element; from 0x200C the element, which must be VT_I4.
LONG GetLongElement(const VARIANT& array, LONG index);
// From 0x2008 the element; from 0x200C the element's string if VT_BSTR, "" if VT_EMPTY.
std::wstring GetStringElement(const VARIANT& array, LONG index);

// Makes `out` a new zero-based array of `count` elements of `element_type`. `out` is overwritten,
// not cleared: pass an empty VARIANT.
void CreateArray(VARIANT* out, VARTYPE element_type, LONG count);
void RedimArray(VARIANT& array, LONG count);

// Stores a copy of `*value` at `index`; `value` points at a VARIANT for 0x200C arrays, a BSTR's
// characters for 0x2008, a LONG for 0x2003.
void PutElement(VARIANT& array, LONG index, void* value);
void PutElement(VARIANT& array, LONG index, const VARIANT& value);

// Clears `out` and makes it a byte array (0x2011) holding a copy of `length` bytes.
void PutBinaryIntoVariant(VARIANT* out, const void* data, size_t length);

void CheckType(const VARIANT& value, VARTYPE type);
void CheckArrayType(const VARIANT& value, VARTYPE element_type, LONG count);
// Succeeds when `status` is an array whose element 0 is 0, or VT_I4 0.
void CheckSingleRetcode(const VARIANT& status);

// The string of a VARIANT that must be VT_BSTR (a null BSTR reads "") or VT_EMPTY (""); anything
// else raises "Element is not a string". The module never reads another type as a string.
std::wstring StringOf(const VARIANT& value);

}  // namespace VUtil
}  // namespace zel
