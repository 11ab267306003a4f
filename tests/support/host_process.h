#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "common/unique_handle.h"

namespace zeltest {

// One finished run of zelhost.exe (the program beside the test program).
struct HostRun {
  DWORD exit_code = 0xFFFFFFFF;
  std::string out;
  std::string err;
};

// Runs zelhost.exe with `args`, feeding `input` to its standard input, and waits for it to end.
HostRun RunHost(const std::vector<std::wstring>& args, const std::string& input = "");

// zelhost.exe started with `args` and left running, its standard output readable line by line; it is
// ended (TerminateProcess on this child alone) when the object goes, if it has not ended by then.
class RunningHost {
 public:
  explicit RunningHost(const std::vector<std::wstring>& args);
  ~RunningHost();

  // The next line of its standard output without the line end; "" once the output has ended.
  std::string ReadLine();
  // Waits up to `ms` for the host to end; its exit status, or nothing when it still runs.
  std::optional<DWORD> WaitForExit(DWORD ms);

 private:
  zel::UniqueKernelHandle process_;
  zel::UniqueKernelHandle output_;
};

}  // namespace zeltest
