#include "json_variant.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string_view>

#include "base64.h"
#include "common/safearray_lock.h"
#include "common/text.h"

namespace zelhost {
namespace {

using zel::ScopedVariant;

[[noreturn]] void Fail(const std::string& message) { throw JsonError(message); }

BSTR NewBstr(const Json& json) {
  const std::wstring text = FromUtf8(json.get<std::string>());
  BSTR bstr = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (bstr == nullptr) Fail("out of memory");
  return bstr;
}

int64_t IntegerOf(const Json& json, const char* tag) {
  if (json.is_number_integer()) {
    if (json.is_number_unsigned() && json.get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max())) {
      Fail(std::string("value of \"") + tag + "\" is out of range");
    }
    return json.get<int64_t>();
  }
  Fail(std::string("value of \"") + tag + "\" must be an integer");
}

void CheckRange(int64_t value, int64_t low, int64_t high, const char* tag) {
  if (value < low || value > high) Fail(std::string("value of \"") + tag + "\" is out of range");
}

double NumberOf(const Json& json, const char* tag) {
  if (!json.is_number()) Fail(std::string("value of \"") + tag + "\" must be a number");
  return json.get<double>();
}

VARTYPE ElementTypeOf(const std::string& of) {
  if (of == "variant") return VT_VARIANT;
  if (of == "bstr") return VT_BSTR;
  if (of == "i4") return VT_I4;
  if (of == "ui1") return VT_UI1;
  Fail("unknown array element type \"" + of + "\"");
}

void MakeArray(const Json& items, VARTYPE type, LONG lower_bound, VARIANT* out, VariantArena* arena) {
  if (!items.is_array()) Fail("\"array\" must be a JSON array");
  SAFEARRAYBOUND bound{static_cast<ULONG>(items.size()), lower_bound};
  SAFEARRAY* sa = ::SafeArrayCreate(type, 1, &bound);
  if (sa == nullptr) Fail("could not create an array");
  V_VT(out) = VT_ARRAY | type;
  V_ARRAY(out) = sa;  // owned by `out` from here on, also if an element fails below
  for (size_t i = 0; i < items.size(); ++i) {
    LONG index = lower_bound + static_cast<LONG>(i);
    const Json& item = items[i];
    HRESULT hr = S_OK;
    if (type == VT_VARIANT) {
      ScopedVariant element;
      JsonToVariant(item, element.Get(), arena);
      // Moved in, not copied: the platform's copy turns a null BSTR into an empty one.
      void* slot = nullptr;
      hr = ::SafeArrayPtrOfIndex(sa, &index, &slot);
      if (SUCCEEDED(hr)) *static_cast<VARIANT*>(slot) = element.Release();
    } else if (type == VT_BSTR) {
      if (item.is_object() && item.size() == 1 && item.contains("bstr") && item["bstr"].is_null()) {
        continue;  // a new BSTR array holds null strings; SafeArrayPutElement would store ""
      }
      if (!item.is_string()) Fail("elements of a bstr array must be strings or {\"bstr\": null}");
      BSTR text = NewBstr(item);
      hr = ::SafeArrayPutElement(sa, &index, text);  // copies
      ::SysFreeString(text);
    } else if (type == VT_I4) {
      const int64_t v = IntegerOf(item, "i4");
      CheckRange(v, INT32_MIN, INT32_MAX, "i4");
      LONG value = static_cast<LONG>(v);
      hr = ::SafeArrayPutElement(sa, &index, &value);
    } else {
      const int64_t v = IntegerOf(item, "ui1");
      CheckRange(v, 0, 255, "ui1");
      BYTE value = static_cast<BYTE>(v);
      hr = ::SafeArrayPutElement(sa, &index, &value);
    }
    if (FAILED(hr)) Fail("could not store an array element");
  }
}

void MakeTagged(const Json& object, VARIANT* out, VariantArena* arena) {
  if (object.contains("array")) {
    for (const auto& [key, value] : object.items()) {
      if (key != "array" && key != "of" && key != "lbound") Fail("unknown key \"" + key + "\" in an array object");
    }
    VARTYPE type = VT_VARIANT;
    if (object.contains("of")) {
      if (!object["of"].is_string()) Fail("\"of\" must be a string");
      type = ElementTypeOf(object["of"].get<std::string>());
    }
    int64_t lower = object.contains("lbound") ? IntegerOf(object["lbound"], "lbound") : 0;
    CheckRange(lower, INT32_MIN, INT32_MAX, "lbound");
    MakeArray(object["array"], type, static_cast<LONG>(lower), out, arena);
    return;
  }
  if (object.size() != 1) Fail("a typed value needs exactly one type tag: " + object.dump());
  const std::string tag = object.begin().key();
  const Json& value = object.begin().value();
  if (tag == "i4") {
    const int64_t v = IntegerOf(value, "i4");
    CheckRange(v, INT32_MIN, INT32_MAX, "i4");
    V_VT(out) = VT_I4;
    V_I4(out) = static_cast<LONG>(v);
  } else if (tag == "ui4") {
    const int64_t v = IntegerOf(value, "ui4");
    CheckRange(v, 0, UINT32_MAX, "ui4");
    V_VT(out) = VT_UI4;
    V_UI4(out) = static_cast<ULONG>(v);
  } else if (tag == "i8") {
    V_VT(out) = VT_I8;
    V_I8(out) = IntegerOf(value, "i8");
  } else if (tag == "ui8") {
    if (!value.is_number_integer() || (!value.is_number_unsigned() && value.get<int64_t>() < 0)) {
      Fail("value of \"ui8\" must be a non-negative integer");
    }
    V_VT(out) = VT_UI8;
    V_UI8(out) = value.get<uint64_t>();
  } else if (tag == "r8") {
    V_VT(out) = VT_R8;
    V_R8(out) = NumberOf(value, "r8");
  } else if (tag == "date") {
    V_VT(out) = VT_DATE;
    V_DATE(out) = NumberOf(value, "date");
  } else if (tag == "bstr") {
    if (!value.is_null() && !value.is_string()) Fail("value of \"bstr\" must be a string or null");
    V_VT(out) = VT_BSTR;
    V_BSTR(out) = value.is_null() ? nullptr : NewBstr(value);
  } else if (tag == "bytes") {
    if (!value.is_string()) Fail("value of \"bytes\" must be base64 text");
    const auto bytes = Base64Decode(value.get<std::string>());
    if (!bytes) Fail("value of \"bytes\" is not valid base64");
    SAFEARRAY* sa = ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes->size()));
    if (sa == nullptr) Fail("could not create a byte array");
    if (!bytes->empty()) {
      zel::SafeArrayDataLock lock(sa);
      if (lock.Ok()) memcpy(lock.Data(), bytes->data(), bytes->size());
    }
    V_VT(out) = VT_ARRAY | VT_UI1;
    V_ARRAY(out) = sa;
  } else if (tag == "byref") {
    if (arena == nullptr) Fail("{\"byref\": ...} is not allowed here");
    VARIANT* target = arena->NewTarget();
    JsonToVariant(value, target, arena);
    V_VT(out) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(out) = target;
  } else {
    Fail("unknown type tag \"" + tag + "\"");
  }
}

