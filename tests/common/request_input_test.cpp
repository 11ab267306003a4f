// The decoder vocabulary every service row uses: one table of inputs and what each reader makes of
// them, so that the services' own tests need not repeat each mistyped element.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>

#include "common/request_input.h"
#include "support/test_support.h"

namespace zel::input {
namespace {

using zeltest::Narrow;
using zeltest::V;

// What a reader made of an input: "text:...", "null", "absent", "length:N", or the refusal's message.
using Reader = std::function<std::string(const VARIANT&)>;

std::string Read(const Reader& reader, const VARIANT& input) {
  try {
    return reader(input);
  } catch (const WideError& error) {
    EXPECT_TRUE(error.FromInput()) << Narrow(error.Message());
    return Narrow(error.Message());
  }
}

std::string Described(const Text& text) {
  switch (text.form()) {
    case Text::Form::kAbsent: return "absent";
    case Text::Form::kNull: return "null";
    case Text::Form::kText: return "text:" + Narrow(text.Value());
  }
  return "";
}

Reader VariantStringAt(LONG index) {
  return [index](const VARIANT& v) { return Described(Elements(v).VariantString(index)); };
}
Reader StringAt(LONG index) {
  return [index](const VARIANT& v) { return Described(Elements(v).String(index)); };
}
Reader ExactStringAt(LONG index) {
  return [index](const VARIANT& v) { return Described(Elements(v).ExactString(index)); };
}
const Reader kLength = [](const VARIANT& v) { return "length:" + std::to_string(Elements(v).Length()); };

TEST(RequestInputTest, ReadersTellNullFromEmptyAndRefuseWhatIsNotThere) {
  const std::string not_variants = Narrow(kNotVariantArray);
  const std::string no_element = Narrow(kNoElement);
  const std::string not_string = Narrow(kNotString);
  const struct {
    Reader reader;
    const char* input;
    std::string expected;
  } cases[] = {
      {VariantStringAt(1), R"(["a", "b"])", "text:b"},
      {VariantStringAt(1), R"(["a", ""])", "text:"},
      {VariantStringAt(1), R"(["a", {"bstr": null}])", "null"},  // read in place: never copied into ""
      {VariantStringAt(1), R"(["a", null])", "absent"},
      {VariantStringAt(0), R"(["a\u0000b"])", std::string("text:a\0b", 8)},
      {VariantStringAt(1), R"(["a", 5])", not_string},
      {VariantStringAt(0), R"([{"byref": "s"}])", not_string},
      {VariantStringAt(2), R"(["a", "b"])", no_element},
      {VariantStringAt(-1), R"(["a"])", no_element},
      {VariantStringAt(0), R"({"array": ["a", "b"], "lbound": 1})", no_element},  // bounds as SafeArrayGetElement's
      {VariantStringAt(1), R"({"array": ["a", "b"], "lbound": 1})", "text:a"},
      {VariantStringAt(0), R"({"array": ["a", "b"], "lbound": -2147483648})", no_element},  // no wrap-around
      {VariantStringAt(-2147483647 - 1), R"({"array": ["a", "b"], "lbound": -2147483648})", "text:a"},
      {VariantStringAt(0), R"("a")", not_variants},
      {VariantStringAt(0), R"({"array": ["a"], "of": "bstr"})", not_variants},
      {VariantStringAt(0), R"({"byref": ["a"]})", not_variants},
      {StringAt(0), R"({"array": ["x", {"bstr": null}], "of": "bstr"})", "text:x"},
      {StringAt(1), R"({"array": ["x", {"bstr": null}], "of": "bstr"})", "null"},
      {StringAt(1), R"([1, "y"])", "text:y"},
      {StringAt(0), R"({"array": [1], "of": "i4"})", Narrow(kNotStringList)},
      {StringAt(0), R"(5)", Narrow(kNotStringList)},
      {ExactStringAt(0), R"([{"bstr": null}])", "null"},
      {ExactStringAt(0), R"([null])", Narrow(kWrongType)},
      {kLength, R"(["a", "b", "c"])", "length:3"},
      {kLength, R"({"array": ["a"], "of": "bstr"})", "length:1"},
      {kLength, R"([])", "length:0"},
      {kLength, R"({"array": ["a", "b"], "lbound": 1})", Narrow(kNotZeroBased)},
      {kLength, R"(5)", Narrow(kLengthOfNoArray)},
      {kLength, R"({"byref": ["a"]})", Narrow(kLengthOfNoArray)},
  };
  for (const auto& c : cases) EXPECT_EQ(Read(c.reader, *V(c.input)), c.expected) << c.input;

  // A VARIANT that claims VARIANT elements but holds bytes, and a matrix, are never read.
  ScopedVariant bytes = V(R"({"bytes": "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="})");
  V_VT(bytes.Get()) = VT_ARRAY | VT_VARIANT;
  EXPECT_EQ(Read(VariantStringAt(0), *bytes), no_element);
  V_VT(bytes.Get()) = VT_ARRAY | VT_UI1;
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
  ScopedVariant matrix;
  V_VT(matrix.Get()) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(matrix.Get()) = ::SafeArrayCreate(VT_VARIANT, 2, bounds);
  EXPECT_EQ(Read(VariantStringAt(0), *matrix), no_element);
  EXPECT_FALSE(Elements(*matrix).ZeroBasedLength());

  // A decoded text goes on as it came.
  for (const char* sent : {R"(null)", R"({"bstr": null})", R"("")", R"("x")"}) {
    const ScopedVariant element = V(sent);
    const ScopedVariant again = Text::Of(*element).AsSent();
    EXPECT_EQ(again.Type(), element.Type()) << sent;
    if (element.Type() == VT_BSTR) {
      EXPECT_EQ(V_BSTR(again.Get()) == nullptr, V_BSTR(element.Get()) == nullptr) << sent;
      EXPECT_EQ(::SysStringLen(V_BSTR(again.Get())), ::SysStringLen(V_BSTR(element.Get()))) << sent;
    }
  }
}

TEST(RequestInputTest, NumbersOfAnyTypeThatAreExactly32BitIntegers) {
  const auto made = [](VARTYPE type, auto set) {
    ScopedVariant value;
    set(value.Get());
    V_VT(value.Get()) = type;  // after the value: a DECIMAL fills the whole VARIANT
    return value;
  };
  const struct {
    ScopedVariant value;
    std::optional<LONG> expected;
  } cases[] = {
      {V("5"), 5},
      {V("-2147483648"), std::numeric_limits<LONG>::min()},
      {V(R"({"i8": 2147483647})"), 2147483647},
      {V(R"({"i8": 2147483648})"), std::nullopt},
      {V(R"({"ui8": 3})"), 3},
      {V(R"({"ui4": 4294967295})"), std::nullopt},  // exact means the value, not the bits
      {V("2.0"), 2},
      {V("-0.0"), 0},
      {V("2.5"), std::nullopt},
      {V("1e10"), std::nullopt},
      {V(R"("12")"), 12},
      {V(R"("-7")"), -7},
      {V(R"("1.5")"), std::nullopt},
      {V(R"("x")"), std::nullopt},
      {V(R"("")"), std::nullopt},
      {V(R"({"bstr": null})"), std::nullopt},
      {V("null"), std::nullopt},
      {V("true"), std::nullopt},
      {V(R"({"date": 3})"), std::nullopt},
      {V(R"({"byref": 5})"), std::nullopt},
      {V("[5]"), std::nullopt},
      {made(VT_I1, [](VARIANT* v) { V_I1(v) = -3; }), -3},
      {made(VT_UI2, [](VARIANT* v) { V_UI2(v) = 65535; }), 65535},
      {made(VT_R4, [](VARIANT* v) { V_R4(v) = 8.0f; }), 8},
      {made(VT_R8, [](VARIANT* v) { V_R8(v) = std::nan(""); }), std::nullopt},
      {made(VT_R8, [](VARIANT* v) { V_R8(v) = HUGE_VAL; }), std::nullopt},
      {made(VT_DECIMAL, [](VARIANT* v) { ::VarDecFromI4(41, &V_DECIMAL(v)); }), 41},
      {made(VT_DECIMAL, [](VARIANT* v) { ::VarDecFromR8(41.5, &V_DECIMAL(v)); }), std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExactLong(*c.value), c.expected) << zeltest::J(*c.value).dump() << " type " << c.value.Type();
  }
}

}  // namespace
}  // namespace zel::input
