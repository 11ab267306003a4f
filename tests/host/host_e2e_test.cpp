// The standalone host driven as users drive it: a separate zelhost.exe process per command, once
// with the broker in the host's process and once with the broker in zelbroker.exe.

#include <windows.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "common/text.h"
#include "support/host_process.h"
#include "support/test_support.h"

namespace zelhost {
namespace {

using zeltest::HostRun;
using zeltest::Narrow;

size_t StartsLogged() {
  return zeltest::LinesWith(zeltest::LogsFolder() + L"ZovIdivariRuder.log", "=== ZovIdivariRuder starting ===").size();
}

class HostEndToEndTest : public ::testing::TestWithParam<const wchar_t*> {
 protected:
  HostRun RunHost(std::vector<std::wstring> args, const std::string& input = "") {
    args.insert(args.begin(), {L"--broker", GetParam()});
    return zeltest::RunHost(args, input);
  }

  zeltest::LogLevelValue level_{3};  // restored after each test: the host writes it too
  zeltest::TempFolder folder_;
};

TEST_P(HostEndToEndTest, CallPrintsOneLineWithTheReturnCodeAndTheOutput) {
  const std::wstring path = folder_.WriteFile(L"hello.txt", "hello");
  const std::wstring quoted = zel::Utf8ToWide(DumpJson(Narrow(path)));

  const std::pair<std::vector<std::wstring>, std::string> calls[] = {
      {{L"call", L"GetFileInfo", L"[" + quoted + L"]", L"--log-level", L"3"}, R"({"rc": 0, "output": [{"i8":5}]})"},
      {{L"call", L"GetFile", L"[" + quoted + L", 1, {\"i8\": 3}]", L"--requester", L"e2e"},
       R"({"rc": 0, "output": {"bytes":"ZWxs"}})"},
      {{L"--rc", L"7", L"call", L"getfile", L"[]"}, R"({"rc": 7, "output": null})"}};
  for (const auto& [args, expected] : calls) {
    const HostRun run = RunHost(args);
    EXPECT_EQ(run.exit_code, 0u) << run.err;
    EXPECT_EQ(run.out, expected + "\n");
  }
}

TEST_P(HostEndToEndTest, BadJsonIsRefusedBeforeTheModuleIsLoaded) {
  const std::wstring satellites = folder_.WriteFile(L"satellites.json", R"({"DiRuzov": {"Op": {"answer": {"x": 1}}}})");
  const std::pair<std::vector<std::wstring>, std::string> refused[] = {
      {{L"call", L"GetFile", L"[1,"}, ""}, {{L"call", L"GetFile", L"{\"nosuchtag\": 1}"}, ""},
      {{L"--satellites", satellites, L"call", L"GetFile", L"[]"}, "unknown type tag"}, {{L"call", L"GetFile"}, ""}};
  const size_t starts = StartsLogged();
  for (const auto& [args, message] : refused) {
    const HostRun run = RunHost(args);
    EXPECT_EQ(run.exit_code, 2u) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(!run.err.empty() && run.err.find(message) != std::string::npos) << run.err;
  }
  EXPECT_EQ(StartsLogged(), starts);
  EXPECT_EQ(RunHost({L"call", L"NoSuchService", L"null", L"--log-level", L"3"}).exit_code, 3u);
  EXPECT_EQ(StartsLogged(), starts + 1);
}

TEST_P(HostEndToEndTest, ServeAnswersEveryLineInOrder) {
  const std::wstring path = folder_.WriteFile(L"abc.txt", "abc");
  const std::string quoted = DumpJson(Narrow(path));
  const std::string input = "{\"service\": \"GetFileInfo\", \"input\": [" + quoted + "]}\nnot json\n\n" +
                            R"({"service": "StartUpload", "rc": 12, "requester": "me"})" "\r\n" +
                            "{\"service\": \"GetFile\", \"input\": [" + quoted + ", 2]}\n";
  HostRun run = RunHost({L"serve", L"--stdio"}, input);
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  Json lines = Json::array();
  std::istringstream out(run.out);
  for (std::string line; std::getline(out, line);) lines.push_back(ParseJson(line));
  ASSERT_EQ(lines.size(), 4u) << run.out;
  EXPECT_TRUE(lines[1].contains("error"));
  lines.erase(1);
  EXPECT_EQ(lines, ParseJson(R"([{"rc": 0, "output": [{"i8": 3}]}, {"rc": 12, "output": null},
                                 {"rc": 0, "output": {"bytes": "Yw=="}}])"));
}

TEST_P(HostEndToEndTest, GetDiskFolderContentListsARealFolder) {
  folder_.WriteFile(L"small.mp3", "12");
  folder_.WriteFile(L"large.txt", "123456");
  ::CreateDirectoryW((folder_.Path() + L"\\sub").c_str(), nullptr);
  const std::wstring satellites = folder_.WriteFile(
      L"satellites.json", R"({"ZidAvaraV2": {"GetExtensions": [{"when": ["", "audio"], "rc": 0, "answer": [".mp3"]}]}})");
  const std::wstring input = L"[\"\", " + zel::Utf8ToWide(DumpJson(Narrow(folder_.Path()))) +
                             L", 3, \"mp3,TXT\", \"title,type,size,mediaType\", \"size:desc\", 0, 0]";
  const std::wstring journal = folder_.Path() + L"\\journal.jsonl";
  HostRun run = RunHost({L"--satellites", satellites, L"--journal", journal, L"call", L"GetDiskFolderContent", input});
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  Json reply = ParseJson(run.out);
  // The shell may show names without their extensions: they are compared without them.
  for (Json& row : reply["output"][1]) row[0] = row[0].get<std::string>().substr(0, row[0].get<std::string>().find('.'));
  EXPECT_EQ(reply, ParseJson(R"({"rc": 0, "output": [["title", "type", "size", "mediaType"], [["sub", "folder", "0", "file"],
                                 ["large", "file", "6", "file"], ["small", "file", "2", "audio.file"]], 1, 2]})")) << run.out;
  // The journal shows which satellite got which operation with which parameters, in order.
  const std::vector<std::string> asked = zeltest::ReadLines(journal);
  ASSERT_EQ(asked.size(), 4u);
  EXPECT_EQ(asked[3], R"({"target": "ZidAvaraV2", "service": "GetExtensions", "params": ["","document"]})");
}

INSTANTIATE_TEST_SUITE_P(BrokerModes, HostEndToEndTest, ::testing::Values(L"embedded", L"local-server"),
                         [](const auto& info) { return std::string(info.param[0] == L'e' ? "Embedded" : "LocalServer"); });

}  // namespace
}  // namespace zelhost
