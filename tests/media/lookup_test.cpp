#include <array>

#include "media/lookup_services.h"
#include "media/media_test_support.h"

namespace zel::media {
namespace {

using namespace zeltest;

// Extension lists for local ids; medium records for the record operations, "<target>/<operation>"
// for the rest.
Reply Echo(const std::string& target, const std::string& service, const Json& params) {
  if (target == "ZidAvaraV2" && service == "GetExtensions") {
    return params[1] == "audio" ? Answered(Json::array({".mp3"})) : Answered(Json::array());
  }
  const bool record =
      service == "g" || (service.find("FromId") != std::string::npos && service.find("Info") == std::string::npos);
  return record ? Answered(Json::array({target, service, "two", "three", "four"})) : Answered(Json(target + "/" + service));
}

class LookupTest : public SatelliteServiceTest {};

TEST_F(LookupTest, EveryRowOfEveryLookupColumn) {
  RunningModule module;
  ASSERT_EQ(module.Call(L"Register Custom MediumId", R"(["g", "i", "l", "s"])", 0, L"CustomSat").output, Json("XAA"));
  auto satellites = Satellites(module, Echo);
  module.Call(L"GetMediumFromId", R"(["u", "F*C:|a>mp3"])");  // the extension map is filled once, here

  // A cell is "target/operation", a return code for ids the service answers without a satellite,
  // or "local" for the module's own answer. Columns: GetMediumFromId, GetMediumInfoFromId,
  // GetMediumListInfoFromId, IsMediumShared, SetPlayPosition (and SetPlaylistPlayPosition).
  // The file operations of `owner`; `shared` replaces the share check's cell.
  const auto files = [](const std::string& owner, const std::string& shared = "") {
    const std::string o = owner + "/";
    return std::array<std::string, 5>{o + "GetFileFromId", o + "GetFileInfoFromId", o + "GetFileListInfoFromId",
                                      shared.empty() ? o + "ShareCheckFile" : shared, o + "SetFilePlayPosition"};
  };
  struct Row {
    std::string id;
    std::array<std::string, 5> cells;
  };
  const Row rows[] = {
      {"O7", files("ZidAvaraV2")}, {"M7", files("DiRuzov")},   {"P7", files("RiRodera")},
      {"V7", files("RuRuruvi")},   {"R7", files("ZiRUZ", "403")}, {"TI7", files("ZidAvaraV2")},
      {"TV7", {"Any/GetChannelFromId", "Any/GetChannelInfoFromId", "Any/GetChannelListInfoFromId", "403",
               "Any/SetTVPlayPosition"}},
      {"D7x", {"DivEduvized7/GetDeviceFromId", "Any/GetDeviceInfoFromId", "Any/GetDeviceListInfoFromId", "403",
               "DivEduvized7/SetDevicePlayPosition"}},
      // No device character: forwarded to the plain device name, as the name pattern gives it.
      {"D", {"DivEduvized/GetDeviceFromId", "Any/GetDeviceInfoFromId", "Any/GetDeviceListInfoFromId", "403",
             "DivEduvized/SetDevicePlayPosition"}},
      {"XAA7", {"CustomSat/g", "CustomSat/i", "CustomSat/l", "CustomSat/s", "CustomSat/SetFilePlayPosition"}},
      {"XAa7", {"404", "404", "404", "404", "404"}},  // a key the table does not hold: keys are exact
      {"F*C:|a>mp3", {"local", "local", "local", "local", "404"}},
      {"Q7", {"404", "404", "404", "403", "404"}}, {"m7", {"404", "404", "404", "403", "404"}},
      {"", {"404", "404", "404", "403", "404"}},
  };
  const std::pair<const wchar_t*, int> services[] = {
      {L"GetMediumFromId", 0}, {L"GetMediumInfoFromId", 1}, {L"GetMediumListInfoFromId", 2},
      {L"IsMediumShared", 3},  {L"SetPlayPosition", 4},     {L"SetPlaylistPlayPosition", 4}};
  const auto input_for = [](int column, const std::string& id) {
    switch (column) {
      case 2: return Json::array({"u", Json::array({id, "P1", "M2"})});
      case 3: return Json::array({"u", "v", id});
      case 4: return Json::array({"u", id, 42});
      default: return Json::array({"u", id});
    }
  };
  for (const Row& row : rows) {
    for (const auto& [name, column] : services) {
      const std::string cell = row.cells[column];
      const std::string where = Narrow(name) + " " + row.id;
      const size_t before = satellites->Journal().size();
      const Json input = input_for(column, row.id);
      const RunningModule::Reply reply = module.Call(name, input.dump());
      const std::vector<Json> journal = satellites->Journal();
      const size_t slash = cell.find('/');
      if (slash == std::string::npos) {
        EXPECT_EQ(journal.size(), before) << where;
        // Local shares are undetermined.
        EXPECT_EQ(reply.rc, cell == "local" ? (column == 3 ? 1 : 0) : std::stoi(cell)) << where;
        if (cell != "local") {
          EXPECT_EQ(reply.output, nullptr) << where;
        }
        continue;
      }
      ASSERT_EQ(journal.size(), before + 1) << where;
      EXPECT_EQ(Routed(cell.substr(0, slash), cell.substr(slash + 1), input), journal[before]) << where;
      EXPECT_EQ(reply.rc, 0) << where;
      if (column == 0) {
        EXPECT_EQ(reply.output, Json::array({cell.substr(0, slash), cell.substr(slash + 1), nullptr, "three", "four"}))
            << where;
      } else if (column != 3) {
        EXPECT_EQ(reply.output, Json(cell)) << where;
      }
    }
  }
}

TEST_F(LookupTest, MediumRecordsAndTheirFailures) {
  RunningModule module;
  Reply next = Code(0);
  Satellites(module, [&next](const std::string&, const std::string&, const Json&) { return next; });
  auto get = [&](Reply reply) {
    next = reply;
    return module.Call(L"GetMediumFromId", R"(["u", "M1"])", 77);
  };
  LogWindow log;
  const Json null_string = Json::parse(R"({"bstr": null})");
  EXPECT_EQ(Outcome(get(Answered(Json::parse(R"(["a", "b", "c"])")))),
            Json::array({0, Json::array({"a", "b", nullptr, null_string, null_string})}));
  EXPECT_EQ(get(Answered(Json::parse(R"(["a", null, 5, "d"])"))).output,
            Json::array({"a", null_string, nullptr, "d", null_string}));
  EXPECT_EQ(get(Answered(Json::parse(R"(["p", "t", 7, "artist", "album", "more"])"))).output,
            Json::parse(R"(["p", "t", null, "artist", "album"])"));

  // Answers that are no medium record: the service's WARN line with the parameter utilities' text.
  const std::string not_variants = "Variant passed to VUtil::GetElement is not a variant array";
  const std::string no_element = "SafeArrayGetElement failed in VUtil::GetElement";
  const std::pair<Reply, std::string> refused[] = {
      {Answered(Json("flat")), not_variants},
      {Answered(Json::array({"a"})), no_element},
      {RawResult(Json::array()), no_element},
      {Answered(Json::parse(R"(["a", 5])")), "Element is not a string"},
      {Answered(Json::parse(R"(["a", "b", "c", {"i8": 4}])")), "Element is not a string"},
  };
  for (const auto& [reply, message] : refused) {
    const size_t before = log.Count("[WARN] - GetMediumFromId: " + message);
    EXPECT_EQ(Outcome(get(reply)), Json::array({-1, nullptr})) << message;
    EXPECT_EQ(log.Count("[WARN] - GetMediumFromId: " + message), before + 1);
  }
  EXPECT_EQ(get(RawResult(Json("not an array"))).rc, -1);
  EXPECT_EQ(Outcome(get(Code(5))), Json::array({5, nullptr}));
  EXPECT_EQ(log.Count("[WARN]"), std::size(refused));  // the satellite's own code is not the service's to log
  // Every call reached the broker; only the three that built a record timed the service.
  EXPECT_EQ(log.Count("[DEBUG] - Request GetMediumFromId returned in "), 3u + std::size(refused) + 2u);
  EXPECT_EQ(log.Count("[DEBUG] - GetMediumFromId function returned in "), 3u);
}

TEST_F(LookupTest, UnroutableInputsAndLocalIdsAreAnsweredInProcess) {
  RunningModule module;
  auto satellites = Satellites(module, Echo);
  for (const wchar_t* service : {L"GetMediumFromId", L"GetMediumInfoFromId", L"SetPlayPosition"}) {
    EXPECT_EQ(module.Call(service, R"(["u", null])").rc, 1);
    EXPECT_EQ(module.Call(service, R"(["u", {"bstr": null}])").rc, 1);
    for (const char* input : {R"(["u", 7])", R"(["u"])", R"("M1")"}) {
      EXPECT_EQ(module.Call(service, input).rc, -1) << Narrow(service) << " " << input;
    }
  }
  EXPECT_EQ(module.Call(L"IsMediumShared", R"(["u", "v", null])").rc, 1);
  EXPECT_EQ(module.Call(L"IsMediumShared", R"(["u", "v"])").rc, -1);
  EXPECT_EQ(module.Call(L"GetMediumListInfoFromId", R"(["u", [null, "M1"]])").rc, 1);
  EXPECT_EQ(module.Call(L"GetMediumListInfoFromId", R"(["u", [{"bstr": null}, "M1"]])").rc, 1);
  EXPECT_EQ(module.Call(L"GetMediumListInfoFromId", R"(["u", []])").rc, -1);
  EXPECT_EQ(module.Call(L"GetMediumListInfoFromId", R"(["u", "M1"])").rc, -1);

  // Local files: the share check wants exactly three strings.
  EXPECT_EQ(module.Call(L"IsMediumShared", R"(["u", "v", "F*C:|a", "extra"])").rc, -1);
  EXPECT_EQ(module.Call(L"GetMediumListInfoFromId", R"(["u", ["F*C:|a"], "extra"])").rc, -1);
  // A list routed by its first id goes whole to that owner, whatever the others are.
  const size_t before = satellites->Journal().size();
  EXPECT_EQ(module.Call(L"GetMediumListInfoFromId", R"(["u", ["M1", "P2", "F*C:|x"]])").output,
            Json("DiRuzov/GetFileListInfoFromId"));
  EXPECT_EQ(satellites->Journal().size(), before + 1);

  // The local handlers' arrays are checked with the local media; here only that the answer arrives.
  LogWindow log;
  EXPECT_EQ(Outcome(module.Call(L"GetMediumFromId", R"(["u", "F*D:|a>mp3"])", 9)),
            Json::parse(R"([0, ["audio/x-unknown", "D:\\a.mp3"]])"));
  EXPECT_EQ(log.Count("GetMediumFromId function returned in"), 0u);  // the local handler's answer
  EXPECT_EQ(module.Call(L"GetMediumFromId", R"(["u", "FX:|a"])").rc, 404);
  // An empty id in a local list is bad input, told as such; no broker call was made.
  EXPECT_EQ(module.Call(L"GetMediumListInfoFromId", R"(["u", ["F*C:|a", ""]])").rc, E_INVALIDARG);
  EXPECT_EQ(log.Count("[WARN] - GetMediumListFromId: the id list holds an empty medium id (E_INVALIDARG)"), 1u);
  EXPECT_EQ(log.Count("broker call failed"), 0u);
}

TEST_F(LookupTest, MediumListPathTakesThePathOfEveryItemThatHasOne) {
  RunningModule module;
  Json answer;
  auto satellites = Satellites(module, [&answer](const std::string&, const std::string& s, const Json&) {
    return Answered(s == "GetExtensions" ? Json::array() : answer);
  });
  ModuleRouter parts;
  // [return code, paths...]; the list starts with "kept", which must stay.
  auto paths_of = [&](const std::string& ids) {
    std::vector<std::wstring> paths = {L"kept"};
    LONG code = 0;
    try {
      code = GetMediumListPath(parts.Router(), L"first", *V(ids), &paths);
    } catch (const WideError& error) {
      code = error.Code().value_or(-1);  // as the rows of its callers answer it
    }
    Json outcome = Json::array({code});
    for (const std::wstring& path : paths) outcome.push_back(Narrow(path));
    return outcome;
  };
  answer = Json::parse(R"([[["title", "a"], ["PATH", "C:\\one"], ["path", "C:\\late"]], null, [["title", "b"]]])");
  LogWindow log;
  EXPECT_EQ(paths_of(R"(["M1", "M2", "M3"])"), Json::parse(R"([0, "kept", "C:\\one"])"));
  EXPECT_EQ(log.Count("[WARN] - GetMediumListPath: got a VT_EMPTY in the list of paths"), 1u);
  ASSERT_FALSE(satellites->Journal().empty());
  EXPECT_EQ(satellites->Journal().back(),
            Routed("DiRuzov", "GetFileListInfoFromId", Json::parse(R"(["first", ["M1", "M2", "M3"]])")));

  answer = Json::parse(R"([[["path", 5]]])");
  EXPECT_EQ(paths_of(R"(["P1"])"), Json::parse(R"([-1, "kept"])"));
  answer = Json("flat");
  const std::pair<const char*, LONG> failures[] = {{R"(["P1"])", -1}, {"[null]", 1}, {R"(["Q1"])", 404}, {"[]", -1}};
  for (const auto& [ids, code] : failures) EXPECT_EQ(paths_of(ids), Json::array({code, "kept"})) << ids;
  // Local ids are decoded in-process; an id that is not local adds nothing.
  EXPECT_EQ(paths_of(R"(["F*C:|Music|a>mp3", "M9", "F*C:|b"])"),
            Json::parse(R"([0, "kept", "C:\\Music\\a.mp3", "C:\\b"])"));
}

}  // namespace
}  // namespace zel::media
