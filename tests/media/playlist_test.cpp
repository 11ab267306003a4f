#include <cstdio>

#include "media/media_test_support.h"

namespace zel::media {
namespace {

using namespace zeltest;

struct Service {
  const wchar_t* name;
  const char* operation;
  const char* warn;  // the WARN line's prefix
};

const Service kSingleServices[] = {
    {L"PlaylistNew", "PlayListCreate", "PlaylistCreate: "}, {L"PlaylistDestroy", "PlayListRemove", "PlaylistDestroy: "},
    {L"PlaylistClear", "PlayListClearAll", "PlaylistClear: "}, {L"PlaylistGet", "PlayListGetContent", "PlaylistGet: "},
    {L"PlaylistAdd", "PlayListAddItem", "PlaylistAdd: "}, {L"PlaylistDelete", "PlayListDeleteItem", "PlaylistDelete: "},
    {L"PlaylistReorder", "PlayListOrder", "PlaylistReorder: "}};
const Service kGetPlaylistFromId{L"GetPlaylistFromId", "PlayListGetContent", "GetMediumFromId: "};
const Service kCompositeServices[] = {{L"PlaylistCreateAndSet", "PlayListGetMediumID", "PlaylistCreate: "},
                                      {L"PlaylistGetCount", "PlayListGetMediumID", "PlaylistCreate: "},
                                      {L"PlaylistAddItems", "PlayListGetMediumID", "PlaylistCreate: "}};

using PlaylistTest = SatelliteServiceTest;

TEST_F(PlaylistTest, EveryRowOfEveryRoutingColumn) {
  RunningModule module;
  ASSERT_EQ(module.Call(L"Register Custom MediumId", R"(["g", "i", "l"])", 0, L"CustomSat").output, Json("XAA"));
  auto satellites = Satellites(module, [](const std::string& target, const std::string& service, const Json&) {
    return Answered(Json(target + "/" + service));  // "<target>/<operation>" from every target
  });

  struct Row {
    std::string id;
    const char* single;     // null: 404
    const char* from_id;
    const char* composite;
  };
  const Row rows[] = {
      {"O7", "ZidAvaraV2", "ZidAvaraV2", nullptr}, {"M7", "DiRuzov", "DiRuzov", "DiRuzov"},
      {"P7", "RiRodera", "RiRodera", "RiRodera"},  {"V7", "RuRuruvi", "RuRuruvi", "RuRuruvi"},
      {"R7", "ZiRUZ", "ZiRUZ", "ZiRUZ"},           {"T7", "Any", "Any", "Any"},
      {"TI7", "Any", "Any", "Any"},  // with the other T ids, unlike the medium look-ups
      {"D3x", "DivEduvized3", nullptr, nullptr},   {"XAA7", "CustomSat", nullptr, nullptr},
      {"XAB7", nullptr, nullptr, nullptr},  // a key the table does not hold
      {"xAA7", nullptr, nullptr, nullptr},         {"F*C:|a>mp3", nullptr, nullptr, nullptr},
      {"D", "DivEduvized", nullptr, nullptr},  // no device character: the plain device name
      {"", nullptr, nullptr, nullptr},             {"Q7", nullptr, nullptr, nullptr},
      {"m7", nullptr, nullptr, nullptr},
  };
  auto check = [&](const Service& service, const Json& input, const char* expected, const std::string& id) {
    const size_t before = satellites->Journal().size();
    RunningModule::Reply reply = module.Call(service.name, input.dump());
    const std::vector<Json> journal = satellites->Journal();
    const std::string where = Narrow(service.name) + " " + id;
    if (expected == nullptr) {
      EXPECT_EQ(reply.rc, 404) << where;
      EXPECT_EQ(journal.size(), before) << where;
      return;
    }
    ASSERT_GT(journal.size(), before) << where;
    for (size_t i = before; i < journal.size(); ++i) EXPECT_EQ(journal[i]["target"], expected) << where;
    EXPECT_EQ(journal[before]["service"], service.operation) << where;
    if (std::string(service.operation) != "PlayListGetMediumID") {  // forwarded whole
      EXPECT_EQ(journal.size(), before + 1) << where;
      EXPECT_EQ(journal[before]["params"], input) << where;
      EXPECT_EQ(reply.rc, 0) << where;
      EXPECT_EQ(reply.output, Json(std::string(expected) + "/" + service.operation)) << where;
    }
  };
  for (const Row& row : rows) {
    for (const Service& service : kSingleServices) check(service, Json::array({"u", row.id, 3}), row.single, row.id);
    check(kGetPlaylistFromId, Json::array({"u", row.id}), row.from_id, row.id);
    for (const Service& service : kCompositeServices) {
      check(service, Json::array({"u", "list", row.id}), row.composite, row.id);
    }
  }
}

TEST_F(PlaylistTest, CompositeServicesCallTheirSequenceOnTheItemsOwner) {
  RunningModule module;
  std::atomic<int> lookups{0};
  std::map<std::string, Reply> replies;  // by operation; "PlayListGetMediumID" handled below
  Json found_ids = Json::array();        // the answers of successive PlayListGetMediumID calls
  auto satellites = Satellites(module, [&](const std::string&, const std::string& service, const Json&) {
    if (service == "PlayListGetMediumID") {
      const size_t n = static_cast<size_t>(lookups++);
      const Json id = n < found_ids.size() ? found_ids[n] : Json(nullptr);
      return id.is_number() && id.get<int>() < 0 ? Code(id.get<LONG>()) : Answered(id);
    }
    return replies.count(service) != 0 ? replies.at(service) : Code(-1);
  });
  auto run = [&](const wchar_t* service, const Json& ids, std::map<std::string, Reply> answers,
                 const std::string& input = R"(["u", "list", "M5"])") {
    lookups = 0;
    found_ids = ids;
    replies = std::move(answers);
    const size_t before = satellites->Journal().size();
    RunningModule::Reply reply = module.Call(service, input);
    std::vector<Json> journal = satellites->Journal();
    journal.erase(journal.begin(), journal.begin() + static_cast<long>(before));
    return std::make_pair(reply, journal);
  };
  const Json user_list = Json::parse(R"(["u", "list"])");

  // A new name: look up (nothing), create (its code does not matter), look up again, add.
  auto [created, created_calls] = run(L"PlaylistCreateAndSet", Json::array({nullptr, "PL9"}),
                                      {{"PlayListCreate", Code(3)}, {"PlayListAddItem", Answered(Json("added"))}});
  EXPECT_EQ(Outcome(created), Json::array({0, nullptr}));
  EXPECT_EQ(created_calls, (std::vector<Json>{Routed("DiRuzov", "PlayListGetMediumID", user_list),
                                              Routed("DiRuzov", "PlayListCreate", user_list),
                                              Routed("DiRuzov", "PlayListGetMediumID", user_list),
                                              Routed("DiRuzov", "PlayListAddItem", Json::parse(R"(["u", "PL9", "M5"])"))}));
  // An existing name: look up, clear (its code does not matter), add; the addition's code is the result.
  auto [cleared, cleared_calls] = run(L"PlaylistCreateAndSet", Json::array({"PL1"}),
                                      {{"PlayListClearAll", Code(6)}, {"PlayListAddItem", Code(11)}},
                                      R"(["", "list", "P5"])");
  EXPECT_EQ(cleared.rc, 11);
  EXPECT_EQ(cleared_calls,
            (std::vector<Json>{Routed("RiRodera", "PlayListGetMediumID", Json::parse(R"(["", "list"])")),
                               Routed("RiRodera", "PlayListClearAll", Json::parse(R"(["", "PL1"])")),
                               Routed("RiRodera", "PlayListAddItem", Json::parse(R"(["", "PL1", "P5"])"))}));
  // Both look-ups fail: the item goes to whatever the second one left, nothing.
  auto [unknown, unknown_calls] = run(L"PlaylistCreateAndSet", Json::array({-2, -2}), {{"PlayListAddItem", Code(4)}});
  EXPECT_EQ(unknown.rc, 4);
  ASSERT_EQ(unknown_calls.size(), 4u);
  EXPECT_EQ(unknown_calls[3]["params"], Json::parse(R"(["u", null, "M5"])"));

  // The item count: the first element of the content answer.
  auto [count, count_calls] = run(L"PlaylistGetCount", Json::array({"PL1"}),
                                  {{"PlayListGetContent", Answered(Json::parse(R"([4, "a", "b"])"))}});
  EXPECT_EQ(Outcome(count), Json::array({0, 4}));
  EXPECT_EQ(count_calls, (std::vector<Json>{Routed("DiRuzov", "PlayListGetMediumID", user_list),
                                            Routed("DiRuzov", "PlayListGetContent", Json::parse(R"(["u", "PL1"])"))}));
  const std::pair<Json, Reply> failed_counts[] = {
      {Json::array({5}), Code(0)},                      // the playlist id is no string
      {Json::array({-1}), Code(0)},                     // no playlist
      {Json::array({"PL1"}), Answered(Json("x"))},      // content no array
      {Json::array({"PL1"}), Answered(Json::array({"4"}))},  // no number in element 0
      {Json::array({"PL1"}), Answered(Json::array({4}), 3)},
  };
  for (const auto& [ids, content] : failed_counts) {
    auto [failed, calls] = run(L"PlaylistGetCount", ids, {{"PlayListGetContent", content}});
    EXPECT_EQ(Outcome(failed), Json::array({-1, nullptr})) << ids.dump();
    EXPECT_EQ(calls.size(), ids[0].is_string() ? 2u : 1u) << ids.dump();
  }

  // Items go only into a playlist that exists.
  auto [added, added_calls] = run(L"PlaylistAddItems", Json::array({"PL2"}), {{"PlayListAddItem", Code(9)}},
                                  R"(["u", "list", "TI4"])");
  EXPECT_EQ(added.rc, 9);
  EXPECT_EQ(added_calls.back(), Routed("Any", "PlayListAddItem", Json::parse(R"(["u", "PL2", "TI4"])")));
  auto [missing, missing_calls] = run(L"PlaylistAddItems", Json::array({-1}), {{"PlayListAddItem", Code(0)}});
  EXPECT_EQ(missing.rc, -1);
  EXPECT_EQ(missing_calls.size(), 1u);
}

TEST_F(PlaylistTest, ListAllGathersTheLibrariesThatAnswer) {
  RunningModule module;
  std::set<std::string> failing;
  auto satellites = Satellites(module, [&](const std::string& target, const std::string& service, const Json&) {
    if (service != "PlayListList" || failing.count(target) != 0) return Code(target == "ZiRUZ" ? 7 : 2);
    return Answered(Json::array({target + "-lists"}));
  });
  failing = {"DiRuzov", "RuRuruvi"};
  EXPECT_EQ(Outcome(module.Call(L"PlaylistListAll", R"(["u", 1])", 9)),
            Json::parse(R"([0, [["RiRodera", ["RiRodera-lists"]], ["ZiRUZ", ["ZiRUZ-lists"]], null, null]])"));
  std::vector<Json> order;
  for (const char* library : {"DiRuzov", "RiRodera", "RuRuruvi", "ZiRUZ"}) {
    order.push_back(Routed(library, "PlayListList", Json::parse(R"(["u", 1])")));
  }
  EXPECT_EQ(satellites->Journal(), order);

  failing = {"ZiRUZ"};
  // The last library's code, whatever the others did.
  EXPECT_EQ(Outcome(module.Call(L"PlaylistListAll", R"(["u"])")),
            Json::parse(R"([7, [["DiRuzov", ["DiRuzov-lists"]], ["RiRodera", ["RiRodera-lists"]],
                                ["RuRuruvi", ["RuRuruvi-lists"]], null]])"));

