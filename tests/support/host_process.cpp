#include "support/host_process.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/test_support.h"

namespace zeltest {
namespace {

using zel::UniqueKernelHandle;

// One argument quoted for a command line as the runtime library splits it.
std::wstring QuoteArgument(const std::wstring& arg) {
  std::wstring quoted = L"\"";
  for (size_t i = 0; i < arg.size(); ++i) {
    size_t backslashes = 0;
    while (i < arg.size() && arg[i] == L'\\') ++i, ++backslashes;
    if (i == arg.size()) {
      quoted.append(backslashes * 2, L'\\');
      break;
    }
    quoted.append(arg[i] == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    quoted += arg[i];
  }
  return quoted + L"\"";
}

// A pipe whose end `kept` (0 read, 1 write) only this process holds; the other end is inherited.
void MakePipe(UniqueKernelHandle ends[2], int kept) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  ::CreatePipe(ends[0].Receive(), ends[1].Receive(), &inherit, 0);
  ::SetHandleInformation(ends[kept].Get(), HANDLE_FLAG_INHERIT, 0);
}

// zelhost.exe with `args` and the given standard handles; null when it cannot be started.
UniqueKernelHandle StartHost(const std::vector<std::wstring>& args, HANDLE in, HANDLE out, HANDLE err) {
  wchar_t path[MAX_PATH];
  std::wstring command(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
  command = QuoteArgument(command.substr(0, command.find_last_of(L'\\') + 1) + L"zelhost.exe");
  for (const std::wstring& arg : args) command += L" " + QuoteArgument(arg);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot start " << Narrow(command);
    return UniqueKernelHandle();
  }
  ::CloseHandle(process.hThread);
  return UniqueKernelHandle(process.hProcess);
}

std::string Drain(HANDLE pipe) {
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(pipe, buffer, sizeof(buffer), &got, nullptr) && got > 0) text.append(buffer, got);
  return text;
}

}  // namespace

HostRun RunHost(const std::vector<std::wstring>& args, const std::string& input) {
  UniqueKernelHandle in[2], out[2], err[2];
  MakePipe(in, 1);
  MakePipe(out, 0);
  MakePipe(err, 0);
  HostRun run;
  UniqueKernelHandle process = StartHost(args, in[0].Get(), out[1].Get(), err[1].Get());
  if (!process) return run;
  for (UniqueKernelHandle* child_end : {&in[0], &out[1], &err[1]}) child_end->Reset();
  std::thread err_reader([&] { run.err = Drain(err[0].Get()); });
  DWORD written = 0;
  if (!input.empty()) ::WriteFile(in[1].Get(), input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
  in[1].Reset();
  run.out = Drain(out[0].Get());
  err_reader.join();
  ::WaitForSingleObject(process.Get(), 60000);
  ::GetExitCodeProcess(process.Get(), &run.exit_code);
  return run;
}

RunningHost::RunningHost(const std::vector<std::wstring>& args) {
  UniqueKernelHandle out[2];
  MakePipe(out, 0);
  process_ = StartHost(args, ::GetStdHandle(STD_INPUT_HANDLE), out[1].Get(), ::GetStdHandle(STD_ERROR_HANDLE));
  output_ = std::move(out[0]);
}

RunningHost::~RunningHost() {
  if (process_ && ::WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT) {
    ::TerminateProcess(process_.Get(), 0);
    ::WaitForSingleObject(process_.Get(), 10000);
  }
}

std::optional<DWORD> RunningHost::WaitForExit(DWORD ms) {
  DWORD status = 0;
  if (::WaitForSingleObject(process_.Get(), ms) != WAIT_OBJECT_0 || !::GetExitCodeProcess(process_.Get(), &status)) {
    return std::nullopt;
  }
  return status;
}

std::string RunningHost::ReadLine() {
  std::string line;
  char c = 0;
  DWORD got = 0;
  while (::ReadFile(output_.Get(), &c, 1, &got, nullptr) && got == 1 && c != '\n') line += c;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace zeltest
