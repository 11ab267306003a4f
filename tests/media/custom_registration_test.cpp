#include <time.h>

#include <sstream>

#include "media/media_test_support.h"
#include "support/host_process.h"

namespace zel::media {
namespace {

using namespace zeltest;

constexpr const wchar_t* kRegister = L"Register Custom MediumId";

// The saved document's table; fails the test when it does not parse.
PrefixMap SavedTable() {
  PrefixMap table;
  const std::optional<std::string> text = ZelDocumentScope::Read();
  EXPECT_TRUE(text.has_value());
  EXPECT_TRUE(ParsePrefixDocument(text.value_or(""), &table));
  return table;
}

using CustomMediumIdTest = SatelliteServiceTest;
using CustomDvrTest = SatelliteServiceTest;

TEST_F(CustomMediumIdTest, KeysAreIssuedInOrderReusedPerSatelliteAndSaved) {
  RunningModule module;
  const int64_t start = _time64(nullptr);
  EXPECT_EQ(module.Call(kRegister, R"(["a", "b", "c"])", 0, L"Sat1").output, Json("XAA"));
  EXPECT_EQ(module.Call(kRegister, R"(["d", "e", "f", "g"])", 0, L"Sat2").output, Json("XAB"));
  EXPECT_EQ(module.Call(kRegister, R"(["h", "i", "j"])", 0, L"sat1").output, Json("XAC"));  // case counts
  EXPECT_EQ(Outcome(module.Call(kRegister, R"(["a2", "b2", "c2", "s2"])", 7, L"Sat1")), Json::array({0, "XAA"}));
  EXPECT_EQ(module.Call(kRegister, R"({"array": ["k", "l", "m"], "of": "bstr"})", 0, L"Sat3").output, Json("XAD"));

  PrefixMap saved = SavedTable();
  ASSERT_EQ(saved.size(), 4u);
  const int64_t end = _time64(nullptr);
  for (const auto& [key, entry] : saved) {
    EXPECT_TRUE(entry.timestamp >= start && entry.timestamp <= end) << Narrow(key) << " " << entry.timestamp;
  }
  EXPECT_EQ(saved.at(L"AA"), (PrefixEntry{L"Sat1", L"a2", L"b2", L"c2", L"s2", saved.at(L"AA").timestamp}));
  EXPECT_EQ(saved.at(L"AB"), (PrefixEntry{L"Sat2", L"d", L"e", L"f", L"g", saved.at(L"AB").timestamp}));
  EXPECT_EQ(saved.at(L"AC"), (PrefixEntry{L"sat1", L"h", L"i", L"j", L"IsMediumShared", saved.at(L"AC").timestamp}));

  // Unusable input: 1, the WARN line for read errors, nothing stored.
  LogWindow log;
  const std::string before = ZelDocumentScope::Read().value_or("");
  const std::pair<std::string, const char*> refused[] = {
      {R"(["a", "b"])", nullptr},
      {R"("a")", "Variant passed to VUtil::GetArrayLength is not an array"},
      {R"({"array": ["a", "b", "c"], "of": "variant", "lbound": 1})", "Array is not zero indexed! (VUtil::GetArrayLength)"},
      {R"(["a", 5, "c"])", "Element is not a string"},
      {R"({"array": [1, 2, 3], "of": "i4"})", "Not an array of variant or string"},
  };
  for (const auto& [input, message] : refused) {
    const std::string warning = std::string("[WARN] - RegisterCustomMediumId exception: ") + (message ? message : "");
    const size_t warnings = log.Count(warning);
    EXPECT_EQ(Outcome(module.Call(kRegister, input, 0, L"Refused")), Json::array({1, nullptr})) << input;
    EXPECT_EQ(log.Count(warning), warnings + (message != nullptr ? 1u : 0u)) << input;
  }
  EXPECT_EQ(ZelDocumentScope::Read().value_or(""), before);
}

TEST_F(CustomMediumIdTest, NewKeysFollowTheLargestKeyOfALoadedTable) {
  const std::pair<std::string, Json> cases[] = {
      {"<MediumIdPrefix Prefix=\"AZ\" Satellite=\"S1\"/><MediumIdPrefix Prefix=\"AC\" Satellite=\"S2\"/>", "XBA"},
      {"<MediumIdPrefix Prefix=\"AA\" Satellite=\"Late\"/>", "XAA"},  // a satellite it knows keeps its key
      {"<MediumIdPrefix Prefix=\"\xEF\xBF\xBFZ\" Satellite=\"S1\"/>", nullptr},  // no key left
  };
  for (const auto& [prefixes, expected] : cases) {
    ZelDocumentScope document(PrefixDocument(prefixes));
    RunningModule module;
    LogWindow log;
    EXPECT_EQ(Outcome(module.Call(kRegister, R"(["a", "b", "c"])", 5, L"Late")),
              Json::array({expected.is_null() ? 1 : 0, expected}))
        << prefixes;
    if (expected.is_null()) {
      EXPECT_EQ(log.Count("[WARN] - RegisterCustomMediumId exception: no medium-id key is left"), 1u);
      EXPECT_EQ(SavedTable().size(), 1u);
    } else {
      const PrefixEntry saved = SavedTable().at(zelhost::FromUtf8(expected.get<std::string>()).substr(1));
      EXPECT_EQ(saved.satellite + L" " + saved.getMediumFromId, L"Late a") << prefixes;
    }
  }
}

// A document that is there but cannot be loaded is never written over: registrations answer 1,
// lookups retry the load, and once it loads registrations go on after its keys.
TEST_F(CustomMediumIdTest, ADocumentThatCannotBeLoadedIsLeftAsItIs) {
  const std::string valid = PrefixDocument("<MediumIdPrefix Prefix=\"AA\" Satellite=\"Old\" GetMediumFromId=\"g\"/>");
  std::string deep = valid;
  for (size_t i = 0; i <= kDeepestNesting; ++i) deep.insert(deep.find("</MediumIdPrefixs>"), "<a>");
  struct Case {
    const char* what;
    std::string content;
    bool hold;  // held open without sharing by another
  };
  const Case cases[] = {{"corrupt", valid.substr(0, valid.size() / 2), false},
                        {"too deep", deep, false},
                        {"held", valid, true}};
  for (const Case& c : cases) {
    ZelDocumentScope document(c.content);
    zel::UniqueFile holder;
    if (c.hold) {
      holder.Reset(::CreateFileW(ZelDocumentScope::Path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(holder);
    }
    LogWindow log;
    RunningModule module(R"({"Old": {"PlayListCreate": {"rc": 0, "answer": "made"}}})");
    EXPECT_EQ(log.Count("[ERROR] - Cannot load the medium-id prefixes from"), 1u) << c.what;
    EXPECT_EQ(Outcome(module.Call(kRegister, R"(["a", "b", "c"])", 5, L"New")), Json::array({1, nullptr})) << c.what;
    EXPECT_EQ(log.Count("[WARN] - RegisterCustomMediumId exception: cannot load"), 1u) << c.what;
    EXPECT_EQ(module.Call(L"PlaylistNew", R"(["u", "XAA1"])").rc, 404) << c.what;
    holder.Reset();
    EXPECT_EQ(ZelDocumentScope::Read(), c.content) << c.what;

    ZelDocumentScope::Write(valid);
    ::Sleep(PrefixStore::kLookupRetryMs + 100);  // lookups retry the load at most once a second
    EXPECT_EQ(module.Call(L"PlaylistNew", R"(["u", "XAA1"])").output, Json("made")) << c.what;
    EXPECT_EQ(module.Call(kRegister, R"(["a", "b", "c"])", 5, L"New").output, Json("XAB")) << c.what;
  }
}

// A key is answered only once it is saved; a refused save changes neither the document nor the
// routes, and is answered 1.
TEST_F(CustomMediumIdTest, AFailedSaveAnswersOneAndKeepsDocumentAndTable) {
  ZelDocumentScope document(PrefixDocument("<MediumIdPrefix Prefix=\"AA\" Satellite=\"S1\"/>"));
  const std::string before = ZelDocumentScope::Read().value();
  RunningModule module(R"({"Blocked": {"PlayListCreate": {"rc": 0, "answer": "made"}}})");
  const std::wstring pending = PendingDocumentPath(ZelDocumentScope::Path());
  const std::string huge_name(kLargestDocument, 'n');  // the document would outgrow what loads
  const std::string huge = "[\"" + huge_name + "\", \"b\", \"c\"]";
  struct Case {
    const char* what;
    std::function<void()> block, unblock;
    std::string input;
    const char* warning;
  };
  zel::UniqueFile reader;
  const Case cases[] = {
      {"pending file blocked", [&] { ::CreateDirectoryW(pending.c_str(), nullptr); },
       [&] { ::RemoveDirectoryW(pending.c_str()); }, R"(["a", "b", "c"])", "cannot replace"},
      {"reader holds the document",
       [&] {
         reader.Reset(::CreateFileW(ZelDocumentScope::Path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
       },
       [&] { reader.Reset(); }, R"(["a", "b", "c"])", "cannot replace"},
      {"too large", [] {}, [] {}, huge, "the document would grow to"},
  };
  for (const Case& c : cases) {
    LogWindow log;
    c.block();
    const Json outcome = Outcome(module.Call(kRegister, c.input, 5, L"Blocked"));
    c.unblock();
    EXPECT_EQ(outcome, Json::array({1, nullptr})) << c.what;
    EXPECT_EQ(log.Count(std::string("[WARN] - RegisterCustomMediumId exception: ") + c.warning), 1u) << c.what;
    EXPECT_EQ(ZelDocumentScope::Read().value_or(""), before) << c.what;
    EXPECT_EQ(module.Call(L"PlaylistNew", R"(["u", "XAB1"])").rc, 404) << c.what;  // nothing routed
  }
  EXPECT_EQ(module.Call(kRegister, R"(["a", "b", "c"])", 5, L"Blocked").output, Json("XAB"));
  EXPECT_EQ(module.Call(L"PlaylistNew", R"(["u", "XAB1"])").output, Json("made"));
}

// Host processes sharing the data folder take turns through the lock file beside the document
// (see DocumentLock for why a file and not a named mutex): each re-reads the document under it,
// so no registration is lost and no key is given twice.
TEST_F(CustomMediumIdTest, ProcessesSharingTheDataFolderNeverShareAKey) {
  constexpr int kProcesses = 3;
  constexpr int kSatellites = 30;
  std::vector<HostRun> runs(kProcesses);
  std::vector<std::thread> hosts;
  for (int p = 0; p < kProcesses; ++p) {
    std::string requests;
    for (int s = 0; s < kSatellites; ++s) {
      requests += R"({"service": "Register Custom MediumId", "input": ["g", "i", "l"], "requester": "P)" +
                  std::to_string(p) + "-S" + std::to_string(s) + "\"}\n";
    }
    hosts.emplace_back([&runs, p, requests] { runs[p] = RunHost({L"--workers", L"4", L"serve", L"--stdio"}, requests); });
  }
  for (std::thread& host : hosts) host.join();

  std::map<std::string, int> keys;  // key -> times answered
  for (const HostRun& run : runs) {
    std::istringstream lines(run.out);
    int replies = 0;
    for (std::string line; std::getline(lines, line); ++replies) {
      const Json reply = Json::parse(line);
      EXPECT_EQ(reply["rc"], 0) << line;
      if (reply["output"].is_string()) ++keys[reply["output"].get<std::string>()];
    }
    EXPECT_EQ(replies, kSatellites) << run.err;
  }
  EXPECT_EQ(keys.size(), size_t{kProcesses * kSatellites});
  for (const auto& [key, times] : keys) EXPECT_EQ(times, 1) << key;
  const PrefixMap saved = SavedTable();
  EXPECT_EQ(saved.size(), size_t{kProcesses * kSatellites});
  std::set<std::wstring> satellites;
  for (const auto& [key, entry] : saved) {
    EXPECT_EQ(keys.count("X" + Narrow(key)), 1u) << Narrow(key);
    satellites.insert(entry.satellite);
  }
  EXPECT_EQ(satellites.size(), size_t{kProcesses * kSatellites});
}

// Reads the document the way a careful reader does, letting the writer replace it meanwhile.
std::optional<std::string> ReadShared(const std::wstring& path) {
  zel::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return std::nullopt;
  std::string text(1 << 16, '\0');
  DWORD got = 0;
  if (!::ReadFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &got, nullptr)) return std::nullopt;
  text.resize(got);
  return text;
}

TEST_F(CustomMediumIdTest, ThirtyTwoSatellitesRegisteringAtOnce) {
  RunningModule module;
  constexpr int kSatellites = 32;
  constexpr int kRounds = 3;
  std::vector<std::vector<Json>> answers(kSatellites);
  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::atomic<int> bad_reads{0};
  std::thread reader([&] {
    while (!done) {
      if (std::optional<std::string> text = ReadShared(ZelDocumentScope::Path())) {
        PrefixMap table;
        ++reads;
        if (!ParsePrefixDocument(*text, &table)) ++bad_reads;
      }
    }
  });
  std::vector<std::thread> satellites;
  for (int s = 0; s < kSatellites; ++s) {
    satellites.emplace_back([&, s] {
      for (int round = 0; round < kRounds; ++round) {
        const std::string input = "[\"get" + std::to_string(round) + "\", \"info\", \"list\"]";
        const RunningModule::Reply reply = module.Call(kRegister, input, -5, L"Sat-" + std::to_wstring(s));
        answers[s].push_back(reply.rc == 0 ? reply.output : Json(reply.rc));
      }
    });
  }
  for (std::thread& satellite : satellites) satellite.join();
  done = true;
  reader.join();

  std::map<std::wstring, std::wstring> keys;  // key -> satellite
  for (int s = 0; s < kSatellites; ++s) {
    ASSERT_TRUE(answers[s][0].is_string()) << answers[s][0].dump();
    for (const Json& answer : answers[s]) EXPECT_EQ(answer, answers[s][0]) << s;  // one key per satellite
    const std::wstring key = zelhost::FromUtf8(answers[s][0].get<std::string>()).substr(1);
    EXPECT_TRUE(keys.emplace(key, L"Sat-" + std::to_wstring(s)).second) << "shared key " << Narrow(key);
  }
  EXPECT_EQ(keys.begin()->first, L"AA");
  EXPECT_EQ(keys.rbegin()->first, L"BF");  // 32 keys, none skipped

  const PrefixMap saved = SavedTable();
  ASSERT_EQ(saved.size(), keys.size());
  for (const auto& [key, entry] : saved) {
    EXPECT_EQ(entry.satellite, keys[key]);
    EXPECT_EQ(entry.getMediumFromId, L"get2");  // the last round of each satellite
  }
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(bad_reads.load(), 0);
}

TEST_F(CustomDvrTest, RegistrationsAreKeptPerRequesterAndListedInOrder) {
  RunningModule module;
  EXPECT_EQ(CallOver(module, L"Get Registered DVRs", "null", "7"), Json::array({0, nullptr}));  // emptied
  EXPECT_EQ(CallOver(module, L"Register Custom DVR", R"(["a", "b"])", R"("untouched")", L"Dvr2"),
            Json::array({0, "untouched"}));
  EXPECT_EQ(module.Call(L"Register Custom DVR", R"(["c", null, "extra"])", 0, L"Dvr1").rc, 0);
  EXPECT_EQ(module.Call(L"Register Custom DVR", R"(["e", "f"])", 0, L"Dvr2").rc, 0);

  LogWindow log;
  EXPECT_EQ(module.Call(L"Register Custom DVR", R"(["x"])", 0, L"Dvr3").rc, 1);
  EXPECT_EQ(module.Call(L"Register Custom DVR", R"(["x", 5])", 0, L"Dvr3").rc, 1);
  EXPECT_EQ(module.Call(L"Register Custom DVR", R"(5)", 0, L"Dvr3").rc, 1);
  EXPECT_EQ(log.Count("[WARN] - RegisterCustomDVR exception: Element is not a string"), 1u);
  EXPECT_EQ(log.Count("[WARN] - RegisterCustomDVR exception: Variant passed to VUtil::GetArrayLength is not an array"),
            1u);

  EXPECT_EQ(Outcome(module.Call(L"Get Registered DVRs", "[]", 9)),
            Json::parse(R"([0, [["Dvr1", "c", ""], ["Dvr2", "e", "f"]]])"));
}

}  // namespace
}  // namespace zel::media
