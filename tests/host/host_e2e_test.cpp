// The standalone host driven as users drive it: a separate zelhost.exe process per command.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "common/text.h"
#include "common/unique_handle.h"
#include "support/test_support.h"

namespace zelhost {
namespace {

using zel::UniqueFile;
using zel::UniqueKernelHandle;
using zeltest::Narrow;

struct HostRun {
  DWORD exit_code = 0xFFFFFFFF;
  std::string out;
  std::string err;
};

std::wstring HostPath() {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L'\\') + 1) + L"zelhost.exe";
}

std::wstring Quote(const std::wstring& arg) {
  std::wstring quoted = L"\"";
  for (size_t i = 0; i < arg.size(); ++i) {
    size_t backslashes = 0;
    while (i < arg.size() && arg[i] == L'\\') ++i, ++backslashes;
    if (i == arg.size()) {
      quoted.append(backslashes * 2, L'\\');
      break;
    }
    if (arg[i] == L'"') {
      quoted.append(backslashes * 2 + 1, L'\\');
    } else {
      quoted.append(backslashes, L'\\');
    }
    quoted += arg[i];
  }
  return quoted + L"\"";
}

std::string Drain(HANDLE pipe) {
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(pipe, buffer, sizeof(buffer), &got, nullptr) && got > 0) text.append(buffer, got);
  return text;
}

HostRun RunHost(const std::vector<std::wstring>& args, const std::string& input = "") {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE raw[6];
  for (int i = 0; i < 3; ++i) ::CreatePipe(&raw[2 * i], &raw[2 * i + 1], &inherit, 0);
  UniqueKernelHandle in_read(raw[0]), in_write(raw[1]), out_read(raw[2]), out_write(raw[3]), err_read(raw[4]),
      err_write(raw[5]);
  ::SetHandleInformation(in_write.Get(), HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(out_read.Get(), HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(err_read.Get(), HANDLE_FLAG_INHERIT, 0);

  std::wstring command = Quote(HostPath());
  for (const std::wstring& arg : args) command += L" " + Quote(arg);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in_read.Get();
  startup.hStdOutput = out_write.Get();
  startup.hStdError = err_write.Get();
  PROCESS_INFORMATION process{};
  HostRun run;
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot start " << Narrow(command);
    return run;
  }
  UniqueKernelHandle process_handle(process.hProcess), thread_handle(process.hThread);
  in_read.Reset();
  out_write.Reset();
  err_write.Reset();
  std::thread err_reader([&] { run.err = Drain(err_read.Get()); });
  DWORD written = 0;
  if (!input.empty()) ::WriteFile(in_write.Get(), input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
  in_write.Reset();
  run.out = Drain(out_read.Get());
  err_reader.join();
  ::WaitForSingleObject(process_handle.Get(), 60000);
  ::GetExitCodeProcess(process_handle.Get(), &run.exit_code);
  return run;
}

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
