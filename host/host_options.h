#pragma once

#include <windows.h>

#include <optional>
#include <stdexcept>
#include <string>

namespace zelhost {

// Where the broker lives: in the host's process, or in zelbroker.exe, which the module's own
// creation call activates, so that everything between them crosses processes.
enum class BrokerMode { kEmbedded, kLocalServer };

struct HostOptions {
  std::wstring module_path;      // empty: ZovIdivariRuder.dll beside the host program
  std::wstring satellites_path;  // empty: no satellite answers anything
  std::wstring journal_path;     // empty: requests to satellites are not written down
  std::optional<DWORD> log_level;  // written to the registry's "LogLevel" before the module loads
  std::wstring search_url;  // non-empty: written to the desktop-search engine's "search_url" first
  unsigned workers = 8;  // events the broker raises at once (zelbroker.exe's while this host holds it)
  BrokerMode broker_mode = BrokerMode::kEmbedded;
};

// A failure to set the host up (module missing, broker not registrable).
class HostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a whole file as UTF-8 text; throws HostError.
std::string ReadTextFile(const std::wstring& path);

}  // namespace zelhost
