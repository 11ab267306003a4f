#include <time.h>

#include <sstream>

#include "media/media_test_support.h"
#include "support/host_process.h"

namespace zel::media {
namespace {

using namespace zeltest;

constexpr const wchar_t* kRegister = L"Register Custom MediumId";

// The saved document's table; fails the test when it does not parse.
PrefixMap SavedTable(DocumentTable* whole = nullptr) {
  DocumentTable document;
  const std::optional<std::string> text = ZelDocumentScope::Read();
  EXPECT_TRUE(text.has_value());
  EXPECT_EQ(ParsePrefixDocument(text.value_or(""), &document).state, DocumentState::kLoaded);
  if (whole != nullptr) *whole = document;
  return document.table;
}

// The documents set aside beside zel.xml (name, bytes), removed once read.
std::vector<std::pair<std::wstring, std::string>> TakeSetAside() {
  const std::wstring document = ZelDocumentScope::Path();
  const std::wstring folder = document.substr(0, document.rfind(L'\\') + 1);
  std::vector<std::pair<std::wstring, std::string>> found;
  WIN32_FIND_DATAW data{};
  zel::UniqueFind find(::FindFirstFileW((document + L".unreadable-*").c_str(), &data));
  for (bool more = static_cast<bool>(find); more; more = ::FindNextFileW(find.Get(), &data)) {
    found.emplace_back(folder + data.cFileName, ReadBytes(folder + data.cFileName));
  }
  find.Reset();
  for (const auto& [path, bytes] : found) ::DeleteFileW(path.c_str());
  return found;
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

// A document that is there but cannot be loaded is set aside beside itself, never deleted, and
// registrations go on in a new table; one of a newer Version, or one that cannot be read at all,
// is left as it is and refuses them.
TEST_F(CustomMediumIdTest, ADocumentThatCannotBeLoadedIsSetAsideUnlessItIsNewerOrHeld) {
  const std::string valid = PrefixDocument("<MediumIdPrefix Prefix=\"AA\" Satellite=\"Old\" GetMediumFromId=\"g\"/>");
  std::string deep = valid;
  for (size_t i = 0; i <= kDeepestNesting; ++i) deep.insert(deep.find("</MediumIdPrefixs>"), "<a>");
  for (size_t i = 0; i <= kDeepestNesting; ++i) deep.insert(deep.rfind("</MediumIdPrefixs>"), "</a>");
  struct Case {
    const char* what;
    std::string content;
    const char* reason;  // in the ERROR line that names the set-aside file; null: not set aside
  };
  const Case set_aside[] = {
      {"empty", "", "it is not well-formed XML"},
      {"garbage", std::string("\0\xFF\xFEgarbage", 10), "it is not well-formed XML"},
      {"cut short", valid.substr(0, valid.size() / 2), "it is not well-formed XML"},
      {"no Version", PrefixDocument("<MediumIdPrefix Prefix=\"AA\"/>", ""), "\"Settings\" has no \"Version\""},
      {"Version 1.00", PrefixDocument("<MediumIdPrefix Prefix=\"AA\"/>", "Version=\"1.00\""), "its Version \"1.00\" is not 1.0"},
      {"too deep", deep, "Element nesting is too deep"},
  };
  for (const Case& c : set_aside) {
    ZelDocumentScope document(c.content);
    LogWindow log;
    RunningModule module;
    const auto aside = TakeSetAside();
    ASSERT_EQ(aside.size(), 1u) << c.what;
    EXPECT_EQ(aside[0].second, c.content) << c.what;
    const std::vector<std::string> lines = log.Lines("[ERROR] - The medium-id prefixes in ");
    ASSERT_EQ(lines.size(), 1u) << c.what;
    EXPECT_NE(lines[0].find(c.reason), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("The document is kept as " + Narrow(aside[0].first)), std::string::npos) << lines[0];
    EXPECT_EQ(module.Call(kRegister, R"(["a", "b", "c"])", 5, L"New").output, Json("XAA")) << c.what;
    EXPECT_EQ(SavedTable().at(L"AA").satellite, L"New") << c.what;
  }

  // Broken while the module runs: set aside at the next registration, which goes on from the keys
  // this process knows.
  {
    ZelDocumentScope document(valid);
    RunningModule module;
    ZelDocumentScope::Write("");
    EXPECT_EQ(module.Call(kRegister, R"(["a", "b", "c"])", 5, L"New").output, Json("XAB"));
    EXPECT_EQ(TakeSetAside().size(), 1u);
    EXPECT_EQ(SavedTable().size(), 2u);
  }

  struct Refused {
    const char* what;
    std::string content;
    bool hold;  // held open without sharing by another; else newer
  };
  const Refused refused[] = {
      {"newer", PrefixDocument("<MediumIdPrefix Prefix=\"AA\" Satellite=\"Old\"/>", "Version=\"2.0\""), false},
      {"held", valid, true},
  };
  for (const Refused& c : refused) {
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
    EXPECT_EQ(log.Count("are a later product's (its Version \"2.0\" is newer than 1.0"), c.hold ? 0u : 1u) << c.what;
    EXPECT_EQ(module.Call(L"PlaylistNew", R"(["u", "XAA1"])").rc, 404) << c.what;
    holder.Reset();
    EXPECT_EQ(ZelDocumentScope::Read(), c.content) << c.what;
    EXPECT_TRUE(TakeSetAside().empty()) << c.what;

    ZelDocumentScope::Write(valid);
    ::Sleep(PrefixStore::kLookupRetryMs + 100);  // lookups look at the document at most once a second
    EXPECT_EQ(module.Call(L"PlaylistNew", R"(["u", "XAA1"])").output, Json("made")) << c.what;
    EXPECT_EQ(module.Call(kRegister, R"(["a", "b", "c"])", 5, L"New").output, Json("XAB")) << c.what;
  }
}

// A document that cannot be written does not lose the key: it is answered and routed from memory,
// and the next registration, or Close, saves it.
TEST_F(CustomMediumIdTest, AKeyThatCannotBeSavedIsAnsweredRoutedAndSavedLater) {
  ZelDocumentScope document(PrefixDocument("<MediumIdPrefix Prefix=\"AA\" Satellite=\"S1\"/>"));
  const std::wstring path = ZelDocumentScope::Path();
  const std::wstring pending = PendingDocumentPath(path);
  zel::UniqueFile holder;
  struct Case {
    const char* what;
    std::function<void()> block, unblock;
    const char* failure;
  };
  const Case cases[] = {
      {"pending file blocked", [&] { ::CreateDirectoryW(pending.c_str(), nullptr); },
       [&] { ::RemoveDirectoryW(pending.c_str()); }, "cannot replace"},
      {"reader holds the document",
       [&] {
         holder.Reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
       },
       [&] { holder.Reset(); }, "cannot replace"},
      {"read-only", [&] { ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY); },
       [&] { ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL); }, "cannot replace"},
      {"lock held past its wait",
       [&] {
         holder.Reset(::CreateFileW(DocumentLock::LockPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_ALWAYS, 0, nullptr));
       },
       [&] { holder.Reset(); }, "cannot take"},
  };
  std::string satellites = "{";
  for (int i = 0; i < 5; ++i) {
    satellites += (i > 0 ? ", " : "") + ("\"Blocked" + std::to_string(i) + "\": {\"PlayListCreate\": {\"rc\": 0, \"answer\": \"made\"}}");
  }
  satellites += "}";
  {
    RunningModule module(satellites);
    char key = 'B';
    for (size_t i = 0; i < std::size(cases); ++i) {
      const Case& c = cases[i];
      const std::string before = ZelDocumentScope::Read().value();
      const std::wstring satellite = L"Blocked" + std::to_wstring(i);
      const std::string expected = std::string("XA") + key++;
      LogWindow log;
      c.block();
      EXPECT_EQ(Outcome(module.Call(kRegister, R"(["a", "b", "c"])", 5, satellite)), Json::array({0, expected})) << c.what;
      EXPECT_EQ(module.Call(L"PlaylistNew", "[\"u\", \"" + expected + "1\"]").output, Json("made")) << c.what;
      EXPECT_EQ(ZelDocumentScope::Read().value_or(""), before) << c.what;
      c.unblock();
      EXPECT_EQ(log.Count(std::string("[ERROR] - The medium-id prefixes cannot be saved: ") + c.failure), 1u) << c.what;
      // The next registration saves both.
      const std::string next = std::string("XA") + key++;
      EXPECT_EQ(module.Call(kRegister, R"(["a", "b", "c"])", 5, L"Next" + std::to_wstring(i)).output, Json(next));
      const PrefixMap saved = SavedTable();
      EXPECT_EQ(saved.at(zelhost::FromUtf8(expected.substr(1))).satellite, satellite) << c.what;
      EXPECT_EQ(saved.count(zelhost::FromUtf8(next.substr(1))), 1u) << c.what;
    }

    // Saved at Close at the latest.
    cases[2].block();
    EXPECT_EQ(module.Call(kRegister, R"(["a", "b", "c"])", 5, L"Blocked4").output, Json(std::string("XA") + key));
    cases[2].unblock();
  }
  EXPECT_EQ(SavedTable().at(std::wstring(L"A") + wchar_t(L'A' + 9)).satellite, L"Blocked4");

