#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "broker/satellites.h"
#include "json_variant.h"
#include "support/test_support.h"

namespace zelhost {
namespace {

TEST(JsonVariantTest, EveryNotationGivesItsTypeAndComesBack) {
  // The JSON, its type, and the JSON it comes back as when that differs.
  const std::tuple<const char*, VARTYPE, const char*> rows[] = {
      {"null", VT_EMPTY, nullptr}, {R"("caf\u00e9 \ud83d\ude00")", VT_BSTR, nullptr}, {"false", VT_BOOL, nullptr},
      {"-2147483648", VT_I4, nullptr}, {"2147483648", VT_I8, R"({"i8": 2147483648})"},
      {"0.25", VT_R8, R"({"r8": 0.25})"}, {R"({"i4": 5})", VT_I4, "5"}, {R"({"ui4": 4294967295})", VT_UI4, nullptr},
      {R"({"ui8": 18446744073709551615})", VT_UI8, nullptr}, {R"({"date": 45000.5})", VT_DATE, nullptr},
      {R"({"bstr": "x"})", VT_BSTR, R"("x")"}, {R"({"bytes": "AAEC/w=="})", VT_ARRAY | VT_UI1, nullptr},
      {R"({"array": [1], "of": "ui1"})", VT_ARRAY | VT_UI1, R"({"bytes": "AQ=="})"},
      {R"({"array": ["a", {"bstr": null}], "of": "bstr"})", VT_ARRAY | VT_BSTR, nullptr},
      {R"({"array": [1, -2], "of": "i4"})", VT_ARRAY | VT_I4, nullptr},
      {R"({"array": [1, 2], "lbound": 1, "of": "variant"})", VT_ARRAY | VT_VARIANT, nullptr},
      {R"([1, ["a", null], [], {"bstr": null}, {"byref": {"i8": 3}}])", VT_ARRAY | VT_VARIANT, nullptr},
  };
  VariantArena arena;
  for (const auto& [json, type, back] : rows) {
    zel::ScopedVariant value;
    JsonToVariant(ParseJson(json), value.Get(), &arena);
    EXPECT_EQ(value.Type(), type) << json;
    EXPECT_EQ(VariantToJson(*value), ParseJson(back != nullptr ? back : json)) << json;
  }
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
  // An answer without "when" is the default, wherever it stands in the list.
  SatelliteScript script(ParseJson(R"({"DiRuzov": {"GetFileFromId": [{"when": ["x", "M1"], "rc": 0, "answer": ["a", "b"]},
                                       {"rc": 5}, {"when": ["x", "M2"], "hresult": -2147467259}]}})"));
  Journal journal;
  script.SetJournal(&journal);
  const std::pair<const wchar_t*, const char*> asked[] = {
      {L"DiRuzov", R"(["x", "M1"])"}, {L"DiRuzov", R"(["x", "M9"])"}, {L"DiRuzov", R"(["x", "M2"])"}, {L"Nobody", "[]"}};
  Json answers = Json::array();
  for (const auto& [target, params] : asked) {
    zel::ScopedVariant result, status;
    const HRESULT hr = script.Answer(target, L"GetFileFromId", *zeltest::V(params), result.Get(), status.Get());
    answers.push_back({hr, VariantToJson(*status), VariantToJson(*result)});
  }
  EXPECT_EQ(answers, ParseJson(R"([[0, {"array": [0], "of": "i4"}, [["a", "b"]]], [0, {"array": [5], "of": "i4"}, null],
                                  [-2147467259, null, null], [0, {"array": [-1], "of": "i4"}, null]])"));
  ASSERT_EQ(journal.Lines().size(), 4u);
  EXPECT_EQ(journal.Lines()[0], ParseJson(R"({"target": "DiRuzov", "service": "GetFileFromId", "params": ["x", "M1"]})"));
  EXPECT_EQ(journal.Lines()[3]["target"], "Nobody");
  // Only the newest lines stay in memory.
  for (size_t i = 0; i < Journal::kKeptLines; ++i) journal.Record(L"T", L"S" + std::to_wstring(i), *zeltest::V("[]"));
  const std::vector<Json> kept = journal.Lines();
  ASSERT_EQ(kept.size(), Journal::kKeptLines);
  EXPECT_EQ(kept.front()["service"], "S0");
  EXPECT_EQ(kept.back()["service"], "S" + std::to_string(Journal::kKeptLines - 1));
  EXPECT_THROW(SatelliteScript(ParseJson(R"({"A": {"B": {"colour": 1}}})")), JsonError);
}

}  // namespace
}  // namespace zelhost
