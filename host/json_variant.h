#pragma once

#include <windows.h>
#include <oleauto.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/scoped_variant.h"

namespace zelhost {

using Json = nlohmann::json;

// Malformed JSON, an unknown type tag, or a value that does not fit its type.
class JsonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Owns what VT_BYREF VARIANTs made from JSON point at; must outlive those VARIANTs.
class VariantArena {
 public:
  VARIANT* NewTarget();

 private:
  std::vector<std::unique_ptr<zel::ScopedVariant>> targets_;
};

// JSON to VARIANT. null VT_EMPTY; string VT_BSTR; true/false VT_BOOL; an integer that fits 32 bits
// VT_I4, any other integer VT_I8; other numbers VT_R8; array a zero-based VT_ARRAY|VT_VARIANT.
// Objects give an exact type: {"i4"}, {"ui4"}, {"i8"}, {"ui8"}, {"r8"}, {"date"}, {"bstr": s or
// null}, {"bytes": base64}, {"array": [...], "of": "variant"|"bstr"|"i4"|"ui1", "lbound": n},
// {"byref": X}. `arena` may be null, and then {"byref"} is refused. Throws JsonError.
void JsonToVariant(const Json& json, VARIANT* out, VariantArena* arena);

// VARIANT to JSON, the inverse of the above: VT_EMPTY null, VT_BSTR a string (a null BSTR
// {"bstr": null}), VT_I4 a number, VT_BOOL true/false, a zero-based VT_ARRAY|VT_VARIANT an array,
// every other type its object form; a type without one gives {"vt": n}.
Json VariantToJson(const VARIANT& value);

// Parses text as JSON; throws JsonError with the parser's message, or for nesting deeper than
// kDeepestJson: a VARIANT made of it, and every copy and clearing of one, recurses once a level on
// the thread's stack, and 10,000 levels overflow it.
constexpr int kDeepestJson = 100;
Json ParseJson(const std::string& text);
// One line of JSON text (invalid UTF-8 from a broken string is replaced, never thrown).
std::string DumpJson(const Json& json);

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

}  // namespace zelhost