  // A document that would outgrow what loads is refused: 1, nothing stored or routed.
  RunningModule module(R"({"Huge": {"PlayListCreate": {"rc": 0, "answer": "made"}}})");
  LogWindow log;
  const std::string before = ZelDocumentScope::Read().value();
  const std::string huge = "[\"" + std::string(kLargestDocument, 'n') + "\", \"b\", \"c\"]";
  EXPECT_EQ(Outcome(module.Call(kRegister, huge, 5, L"Huge")), Json::array({1, nullptr}));
  EXPECT_EQ(log.Count("[WARN] - RegisterCustomMediumId exception: the document would grow to"), 1u);
  EXPECT_EQ(ZelDocumentScope::Read().value_or(""), before);
  EXPECT_EQ(module.Call(L"PlaylistNew", R"(["u", "XAK1"])").rc, 404);
}

// Lookups see what another process saved; entries the table does not use as written (a second
// element of a Prefix, one without a Prefix) are named in a WARN line and kept in every save.
TEST_F(CustomMediumIdTest, LookupsSeeOtherProcessesKeysAndSavesKeepWhatTheyLoaded) {
  RunningModule module(R"({"First": {"PlayListCreate": {"rc": 0, "answer": "first"}},
                           "Second": {"PlayListCreate": {"rc": 0, "answer": "second"}},
                           "Later": {"PlayListCreate": {"rc": 0, "answer": "later"}}})");
  EXPECT_EQ(module.Call(L"PlaylistNew", R"(["u", "XAA1"])").rc, 404);
  LogWindow log;
  const std::string written = PrefixDocument(
      "<MediumIdPrefix Prefix=\"AA\" Satellite=\"First\"/><MediumIdPrefix Prefix=\"AA\" Satellite=\"Second\"/>"
      "<MediumIdPrefix Satellite=\"Unnamed\"/>");
  ::Sleep(PrefixStore::kLookupRetryMs + 100);
  ZelDocumentScope::Write(written);  // by "another process"
  EXPECT_EQ(module.Call(L"PlaylistNew", R"(["u", "XAA1"])").output, Json("first"));  // the first of a Prefix
  EXPECT_EQ(log.Count("[WARN] - The medium-id prefixes in " + Narrow(ZelDocumentScope::Path()) +
                      " hold 2 entries that are not used as written: Prefix 'AA' (satellite 'Second'), no Prefix "
                      "(satellite 'Unnamed')"),
            1u);
  ZelDocumentScope::Write(written.substr(0, written.find("</MediumIdPrefixs>")) +
                          "<MediumIdPrefix Prefix=\"AB\" Satellite=\"Later\"/>" +
                          written.substr(written.find("</MediumIdPrefixs>")));
  ::Sleep(PrefixStore::kLookupRetryMs + 100);
  EXPECT_EQ(module.Call(L"PlaylistNew", R"(["u", "XAB1"])").output, Json("later"));

