#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <tuple>

#include "base64.h"
#include "broker/satellites.h"
#include "json_variant.h"
#include "support/test_support.h"

// The bytes the C++ heap holds now and at most, counted for the whole program, so that a test can
// see what a conversion costs; each block carries its size in front of it.
namespace heap {
std::atomic<size_t> held{0};
std::atomic<size_t> peak{0};
constexpr size_t kHeader = 16;
}  // namespace heap

void* operator new(size_t size) {
  void* block = std::malloc(size + heap::kHeader);
  if (block == nullptr) throw std::bad_alloc();
  *static_cast<size_t*>(block) = size;
  const size_t now = heap::held += size;
  for (size_t most = heap::peak.load(); now > most && !heap::peak.compare_exchange_weak(most, now);) {
  }
  return static_cast<char*>(block) + heap::kHeader;
}
void operator delete(void* pointer) noexcept {
  if (pointer == nullptr) return;
  void* block = static_cast<char*>(pointer) - heap::kHeader;
  heap::held -= *static_cast<size_t*>(block);
  std::free(block);
}
void operator delete(void* pointer, size_t) noexcept { operator delete(pointer); }

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
      {R"({"bytes": ""})", VT_ARRAY | VT_UI1, nullptr},
      {R"({"array": [0, 255], "lbound": 3, "of": "ui1"})", VT_ARRAY | VT_UI1, nullptr},
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

// A byte array goes to its base64 text without a JSON item per byte: the JSON and its one-line
// text together hold the base64 twice (8/3 of the array) and little else, so that with the array
// itself a reply costs at most three times its payload.
TEST(JsonVariantTest, AByteArrayGoesStraightToBase64) {
  constexpr ULONG kBytes = 64u << 20;
  zel::ScopedVariant array;
  V_VT(array.Get()) = VT_ARRAY | VT_UI1;
  V_ARRAY(array.Get()) = ::SafeArrayCreateVector(VT_UI1, 0, kBytes);
  ASSERT_NE(V_ARRAY(array.Get()), nullptr);
  unsigned char* data = static_cast<unsigned char*>(V_ARRAY(array.Get())->pvData);
  for (ULONG i = 0; i < kBytes; ++i) data[i] = static_cast<unsigned char>(i * 7 + (i >> 12));

  const size_t before = heap::held.load();
  heap::peak = before;
  std::string text = DumpJson(VariantToJson(*array));
  const double cost = static_cast<double>(heap::peak.load() - before) / kBytes;
  std::printf("a %u-byte array to JSON text: heap peak %.2f x its size\n", static_cast<unsigned>(kBytes), cost);
  EXPECT_LE(cost, 2.8);
  ASSERT_EQ(text.size(), (kBytes + 2) / 3 * 4 + 12);
  EXPECT_EQ(text.substr(0, 10), "{\"bytes\":\"");
  const auto decoded = Base64Decode(text.substr(10, text.size() - 12));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_TRUE(decoded->size() == kBytes && std::equal(decoded->begin(), decoded->end(), data,
                                                       [](char a, unsigned char b) { return static_cast<unsigned char>(a) == b; }));
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
  // Nesting is bounded before anything recurses over it, a level at a time on the stack.
  const auto nested = [](size_t levels) { return std::string(levels, '[') + "1" + std::string(levels, ']'); };
  zel::ScopedVariant deepest;
  EXPECT_NO_THROW(JsonToVariant(ParseJson(nested(kDeepestJson)), deepest.Get(), nullptr));
  EXPECT_THROW(ParseJson(nested(kDeepestJson + 1)), JsonError);
  EXPECT_THROW(ParseJson(nested(100000)), JsonError);
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
