#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "common/vutil.h"
#include "support/test_support.h"

namespace zel {
namespace {

using namespace zeltest;

const std::wstring kNotZeroBased = L"Array is not zero indexed! (VUtil::GetArrayLength)";
const std::wstring kLengthOfNoArray = L"Variant passed to VUtil::GetArrayLength is not an array";
const std::wstring kNoElement = L"SafeArrayGetElement failed in VUtil::GetElement";

// The message a call raises; "" when it raises nothing.
std::wstring Raised(const std::function<void()>& call) {
  try {
    call();
  } catch (const WideError& error) {
    return error.Message();
  }
  return L"";
}

TEST(VUtilTest, GetArrayLengthChecksArrayAndLowerBound) {
  EXPECT_EQ(VUtil::GetArrayLength(*V(R"(["a", "b", "c"])")), 3);
  EXPECT_EQ(VUtil::GetArrayLength(*V(R"([])")), 0);
  EXPECT_EQ(VUtil::GetArrayLength(*V(R"({"array": ["a"], "of": "bstr"})")), 1);
  EXPECT_EQ(Raised([] { VUtil::GetArrayLength(*V(R"({"array": ["a", "b"], "lbound": 1})")); }), kNotZeroBased);
  EXPECT_EQ(Raised([] { VUtil::GetArrayLength(*V(R"({"array": [], "of": "i4", "lbound": -1})")); }), kNotZeroBased);
  EXPECT_EQ(Raised([] { VUtil::GetArrayLength(*V("5")); }), kLengthOfNoArray);

  // An array VARIANT carrying VT_BYREF points at a SAFEARRAY*, not at the array: never read.
  ScopedVariant array = V(R"(["a"])");
  SAFEARRAY* sa = V_ARRAY(array.Get());
  VARIANT by_ref;
  V_VT(&by_ref) = VT_BYREF | VT_ARRAY | VT_VARIANT;
  V_ARRAYREF(&by_ref) = &sa;
  EXPECT_EQ(Raised([&] { VUtil::GetArrayLength(by_ref); }), kLengthOfNoArray);

  VARIANT null_array;
  V_VT(&null_array) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(&null_array) = nullptr;
  EXPECT_EQ(Raised([&] { VUtil::GetArrayLength(null_array); }), L"SafeArrayGetLBound failed in VUtil::GetArrayLength");
}

TEST(VUtilTest, GetElementRequiresTheExactArrayTypeAndOneDimension) {
  ScopedVariant out;
  VUtil::GetElement(*V(R"(["a", 7])"), 1, out.Get());
  EXPECT_EQ(J(*out), Json(7));

  LONG number = 0;
  VUtil::GetElement(*V(R"({"array": [4, 5], "of": "i4"})"), 1, &number);
  EXPECT_EQ(number, 5);

  BSTR text = ::SysAllocString(L"replaced");
  VUtil::GetElement(*V(R"({"array": ["x", "y"], "of": "bstr"})"), 0, &text);
  EXPECT_STREQ(text, L"x");
  ::SysFreeString(text);

  EXPECT_EQ(Raised([&] { VUtil::GetElement(*V(R"({"array": ["x"], "of": "bstr"})"), 0, out.Get()); }),
            L"Variant passed to VUtil::GetElement is not a variant array");
  EXPECT_EQ(Raised([&] { VUtil::GetElement(*V(R"(["x"])"), 0, &number); }),
            L"Variant passed to VUtil::GetElement is not a long array");
  BSTR unused = nullptr;
  EXPECT_EQ(Raised([&] { VUtil::GetElement(*V(R"([1])"), 0, &unused); }),
            L"Variant passed to VUtil::GetElement is not a string array");
  EXPECT_EQ(Raised([&] { VUtil::GetElement(*V(R"(["a"])"), 1, out.Get()); }), kNoElement);
  EXPECT_EQ(Raised([&] { VUtil::GetElement(*V(R"(["a"])"), -1, out.Get()); }), kNoElement);

  // Mislabelled and multi-dimensional arrays are never read as variants: a VARIANT that claims
  // VARIANT elements but holds a byte array, and a matrix.
  ScopedVariant bytes = V(R"({"bytes": "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="})");
  V_VT(bytes.Get()) = VT_ARRAY | VT_VARIANT;
  EXPECT_EQ(Raised([&] { VUtil::GetElement(*bytes, 0, out.Get()); }), kNoElement);
  V_VT(bytes.Get()) = VUtil::kByteArray;

  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
  ScopedVariant matrix;
  V_VT(matrix.Get()) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(matrix.Get()) = ::SafeArrayCreate(VT_VARIANT, 2, bounds);
  EXPECT_EQ(Raised([&] { VUtil::GetElement(*matrix, 0, out.Get()); }), kNoElement);
  EXPECT_EQ(Raised([&] { VUtil::PutElement(*matrix, 0, *V("1")); }), L"SafeArrayPutElement failed");
}

TEST(VUtilTest, TypedReaders) {
  EXPECT_EQ(VUtil::GetLongElement(*V(R"(["a", 42])"), 1), 42);
  EXPECT_EQ(VUtil::GetLongElement(*V(R"({"array": [9], "of": "i4"})"), 0), 9);
  EXPECT_EQ(Raised([] { VUtil::GetLongElement(*V(R"(["a"])"), 0); }), L"Element is not a long");
  EXPECT_EQ(Raised([] { VUtil::GetLongElement(*V(R"({"i8": 1})"), 0); }), L"Not an array of variant or long");

  EXPECT_EQ(VUtil::GetStringElement(*V(R"([null, "b"])"), 0), L"");
  EXPECT_EQ(VUtil::GetStringElement(*V(R"([null, "b"])"), 1), L"b");
  EXPECT_EQ(VUtil::GetStringElement(*V(R"([{"bstr": null}])"), 0), L"");
  EXPECT_EQ(VUtil::GetStringElement(*V(R"({"array": ["s", {"bstr": null}], "of": "bstr"})"), 1), L"");
  EXPECT_EQ(Raised([] { VUtil::GetStringElement(*V(R"([1])"), 0); }), L"Element is not a string");
  EXPECT_EQ(Raised([] { VUtil::GetStringElement(*V(R"([{"byref": "s"}])"), 0); }), L"Element is not a string");
  EXPECT_EQ(Raised([] { VUtil::GetStringElement(*V(R"({"array": [1], "of": "i4"})"), 0); }),
            L"Not an array of variant or string");
  // Embedded NULs survive.
  EXPECT_EQ(VUtil::GetStringElement(*V(R"(["a\u0000b"])"), 0), std::wstring(L"a\0b", 3));
}

TEST(VUtilTest, BuildersMakeZeroBasedArrays) {
  ScopedVariant array;
  VUtil::CreateArray(array.Get(), VT_VARIANT, 3);
  VUtil::PutElement(*array, 0, *V(R"("x")"));
  VUtil::PutElement(*array, 2, *V(R"({"i8": 5})"));
  EXPECT_EQ(J(*array), Json::parse(R"(["x", null, {"i8": 5}])"));
  VUtil::RedimArray(*array, 1);
  EXPECT_EQ(J(*array), Json::parse(R"(["x"])"));
  EXPECT_EQ(Raised([&] { VUtil::PutElement(*array, 1, *V("1")); }), L"SafeArrayPutElement failed");
  EXPECT_EQ(Raised([&] { VUtil::RedimArray(*V("1"), 1); }), L"Could not redimension safe array");
  EXPECT_EQ(Raised([] { VUtil::CreateArray(ScopedVariant().Get(), VT_VARIANT, -1); }), L"Could not create safe array");

  ScopedVariant longs;
  VUtil::CreateArray(longs.Get(), VT_I4, 1);
  LONG seven = 7;
  VUtil::PutElement(*longs, 0, &seven);
  EXPECT_EQ(J(*longs), Json::parse(R"({"array": [7], "of": "i4"})"));

  ScopedVariant bytes = V(R"("previous value is cleared")");
  VUtil::PutBinaryIntoVariant(bytes.Get(), "abc", 3);
  EXPECT_EQ(J(*bytes), Json::parse(R"({"bytes": "YWJj"})"));
  VUtil::PutBinaryIntoVariant(bytes.Get(), nullptr, 0);
  EXPECT_EQ(bytes.Type(), VUtil::kByteArray);
  EXPECT_EQ(VUtil::GetArrayLength(*bytes), 0);
}

TEST(VUtilTest, TypeChecksAndSingleReturnCodes) {
  using Check = void (*)(const VARIANT&);
  const Check type = [](const VARIANT& v) { VUtil::CheckType(v, VT_BSTR); };
  const Check two = [](const VARIANT& v) { VUtil::CheckArrayType(v, VT_VARIANT, 2); };
  const Check single = [](const VARIANT& v) { VUtil::CheckSingleRetcode(v); };
  const std::wstring kro = L"Kro error detected in VUtil::CheckSingleRetcode : hr = ";
  const std::wstring unread = L"SafeArrayGetElement failed in VUtil::CheckSingleRetcode : ";
  const std::tuple<Check, const char*, std::wstring> cases[] = {
      {type, R"("s")", L""},
      {type, R"({"byref": "s"})", L"CheckType failed"},
      {two, R"(["a", "b"])", L""},
      {two, R"(["a", "b", "c"])", L"CheckArrayType failed"},
      {two, R"({"array": ["a", "b"], "of": "bstr"})", L"CheckArrayType failed"},
      {two, R"({"array": ["a", "b"], "lbound": 1})", kNotZeroBased},
      {single, R"({"array": [0], "of": "i4"})", L""},
      {single, R"([0, 5])", L""},
      {single, "0", L""},
      {single, "5", kro + L"5 - 0x5"},
      {single, R"("text")", kro + L"-1 - 0xffffffff"},
      {single, R"({"array": [-2147024809], "of": "i4"})", kro + L"-2147024809 - 0x80070057"},
      {single, R"(["0"])", unread + L"'Element is not a long'"},
      {single, "[]", unread + L"'" + kNoElement + L"'"},
  };
  for (const auto& [check, input, message] : cases) {
    EXPECT_EQ(Raised([&, check = check, input = input] { check(*V(input)); }), message) << input;
  }
}

}  // namespace
}  // namespace zel