  EXPECT_EQ(module.Call(kRegister, R"(["a", "b", "c"])", 5, L"New").output, Json("XAC"));
  DocumentTable saved;
  EXPECT_EQ(SavedTable(&saved).size(), 4u);  // "", AA, AB, AC
  ASSERT_EQ(saved.kept.size(), 2u);
  EXPECT_EQ(saved.kept[0].xml, "<MediumIdPrefix Prefix=\"AA\" Satellite=\"Second\"/>");
  EXPECT_EQ(saved.kept[1].xml, "<MediumIdPrefix Satellite=\"Unnamed\"/>");
}

// Host processes sharing the data folder take turns through the lock file beside the document
// (see DocumentLock for why a file and not a named mutex): each re-reads the document under it,
// so no registration is lost and no key is given twice, also while the document is read-only for
// a moment (the keys wait in the lock file's note and in memory, and are saved later).
TEST_F(CustomMediumIdTest, ProcessesSharingTheDataFolderNeverShareAKeyNorLoseOneWhileItCannotBeSaved) {
  constexpr int kProcesses = 3;
  constexpr int kSatellites = 30;
  const std::wstring path = ZelDocumentScope::Path();
  std::vector<HostRun> runs(kProcesses);
  std::vector<std::thread> hosts;
  for (int p = 0; p < kProcesses; ++p) {
    std::string requests;
    for (int s = 0; s < kSatellites; ++s) {
      requests += R"({"service": "Register Custom MediumId", "input": ["g", "i", "l"], "requester": "P)" +
                  std::to_string(p) + "-S" + std::to_string(s) + "\"}\n";
    }
    // Then every key the three may have been given: its own keys must route (to a satellite the
    // host does not know, which answers -1), the others may not (404).
    for (char first = 'A'; first <= 'D'; ++first) {
      for (char second = 'A'; second <= 'Z'; ++second) {
        requests += std::string(R"({"service": "PlaylistNew", "input": ["u", "X)") + first + second + "1\"]}\n";
      }
    }
    hosts.emplace_back([&runs, p, requests] { runs[p] = RunHost({L"--workers", L"4", L"serve", L"--stdio"}, requests); });
  }
  // The fourth party: makes the document read-only once it exists, until a registration has left
  // its unsaved keys in the lock file's note.
  bool note_seen = false;
  std::thread fourth([&] {
    const ULONGLONG deadline = ::GetTickCount64() + 60000;
    while (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES && ::GetTickCount64() < deadline) ::Sleep(1);
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
    while (!note_seen && ::GetTickCount64() < deadline) {
      zel::UniqueFile lock(::CreateFileW(DocumentLock::LockPath(path).c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
      LARGE_INTEGER size{};
      note_seen = lock && ::GetFileSizeEx(lock.Get(), &size) && size.QuadPart > 0;
      ::Sleep(5);
    }
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  });
  for (std::thread& host : hosts) host.join();
  fourth.join();
  EXPECT_TRUE(note_seen) << "no registration met the read-only document";

  std::map<std::string, int> keys;  // key -> times answered
  for (const HostRun& run : runs) {
    std::istringstream lines(run.out);
    std::set<std::string> mine;
    int replies = 0;
    for (std::string line; std::getline(lines, line); ++replies) {
      const Json reply = Json::parse(line);
      if (replies < kSatellites) {
        EXPECT_EQ(reply["rc"], 0) << line;
        if (reply["output"].is_string() && mine.insert(reply["output"].get<std::string>()).second) {
          ++keys[reply["output"].get<std::string>()];
        }
      } else {
        const std::string id = "X" + std::string(1, 'A' + (replies - kSatellites) / 26) +
                               std::string(1, 'A' + (replies - kSatellites) % 26);
        if (mine.count(id) != 0) {
          EXPECT_EQ(reply["rc"], -1) << id << " is not routed where it was given: " << line;
        }
      }
    }
    EXPECT_EQ(replies, kSatellites + 4 * 26) << run.err;
    EXPECT_EQ(mine.size(), size_t{kSatellites});
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
        DocumentTable table;
        ++reads;
        if (ParsePrefixDocument(*text, &table).state != DocumentState::kLoaded) ++bad_reads;
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
