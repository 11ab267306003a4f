// The standalone host driven as users drive it: a separate zelhost.exe process per command.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/text.h"
#include "common/unique_handle.h"
#include "support/host_process.h"
#include "support/test_support.h"

namespace zelhost {
namespace {

using zel::UniqueFile;
using zeltest::HostRun;
using zeltest::Narrow;
using zeltest::RunHost;

std::wstring ModuleLogPath() {
  std::wstring root;
  zel::GetCommonAppDataFolder(&root);
  return root + L"\\RodEzeduduv\\Logs\\ZovIdivariRuder.log";
}

size_t StartsLogged() {
  size_t count = 0;
  for (const std::string& line : zeltest::ReadLines(ModuleLogPath())) {
    count += line.find("=== ZovIdivariRuder starting ===") != std::string::npos;
  }
  return count;
}

class HostEndToEndTest : public ::testing::Test {
 protected:
  zeltest::LogLevelValue level_{3};  // restored after each test: the host writes it too
  zeltest::TempFolder folder_;
};

TEST_F(HostEndToEndTest, CallPrintsOneLineWithTheReturnCodeAndTheOutput) {
  const std::wstring path = folder_.WriteFile(L"hello.txt", "hello");
  const std::wstring quoted = zel::Utf8ToWide(DumpJson(Narrow(path)));

  HostRun info = RunHost({L"call", L"GetFileInfo", L"[" + quoted + L"]", L"--log-level", L"3"});
  EXPECT_EQ(info.exit_code, 0u) << info.err;
  EXPECT_EQ(info.out, "{\"rc\": 0, \"output\": [{\"i8\":5}]}\n");

  HostRun range = RunHost({L"call", L"GetFile", L"[" + quoted + L", 1, {\"i8\": 3}]", L"--requester", L"e2e"});
  EXPECT_EQ(range.exit_code, 0u) << range.err;
  EXPECT_EQ(ParseJson(range.out), ParseJson(R"({"rc": 0, "output": {"bytes": "ZWxs"}})"));

  HostRun unhandled = RunHost({L"--rc", L"7", L"call", L"getfile", L"[]"});
  EXPECT_EQ(unhandled.exit_code, 0u);
  EXPECT_EQ(unhandled.out, "{\"rc\": 7, \"output\": null}\n");
}

TEST_F(HostEndToEndTest, BadJsonIsRefusedBeforeTheModuleIsLoaded) {
  const size_t starts = StartsLogged();
  for (const std::wstring& input : {std::wstring(L"[1,"), std::wstring(L"{\"nosuchtag\": 1}")}) {
    HostRun run = RunHost({L"call", L"GetFile", input, L"--log-level", L"3"});
    EXPECT_EQ(run.exit_code, 2u) << Narrow(input);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err, "");
  }
  EXPECT_EQ(StartsLogged(), starts);

  const std::wstring satellites = folder_.WriteFile(L"satellites.json", R"({"DiRuzov": {"Op": {"answer": {"x": 1}}}})");
  HostRun bad_script = RunHost({L"--satellites", satellites, L"call", L"GetFile", L"[]"});
  EXPECT_EQ(bad_script.exit_code, 2u);
  EXPECT_NE(bad_script.err.find("unknown type tag"), std::string::npos) << bad_script.err;

  HostRun usage = RunHost({L"call", L"GetFile"});
  EXPECT_EQ(usage.exit_code, 2u);
  HostRun not_registered = RunHost({L"call", L"NoSuchService", L"null", L"--log-level", L"3"});
  EXPECT_EQ(not_registered.exit_code, 3u);
  EXPECT_EQ(StartsLogged(), starts + 1);
}

TEST_F(HostEndToEndTest, ServeAnswersEveryLineInOrder) {
  const std::wstring path = folder_.WriteFile(L"abc.txt", "abc");
  const std::string quoted = DumpJson(Narrow(path));
  const std::string input = "{\"service\": \"GetFileInfo\", \"input\": [" + quoted + "]}\n" +
                            "not json\n" +
                            "\n" +
                            "{\"service\": \"StartUpload\", \"rc\": 12, \"requester\": \"me\"}\r\n" +
                            "{\"service\": \"GetFile\", \"input\": [" + quoted + ", 2]}\n";
  HostRun run = RunHost({L"serve", L"--stdio"}, input);
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  std::vector<Json> lines;
  size_t start = 0;
  while (start < run.out.size()) {
    const size_t end = run.out.find('\n', start);
    lines.push_back(ParseJson(run.out.substr(start, end - start)));
    start = end + 1;
  }
  ASSERT_EQ(lines.size(), 4u) << run.out;
  EXPECT_EQ(lines[0], ParseJson(R"({"rc": 0, "output": [{"i8": 3}]})"));
  EXPECT_TRUE(lines[1].contains("error"));
  EXPECT_EQ(lines[2], ParseJson(R"({"rc": 12, "output": null})"));
  EXPECT_EQ(lines[3], ParseJson(R"({"rc": 0, "output": {"bytes": "Yw=="}})"));
}

TEST_F(HostEndToEndTest, TheJournalShowsWhichSatelliteGotWhichPlaylistOperation) {
  const std::wstring satellites = folder_.WriteFile(
      L"satellites.json", R"({"DiRuzov": {"PlayListCreate": {"rc": 0, "answer": "PL1"}},
                             "Any": {"PlayListGetMediumID": {"rc": 0, "answer": "PL2"},
                                     "PlayListClearAll": {"rc": 4},
                                     "PlayListAddItem": {"rc": 0, "answer": "added"}}})");
  const std::wstring journal = folder_.Path() + L"\\journal.txt";