// A zero-based byte array goes to base64 straight from its data: a JSON item per byte first would
// take some thirty times the array's size. The count is the array's own (up to 4 GiB - 1 bytes),
// never a 32-bit signed bound.
Json BytesToJson(const unsigned char* data, ULONG count) {
  try {
    Json object = Json::object();
    object["bytes"] = Base64Encode(std::string_view(reinterpret_cast<const char*>(data), count));
    return object;
  } catch (const std::bad_alloc&) {
    throw std::runtime_error("the output's byte array of " + std::to_string(count) +
                             " bytes is too large for this host to write as JSON");
  }
}

Json ArrayToJson(const VARIANT& value) {
  const VARTYPE type = V_VT(&value) & ~VT_ARRAY;
  SAFEARRAY* sa = V_ARRAY(&value);
  const Json unreadable{{"vt", V_VT(&value)}};
  if (sa == nullptr || ::SafeArrayGetDim(sa) != 1) return unreadable;
  const UINT size = type == VT_VARIANT ? sizeof(VARIANT)
                    : type == VT_BSTR  ? sizeof(BSTR)
                    : type == VT_I4    ? sizeof(LONG)
                    : type == VT_UI1   ? 1
                                       : 0;
  if (size == 0 || ::SafeArrayGetElemsize(sa) != size) return unreadable;
  const LONG lower = sa->rgsabound[0].lLbound;
  const ULONG count = sa->rgsabound[0].cElements;
  zel::SafeArrayDataLock lock(sa);
  if (count > 0 && !lock.Ok()) return unreadable;
  if (type == VT_UI1 && lower == 0) return BytesToJson(static_cast<const unsigned char*>(lock.Data()), count);

  Json items = Json::array();
  for (ULONG k = 0; k < count; ++k) {
    if (type == VT_VARIANT) {
      // Read in place, for the same reason as above: a copy would hide a null BSTR.
      items.push_back(VariantToJson(static_cast<const VARIANT*>(lock.Data())[k]));
    } else if (type == VT_BSTR) {
      const BSTR text = static_cast<const BSTR*>(lock.Data())[k];
      items.push_back(text == nullptr ? Json{{"bstr", nullptr}}
                                      : Json(ToUtf8(std::wstring(text, ::SysStringLen(text)))));
    } else if (type == VT_I4) {
      items.push_back(static_cast<const LONG*>(lock.Data())[k]);
    } else {
      items.push_back(static_cast<const BYTE*>(lock.Data())[k]);
    }
  }
  if (type == VT_VARIANT && lower == 0) return items;
  static const char* const kNames[] = {"variant", "bstr", "i4", "ui1"};
  const char* of = type == VT_VARIANT ? kNames[0] : type == VT_BSTR ? kNames[1] : type == VT_I4 ? kNames[2] : kNames[3];
  Json object{{"array", std::move(items)}, {"of", of}};
  if (lower != 0) object["lbound"] = lower;
  return object;
}

}  // namespace