  failing = {"DiRuzov", "RiRodera", "RuRuruvi", "ZiRUZ"};
  EXPECT_EQ(Outcome(module.Call(L"PlaylistListAll", R"(["u"])")), Json::parse("[7, [null, null, null, null]]"));
}

TEST_F(PlaylistTest, MalformedInputGetsTheDocumentedCodes) {
  RunningModule module("{}");
  LogWindow log;
  std::vector<Service> all(std::begin(kSingleServices), std::end(kSingleServices));
  all.push_back(kGetPlaylistFromId);
  all.insert(all.end(), std::begin(kCompositeServices), std::end(kCompositeServices));
  all.push_back({L"PlaylistListAll", "PlayListList", "PlaylistListAll: "});

  // Read errors: the service's WARN line with the decoder's text (its own test has every kind), and -1.
  const std::pair<std::string, std::string> unreadable[] = {
      {R"("M1")", "Variant passed to VUtil::GetElement is not a variant array"},
      {R"([7, "M1", "M1"])", "Element is not a string"},
  };
  std::map<std::string, size_t> expected;  // WARN line -> how often
  for (const Service& service : all) {
    for (const auto& [input, message] : unreadable) {
      EXPECT_EQ(module.Call(service.name, input).rc, -1) << Narrow(service.name) << " " << input;
      ++expected[std::string("[WARN] - ") + service.warn + message];
    }
  }
  std::map<std::string, size_t> written;
  for (const std::string& line : log.Lines("[WARN] - ")) ++written[line.substr(line.find("[WARN] - "))];
  EXPECT_EQ(written, expected);
  // Null strings, wrong element types and missing elements, by service group.
  const std::pair<const char*, LONG> single[] = {
      {R"(["u", null])", 1}, {R"(["u", {"bstr": null}])", 1}, {R"(["u", 5])", -1}, {R"(["u"])", -1}};
  const std::pair<const char*, LONG> composite[] = {
      {R"(["u", null, "M1"])", 1}, {R"(["u", "list", {"bstr": null}])", 1}, {R"(["u", "list"])", -1},
      {R"(["u", 4, "M1"])", -1}};
  for (const Service& service : kSingleServices) {
    for (const auto& [input, code] : single) EXPECT_EQ(module.Call(service.name, input).rc, code) << input;
  }
  for (const Service& service : kCompositeServices) {
    for (const auto& [input, code] : composite) EXPECT_EQ(module.Call(service.name, input).rc, code) << input;
  }
  EXPECT_EQ(module.Call(L"GetPlaylistFromId", R"([null, null])").rc, 1);
  EXPECT_EQ(module.Call(L"PlaylistListAll", "[]").output, Json(nullptr));
}

TEST_F(PlaylistTest, TimingLinesOnlyWhereTheServiceHasThem) {
  RunningModule module(R"({"DiRuzov": {"PlayListGetContent": [{"when": ["u", "M1"], "rc": 0, "answer": "c"},
                                                              {"rc": 3}]}})");
  LogWindow log;
  EXPECT_EQ(module.Call(L"GetPlaylistFromId", R"(["u", "M1"])").rc, 0);
  EXPECT_EQ(log.Count("[DEBUG] - GetPlaylistFromId function returned in "), 1u);
  EXPECT_EQ(module.Call(L"GetPlaylistFromId", R"(["u", "M2"])").rc, 3);
  EXPECT_EQ(module.Call(L"PlaylistGet", R"(["u", "M1"])").rc, 0);
  EXPECT_EQ(log.Count("[DEBUG] - GetPlaylistFromId function returned in "), 1u);
  EXPECT_EQ(log.Count("[DEBUG] - Request GetMediumFromId returned in "), 3u);
  EXPECT_EQ(log.Count("[DEBUG]"), 4u);
}