  HostRun created = RunHost({L"--satellites", satellites, L"--journal", journal, L"call", L"PlaylistNew",
                             L"[\"x\",\"M12\"]"});
  EXPECT_EQ(created.exit_code, 0u) << created.err;
  EXPECT_EQ(ParseJson(created.out), ParseJson(R"({"rc": 0, "output": "PL1"})"));
  const std::string request = "{\"service\": \"PlaylistCreateAndSet\", \"input\": [\"x\", \"news\", \"TI9\"]}\n"
                              "{\"service\": \"PlaylistNew\", \"input\": [\"x\", \"Q1\"]}\n";
  HostRun served = RunHost({L"serve", L"--stdio", L"--satellites", satellites, L"--journal", journal}, request);
  EXPECT_EQ(served.exit_code, 0u) << served.err;
  EXPECT_EQ(served.out, "{\"rc\": 0, \"output\": null}\n{\"rc\": 404, \"output\": null}\n");

  EXPECT_EQ(zeltest::ReadLines(journal),
            (std::vector<std::string>{
                R"({"target": "DiRuzov", "service": "PlayListCreate", "params": ["x","M12"]})",
                R"({"target": "Any", "service": "PlayListGetMediumID", "params": ["x","news"]})",
                R"({"target": "Any", "service": "PlayListClearAll", "params": ["x","PL2"]})",
                R"({"target": "Any", "service": "PlayListAddItem", "params": ["x","PL2","TI9"]})",
            }));
}

TEST_F(HostEndToEndTest, GetDiskFolderContentListsARealFolder) {
  // A folder on the drive that maps the Linux root (Z:) where there is one, as users name them.
  std::wstring folder = L"Z:\\tmp\\" + zeltest::UniqueName(L"zel-browse");
  if (!::CreateDirectoryW(folder.c_str(), nullptr)) folder = folder_.Path();
  const auto write = [&](const std::wstring& name, const std::string& bytes) {
    UniqueFile file(::CreateFileW((folder + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  };
  write(L"small.mp3", "12");
  write(L"large.txt", "123456");
  ::CreateDirectoryW((folder + L"\\sub").c_str(), nullptr);
  const std::wstring satellites = folder_.WriteFile(
      L"satellites.json", R"({"ZidAvaraV2": {"GetExtensions": [{"when": ["", "audio"], "rc": 0, "answer": [".mp3"]}]}})");

  const std::wstring input = L"[\"\", " + zel::Utf8ToWide(DumpJson(Narrow(folder))) +
                             L", 3, \"\", \"title,type,size,mediaType\", \"size:desc\", 0, 0]";
  HostRun run = RunHost({L"--satellites", satellites, L"call", L"GetDiskFolderContent", input});
  for (const wchar_t* name : {L"small.mp3", L"large.txt"}) ::DeleteFileW((folder + L"\\" + name).c_str());
  ::RemoveDirectoryW((folder + L"\\sub").c_str());
  if (folder != folder_.Path()) ::RemoveDirectoryW(folder.c_str());

  EXPECT_EQ(run.exit_code, 0u) << run.err;
  const Json reply = ParseJson(run.out);
  EXPECT_EQ(reply["rc"], 0) << run.out;
  Json expected_rows = ParseJson(R"([["sub", "folder", "0", "file"], ["large.txt", "file", "6", "file"],
                                     ["small.mp3", "file", "2", "audio.file"]])");
  // The shell may show names without their extensions; the rest is fixed.
  const Json& rows = reply["output"][1];
  ASSERT_EQ(rows.size(), 3u) << run.out;
  for (size_t i = 0; i < 3; ++i) {
    const std::string title = rows[i][0];
    EXPECT_EQ(expected_rows[i][0].get<std::string>().rfind(title, 0), 0u) << title;
    for (size_t column = 1; column < 4; ++column) EXPECT_EQ(rows[i][column], expected_rows[i][column]) << run.out;
  }
  EXPECT_EQ(reply["output"][2], 1);
  EXPECT_EQ(reply["output"][3], 2);
}

}  // namespace
}  // namespace zelhost
