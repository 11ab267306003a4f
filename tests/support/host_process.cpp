#include "support/host_process.h"

#include <gtest/gtest.h>

#include <thread>

#include "common/unique_handle.h"
#include "support/test_support.h"

namespace zeltest {

using zel::UniqueKernelHandle;
using zeltest::Narrow;

std::wstring HostPath() {
  wchar_t path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L'\\') + 1) + L"zelhost.exe";
}

std::wstring QuoteArgument(const std::wstring& arg) {
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

namespace {

std::string Drain(HANDLE pipe) {
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(pipe, buffer, sizeof(buffer), &got, nullptr) && got > 0) text.append(buffer, got);
  return text;
}

}  // namespace

HostRun RunHost(const std::vector<std::wstring>& args, const std::string& input) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE raw[6];
  for (int i = 0; i < 3; ++i) ::CreatePipe(&raw[2 * i], &raw[2 * i + 1], &inherit, 0);
  UniqueKernelHandle in_read(raw[0]), in_write(raw[1]), out_read(raw[2]), out_write(raw[3]), err_read(raw[4]),
      err_write(raw[5]);
  ::SetHandleInformation(in_write.Get(), HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(out_read.Get(), HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(err_read.Get(), HANDLE_FLAG_INHERIT, 0);

  std::wstring command = QuoteArgument(HostPath());
  for (const std::wstring& arg : args) command += L" " + QuoteArgument(arg);
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

RunningHost::RunningHost(const std::vector<std::wstring>& args) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  ::CreatePipe(&read_end, &write_end, &inherit, 0);
  UniqueKernelHandle child_output(write_end);
  ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  output_ = read_end;
  std::wstring command = QuoteArgument(HostPath());
  for (const std::wstring& arg : args) command += L" " + QuoteArgument(arg);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot start " << Narrow(command);
    return;
  }
  ::CloseHandle(process.hThread);
  process_ = process.hProcess;
}

RunningHost::~RunningHost() {
  if (process_ != nullptr) {
    if (::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) ::TerminateProcess(process_, 0);
    ::WaitForSingleObject(process_, 10000);
    ::CloseHandle(process_);
  }
  if (output_ != nullptr) ::CloseHandle(output_);
}

std::string RunningHost::ReadLine() {
  std::string line;
  char c = 0;
  DWORD got = 0;
  while (::ReadFile(output_, &c, 1, &got, nullptr) && got == 1 && c != '\n') line += c;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace zeltest