VARIANT* VariantArena::NewTarget() {
  targets_.push_back(std::make_unique<zel::ScopedVariant>());
  return targets_.back()->Get();
}

void JsonToVariant(const Json& json, VARIANT* out, VariantArena* arena) {
  ::VariantInit(out);
  switch (json.type()) {
    case Json::value_t::null:
      return;
    case Json::value_t::string:
      V_VT(out) = VT_BSTR;
      V_BSTR(out) = NewBstr(json);
      return;
    case Json::value_t::boolean:
      V_VT(out) = VT_BOOL;
      V_BOOL(out) = json.get<bool>() ? VARIANT_TRUE : VARIANT_FALSE;
      return;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: {
      const int64_t v = IntegerOf(json, "integer");
      if (v >= INT32_MIN && v <= INT32_MAX) {
        V_VT(out) = VT_I4;
        V_I4(out) = static_cast<LONG>(v);
      } else {
        V_VT(out) = VT_I8;
        V_I8(out) = v;
      }
      return;
    }
    case Json::value_t::number_float:
      V_VT(out) = VT_R8;
      V_R8(out) = json.get<double>();
      return;
    case Json::value_t::array: {
      ScopedVariant array;
      MakeArray(json, VT_VARIANT, 0, array.Get(), arena);
      *out = array.Release();
      return;
    }
    case Json::value_t::object: {
      ScopedVariant value;
      MakeTagged(json, value.Get(), arena);
      *out = value.Release();
      return;
    }
    default:
      Fail("unsupported JSON value");
  }
}

Json VariantToJson(const VARIANT& value) {
  const VARTYPE vt = V_VT(&value);
  if ((vt & VT_BYREF) != 0) {
    ScopedVariant target;
    if (V_BYREF(&value) == nullptr || FAILED(::VariantCopyInd(target.Get(), const_cast<VARIANT*>(&value)))) return Json{{"vt", vt}};
    return Json{{"byref", VariantToJson(*target)}};
  }
  if ((vt & VT_ARRAY) != 0) return ArrayToJson(value);
  switch (vt) {
    case VT_EMPTY:
      return nullptr;
    case VT_BSTR:
      if (V_BSTR(&value) == nullptr) return Json{{"bstr", nullptr}};
      return ToUtf8(std::wstring(V_BSTR(&value), ::SysStringLen(V_BSTR(&value))));
    case VT_I4:
      return V_I4(&value);
    case VT_BOOL:
      return V_BOOL(&value) != VARIANT_FALSE;
    case VT_UI4:
      return Json{{"ui4", V_UI4(&value)}};
    case VT_I8:
      return Json{{"i8", V_I8(&value)}};
    case VT_UI8:
      return Json{{"ui8", V_UI8(&value)}};
    case VT_R8:
      return Json{{"r8", V_R8(&value)}};
    case VT_DATE:
      return Json{{"date", V_DATE(&value)}};
    default:
      return Json{{"vt", vt}};
  }
}

namespace {

// How deep the text's arrays and objects nest, told without parsing it; the parser's own callback
// would tell too, but made a 100,000-item array of objects take 60 times as long.
int NestingOf(const std::string& text) {
  int depth = 0;
  int deepest = 0;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '\\') ++i;
      else if (c == '"') quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

}  // namespace

Json ParseJson(const std::string& text) {
  if (NestingOf(text) > kDeepestJson) {
    throw JsonError("the JSON nests deeper than " + std::to_string(kDeepestJson) + " levels");
  }
  try {
    return Json::parse(text);
  } catch (const nlohmann::json::parse_error& error) {
    throw JsonError(std::string("malformed JSON: ") + error.what());
  }
}

namespace {

// About the length of the JSON's one-line text (exact for text that needs no escapes), so that the
// text is made in one buffer of its size: grown by doubling, a large base64 string would cost up
// to twice its size again on the way.
size_t TextLength(const Json& json) {
  switch (json.type()) {
    case Json::value_t::string:
      return json.get_ref<const std::string&>().size() + 2;
    case Json::value_t::array: {
      size_t length = 2;
      for (const Json& item : json) length += TextLength(item) + 1;
      return length;
    }
    case Json::value_t::object: {
      size_t length = 2;
      for (const auto& [key, value] : json.items()) length += key.size() + 4 + TextLength(value);
      return length;
    }
    default:
      return 24;
  }
}

}  // namespace

std::string DumpJson(const Json& json) {
  std::string text;
  text.reserve(TextLength(json));
  // What json.dump() does, into a buffer made to measure.
  nlohmann::detail::serializer<Json> writer(nlohmann::detail::output_adapter<char>(text), ' ',
                                            Json::error_handler_t::replace);
  writer.dump(json, false, false, 0);
  return text;
}

std::string ToUtf8(const std::wstring& text) { return zel::WideToUtf8(text); }
std::wstring FromUtf8(const std::string& text) { return zel::Utf8ToWide(text); }

}  // namespace zelhost
