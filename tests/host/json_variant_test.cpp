#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "broker/satellites.h"
#include "json_variant.h"
#include "support/test_support.h"

namespace zelhost {
namespace {

Json RoundTrip(const std::string& text, VariantArena* arena = nullptr) {
  zel::ScopedVariant value;
  JsonToVariant(ParseJson(text), value.Get(), arena);
  return VariantToJson(*value);
}

VARTYPE TypeOf(const std::string& text) {
  zel::ScopedVariant value;
  JsonToVariant(ParseJson(text), value.Get(), nullptr);
  return value.Type();
}

TEST(JsonVariantTest, PlainJsonMapsToTheNaturalTypes) {
  EXPECT_EQ(TypeOf("null"), VT_EMPTY);
  EXPECT_EQ(TypeOf(R"("s")"), VT_BSTR);
  EXPECT_EQ(TypeOf("true"), VT_BOOL);
  EXPECT_EQ(TypeOf("2147483647"), VT_I4);
  EXPECT_EQ(TypeOf("-2147483648"), VT_I4);
  EXPECT_EQ(TypeOf("2147483648"), VT_I8);
  EXPECT_EQ(TypeOf("1.5"), VT_R8);
  EXPECT_EQ(TypeOf("[]"), VT_ARRAY | VT_VARIANT);
  for (const char* text : {"null", R"("caf\u00e9 \ud83d\ude00")", "true", "false", "-7", R"([1, ["a", null], []])"}) {
    EXPECT_EQ(RoundTrip(text), ParseJson(text)) << text;
  }
  EXPECT_EQ(RoundTrip("2147483648"), ParseJson(R"({"i8": 2147483648})"));
  EXPECT_EQ(RoundTrip("0.25"), ParseJson(R"({"r8": 0.25})"));
}

TEST(JsonVariantTest, TaggedObjectsGiveExactTypesAndComeBackTheSame) {
  for (const char* text :
       {R"({"ui4": 4294967295})", R"({"i8": -9000000000})", R"({"ui8": 18446744073709551615})", R"({"r8": 2.5})",
        R"({"date": 45000.5})", R"({"bstr": null})", R"({"bytes": "AAEC/w=="})", R"({"bytes": ""})",
        R"({"array": ["a", {"bstr": null}], "of": "bstr"})", R"({"array": [1, -2], "of": "i4"})",
        R"({"array": [1, 2], "lbound": 1, "of": "variant"})", R"({"array": [255], "lbound": 3, "of": "ui1"})",
        R"(["a", {"bstr": null}, [{"bstr": null}]])"}) {
    EXPECT_EQ(RoundTrip(text), ParseJson(text)) << text;
  }
  EXPECT_EQ(RoundTrip(R"({"i4": 5})"), Json(5));
  EXPECT_EQ(RoundTrip(R"({"bstr": "x"})"), Json("x"));
  EXPECT_EQ(RoundTrip(R"({"array": [1], "of": "ui1"})"), ParseJson(R"({"bytes": "AQ=="})"));
  VariantArena arena;
  EXPECT_EQ(RoundTrip(R"([{"byref": {"i8": 3}}])", &arena), ParseJson(R"([{"byref": {"i8": 3}}])"));
}

TEST(JsonVariantTest, UnknownTagsAndValuesThatDoNotFitAreRefused) {
  for (const char* text :
       {R"({"bad": 1})", R"({"i4": 2147483648})", R"({"ui4": -1})", R"({"i4": "1"})", R"({"bytes": "abc"})",
        R"({"array": [1], "of": "i2"})", R"({"array": [300], "of": "ui1"})", R"({"array": 1})",
        R"({"i4": 1, "i8": 2})", R"({"byref": 1})", R"([{"array": [], "extra": 1}])", "18446744073709551615"}) {
    zel::ScopedVariant value;
    EXPECT_THROW(JsonToVariant(ParseJson(text), value.Get(), nullptr), JsonError) << text;
  }
  EXPECT_THROW(ParseJson("[1,"), JsonError);
}

TEST(SatelliteScriptTest, AnswersByTargetOperationAndParameters) {
  SatelliteScript script(ParseJson(R"({
    "DiRuzov": {
      "GetFileFromId": [
        {"when": ["x", "M1"], "rc": 0, "answer": ["a", "b"]},
        {"rc": 5},
        {"when": ["x", "M2"], "hresult": -2147467259}
      ],
      "Raw": {"result": {"array": [1], "of": "i4"}}
    }
  })"));
  Journal journal;
  script.SetJournal(&journal);
  auto ask = [&](const std::wstring& target, const std::wstring& operation, const std::string& params,
                 HRESULT* hr) {
    zel::ScopedVariant result;
    zel::ScopedVariant status;
    *hr = script.Answer(target, operation, *zeltest::V(params), result.Get(), status.Get());
    return Json{{"status", VariantToJson(*status)}, {"result", VariantToJson(*result)}};
  };
  HRESULT hr = S_OK;
  EXPECT_EQ(ask(L"DiRuzov", L"GetFileFromId", R"(["x", "M1"])", &hr),
            ParseJson(R"({"status": {"array": [0], "of": "i4"}, "result": [["a", "b"]]})"));
  EXPECT_EQ(ask(L"DiRuzov", L"GetFileFromId", R"(["x", "M9"])", &hr),
            ParseJson(R"({"status": {"array": [5], "of": "i4"}, "result": null})"));
  ask(L"DiRuzov", L"GetFileFromId", R"(["x", "M2"])", &hr);
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_EQ(ask(L"DiRuzov", L"Raw", "null", &hr)["result"], ParseJson(R"({"array": [1], "of": "i4"})"));
  EXPECT_EQ(ask(L"Nobody", L"GetFileFromId", "[]", &hr),
            ParseJson(R"({"status": {"array": [-1], "of": "i4"}, "result": null})"));
  ASSERT_EQ(journal.Lines().size(), 5u);
  EXPECT_EQ(journal.Lines()[0], ParseJson(R"({"target": "DiRuzov", "service": "GetFileFromId", "params": ["x", "M1"]})"));
  EXPECT_EQ(journal.Lines()[4]["target"], "Nobody");

  EXPECT_THROW(SatelliteScript(ParseJson(R"({"A": {"B": {"answer": {"nope": 1}}}})")), JsonError);
  EXPECT_THROW(SatelliteScript(ParseJson(R"({"A": {"B": {"colour": 1}}})")), JsonError);
  EXPECT_THROW(SatelliteScript(ParseJson(R"({"A": {"B": {"answer": {"byref": 1}}}})")), JsonError);
}

}  // namespace
}  // namespace zelhost