TEST_F(PlaylistTest, BrokerFailuresEndTheServiceWithTheirHresultAndLeaveTheOutput) {
  RunningModule module;
  const HRESULT failure = static_cast<HRESULT>(0x80040000u | (::GetTickCount() & 0xFFFFu));
  std::string failing_operation;
  std::string failing_target;
  auto satellites = Satellites(module, [&](const std::string& target, const std::string& service, const Json&) {
    if (service == failing_operation && (failing_target.empty() || target == failing_target)) {
      return BrokerFails(failure);
    }
    return Answered(Json("PL1"));
  });
  char hex[16];
  snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(failure));
  LogWindow log;
  auto call = [&](const wchar_t* service, const std::string& input) {
    const Json outcome = CallOver(module, service, input, R"("before")");
    EXPECT_EQ(log.Count("[WARN] - " + Narrow(service) + ": broker call failed, hr = " + hex), 1u);
    return outcome;
  };
  const Json failed = Json::array({failure, "before"});

  failing_operation = "PlayListCreate";
  EXPECT_EQ(call(L"PlaylistNew", R"(["u", "M1"])"), failed);
  failing_operation = "PlayListList";
  failing_target = "RiRodera";
  size_t before = satellites->Journal().size();
  EXPECT_EQ(call(L"PlaylistListAll", R"(["u"])"), failed);
  EXPECT_EQ(satellites->Journal().size(), before + 2);  // nothing asked after the failure
  failing_target.clear();
  failing_operation = "PlayListClearAll";
  before = satellites->Journal().size();
  EXPECT_EQ(call(L"PlaylistCreateAndSet", R"(["u", "list", "V1"])"), failed);
  EXPECT_EQ(satellites->Journal().size(), before + 2);
  failing_operation = "PlayListGetContent";
  EXPECT_EQ(call(L"PlaylistGetCount", R"(["u", "list", "V1"])"), failed);
}

}  // namespace
}  // namespace zel::media
