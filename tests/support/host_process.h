#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zeltest {

// One run of zelhost.exe (beside the test program) as a separate process.
struct HostRun {
  DWORD exit_code = 0xFFFFFFFF;
  std::string out;
  std::string err;
};

// Runs zelhost.exe with `args` (each quoted for the command line), feeds it `input` on stdin and
// collects its stdout and stderr. Waits up to 60 s for it to end.
HostRun RunHost(const std::vector<std::wstring>& args, const std::string& input = "");

}  // namespace zeltest
