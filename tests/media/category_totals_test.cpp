#include "media/media_test_support.h"

namespace zel::media {
namespace {

using namespace zeltest;

// The recorder answers both media types; music and listings are added per test.
const std::string kRecorder = R"("GetPVRCategoryTotals": [{"when": "Audio", "answer": [21, 22]},
                                                          {"when": "Video", "answer": [31, 32]}])";

std::string Listings(const std::string& entry) { return R"("GetTVListings": )" + entry; }

using CategoryTotalsTest = SatelliteServiceTest;

TEST_F(CategoryTotalsTest, AudioSlotsTakeElevenMusicNumbersThenTheRecorderPair) {
  RunningModule module(R"({"DiRuzov": {"GetCategoryTotals": [
      {"when": ["exact"], "answer": [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11]},
      {"when": ["short"], "answer": [1, 2, 3]},
      {"when": ["long"], "answer": [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, "never read"]},
      {"when": ["longs", 5], "answer": {"array": [4, 5], "of": "i4"}}]},
    "Any": {)" + kRecorder + "}}");
  const std::pair<const char*, const char*> cases[] = {
      {R"(["exact"])", "[1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 21, 22]"},
      {R"(["short"])", "[1, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0, 21, 22]"},
      {R"(["long"])", "[1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 21, 22]"},
      {R"(["longs", 5])", "[4, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 21, 22]"}};
  for (const auto& [input, slots] : cases) {
    EXPECT_EQ(Outcome(module.Call(L"GetAudioCategoryTotals", input, 99)), Json::array({0, Json::parse(slots)}))
        << input;
  }
  // The whole input travels to the music satellite; the recorder is asked for "Audio".
  const std::vector<Json> journal = module.Journal();
  ASSERT_EQ(journal.size(), 8u);
  EXPECT_EQ(journal[6], Routed("DiRuzov", "GetCategoryTotals", Json::parse(R"(["longs", 5])")));
  EXPECT_EQ(journal[7], Routed("Any", "GetPVRCategoryTotals", "Audio"));

  // Unreadable input is left to the dispatcher and asks no satellite.
  LogWindow log;
  for (const char* input : {"5", "[]", R"({"array": ["x"], "lbound": 1})", R"({"array": ["x"], "of": "bstr"})",
                            R"({"byref": ["x"]})"}) {
    EXPECT_EQ(Outcome(module.Call(L"GetAudioCategoryTotals", input, 4242)), Json::array({4242, nullptr})) << input;
  }
  EXPECT_EQ(module.Journal().size(), 8u);
  // "5", the string array and the reference.
  EXPECT_EQ(log.Count("[WARN] - Onservicerequested exception: Variant passed to VUtil::GetElement is not a variant "
                      "array"), 3u);
}

TEST_F(CategoryTotalsTest, TvSlotsCountChannelsAndInputDevices) {
  RunningModule module(R"({"Any": {)" + kRecorder + ", " + Listings(R"({"answer": ["guide", [
      ["a", 1, 2, "video/x-tv"], ["b", 1, 2, "video/x-tv;hd"], ["c", 1, 2, "VIDEO/X-INPUTDEVICE"],
      ["d", 1, 2, "video/x-inputdevice;usb"], ["e", 1, 2, "Video/X-TV"], ["f", 1, 2, {"bstr": null}],
      ["g", 1, 2, null]]]})") + "}}");
  // The input is not read.
  EXPECT_EQ(Outcome(module.Call(L"GetTVCategoryTotals", "5", 9)), Json::parse("[0, [2, 31, 32, 1]]"));
  // Two dates (VT_ARRAY | VT_DATE), which the journal's notation shows by type only.
  EXPECT_EQ(module.Journal(), (std::vector<Json>{Routed("Any", "GetTVListings", Json::parse(R"({"vt": 8199})")),
                                                 Routed("Any", "GetPVRCategoryTotals", "Video")}));
}

TEST_F(CategoryTotalsTest, AFailedMusicOrRecorderRequestAnswersOneWithOutputUntouched) {
  LogWindow log;
  {
    RunningModule module(R"({"DiRuzov": {"GetCategoryTotals": [
        {"when": ["status"], "rc": 5, "answer": [1]},
        {"when": ["broker"], "hresult": -2147467259},
        {"when": ["scalar"], "answer": 7},
        {"when": ["text"], "answer": [1, "2"]},
        {"when": ["no result"], "result": []}]},
      "Any": {)" + kRecorder + "}}");
    for (const char* input : {R"(["status"])", R"(["broker"])", R"(["scalar"])", R"(["text"])", R"(["no result"])",
                              R"(["unscripted"])"}) {
      EXPECT_EQ(Outcome(module.Call(L"GetAudioCategoryTotals", input)), Json::array({1, nullptr})) << input;
    }
  }
  EXPECT_EQ(log.Count("[WARN] - KroGetMusicCategoryTotals: Kro error detected in VUtil::CheckSingleRetcode : "
                      "hr = 5 - 0x5"), 1u);
  EXPECT_EQ(log.Count("[WARN] - KroGetMusicCategoryTotals: the broker request GetCategoryTotals failed: "
                      "hr = 0x80004005"), 1u);

  // The recorder failing fails both services, whatever the other requests did.
  RunningModule module(R"({"DiRuzov": {"GetCategoryTotals": {"answer": [1]}},
    "Any": {"GetPVRCategoryTotals": [{"when": "Audio", "rc": 3}, {"when": "Video", "hresult": -2147467259}],
            "GetTVListings": {"answer": ["guide", []]}}})");
  for (const wchar_t* service : {L"GetAudioCategoryTotals", L"GetTVCategoryTotals"}) {
    EXPECT_EQ(Outcome(module.Call(service, R"(["x"])")), Json::array({1, nullptr})) << Narrow(service);
  }
}

TEST_F(CategoryTotalsTest, AFailedListingCountsNoChannelsButKeepsInputDevicesCountedBefore) {
  const std::string recorder = R"("Any": {)" + kRecorder + ", ";
  for (const std::string& listings : {std::string(R"({"rc": 4})"), std::string(R"({"hresult": -2147467259})"),
                                      std::string(R"({"answer": "no guide"})")}) {
    RunningModule module("{" + recorder + Listings(listings) + "}}");
    EXPECT_EQ(Outcome(module.Call(L"GetTVCategoryTotals", "[]", 9)), Json::parse("[0, [0, 31, 32, 0]]")) << listings;
  }
  LogWindow log;
  RunningModule module("{" + recorder + Listings(R"({"answer": ["guide", [
      ["a", 1, 2, "video/x-inputdevice"], ["b", 1, 2, "video/x-tv"], ["c", 1, 2, 7], ["d", 1, 2, "video/x-tv"]]]})") + "}}");
  EXPECT_EQ(module.Call(L"GetTVCategoryTotals", "[]").output, Json::parse("[0, 31, 32, 1]"));
  EXPECT_EQ(log.Count("[WARN] - GetNbTVChannels: Element is not a string"), 1u);  // a number is never a media type
}

}  // namespace
}  // namespace zel::media
