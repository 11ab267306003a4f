#include "common/product_folders.h"
#include "support/test_support.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <sstream>

#include "common/module_log.h"
#include "common/text.h"
#include "common/long_path.h"
#include "common/unique_handle.h"
#include "core/kro_atl.h"
#include "core/module.h"
#include "core/service_table.h"

namespace zeltest {

zel::ScopedVariant V(const std::string& json) {
  // What {"byref"} values point at lives as long as the test program.
  static std::mutex mutex;
  static zelhost::VariantArena arena;
  std::lock_guard<std::mutex> lock(mutex);
  zel::ScopedVariant value;
  zelhost::JsonToVariant(zelhost::ParseJson(json), value.Get(), &arena);
  return value;
}

Json J(const VARIANT& value) { return zelhost::VariantToJson(value); }

std::string Narrow(const std::wstring& text) { return zel::WideToUtf8(text); }

std::wstring UniqueName(const std::wstring& stem) {
  static std::atomic<int> counter{0};
  return stem + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount()) + L"-" +
         std::to_wstring(++counter);
}

TempFolder::TempFolder() {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  path_ = std::wstring(temp) + UniqueName(L"zeltest");
  ::CreateDirectoryW(path_.c_str(), nullptr);
}

void RemoveTree(const std::wstring& folder) {
  // The extended form reaches folders of any depth; a linked folder is removed, not entered.
  const std::wstring extended = zel::ExtendedLengthPath(folder);
  WIN32_FIND_DATAW data;
  zel::UniqueFind find(::FindFirstFileW((extended + L"\\*").c_str(), &data));
  for (bool more = static_cast<bool>(find); more; more = ::FindNextFileW(find.Get(), &data)) {
    const std::wstring name = data.cFileName, path = folder + L"\\" + name;
    if (name == L"." || name == L"..") continue;
    const DWORD attributes = data.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      RemoveTree(path);
    } else {
      const std::wstring target = zel::ExtendedLengthPath(path);
      ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (!::DeleteFileW(target.c_str())) ::RemoveDirectoryW(target.c_str());
    }
  }
  find.Reset();
  ::RemoveDirectoryW(extended.c_str());
}

TempFolder::~TempFolder() { RemoveTree(path_); }

std::wstring TempFolder::WriteFile(const std::wstring& name, const std::string& bytes) const {
  const std::wstring path = path_ + L"\\" + name;
  if (FILE* file = _wfopen(path.c_str(), L"wb")) {
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
  }
  return path;
}

std::string ReadBytes(const std::wstring& path) {
  std::string bytes;
  if (FILE* file = _wfsopen(path.c_str(), L"rb", 0x40 /* _SH_DENYNO */)) {
    char buffer[65536];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) bytes.append(buffer, got);
    fclose(file);
  }
  return bytes;
}

std::vector<std::string> ReadLines(const std::wstring& path) {
  std::vector<std::string> lines;
  std::istringstream text(ReadBytes(path));
  for (std::string line; std::getline(text, line); lines.push_back(line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
  }
  return lines;
}

std::vector<std::string> LinesWith(const std::wstring& path, const std::string& needle) {
  std::vector<std::string> found = ReadLines(path);
  const auto lacks = [&needle](const std::string& line) { return line.find(needle) == std::string::npos; };
  found.erase(std::remove_if(found.begin(), found.end(), lacks), found.end());
  return found;
}

std::vector<std::string> ModuleLogLinesWith(const std::string& needle) {
  const std::wstring path = zel::ModuleLog().MainPath();
  std::vector<std::string> found = LinesWith(path + L".back", needle);
  for (std::string& line : LinesWith(path, needle)) found.push_back(std::move(line));
  return found;
}

std::wstring LogsFolder() {
  return zel::GetProductFolder(zel::ProductFolder::kLogs).value_or(L"") + L"\\";
}

namespace {
constexpr const wchar_t* kLogKey = L"Software\\ROD Ezeduduv\\Zel";

void WriteLevel(std::optional<DWORD> level) {
  if (!level) ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kLogKey, L"LogLevel");
  if (level) ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kLogKey, L"LogLevel", REG_DWORD, &*level, sizeof(DWORD));
}
}  // namespace

LogLevelValue::LogLevelValue(std::optional<DWORD> level) {
  DWORD value = 0, size = sizeof(value);
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, kLogKey, L"LogLevel", RRF_RT_REG_DWORD, nullptr, &value, &size) == ERROR_SUCCESS) {
    previous_ = value;
  }
  WriteLevel(level);
}
LogLevelValue::~LogLevelValue() { WriteLevel(previous_); }

BrokerScope::BrokerScope(const BrokerFaults& faults)
    : broker_(InstrumentedBroker::Around(zelhost::CKroBroker::Create(4), faults)) {
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  registration_ = std::make_unique<zelhost::BrokerClassRegistration>(broker_->Identity());
}

BrokerScope::~BrokerScope() = default;

RunningModule::RunningModule(const std::string& satellites, const BrokerFaults& faults) : scope_(faults) {
  auto script = std::make_shared<zelhost::SatelliteScript>(zelhost::ParseJson(satellites));
  script->SetJournal(&journal_);
  scope_.Broker().SetRouter(script);
  zel::core::InitializeModule();
}

RunningModule::~RunningModule() {
  zel::core::CloseModule();
  scope_.Broker().SetRouter(nullptr);
}

LONG Dispatch(const std::wstring& service, const VARIANT& input, VARIANT& output, LONG rc,
              const std::wstring& requester) {
  // One module object for the program: made on first use, never connected, kept to the end.
  static zel::core::CKroAtl* const object = new zel::core::CKroAtl();
  zel::core::ServiceCall call{object->Parts(), requester, const_cast<VARIANT&>(input), output};
  zel::core::DispatchService(zel::core::kServiceTable, zel::core::kServiceCount, service, call, &rc);
  return rc;
}

RunningModule::Reply RunningModule::Call(const std::wstring& service, const std::string& input, LONG rc,
                                         const std::wstring& requester) {
  zel::ScopedVariant out;
  scope_.Call(service, *V(input), out.Get(), &rc, requester);
  return {rc, J(*out)};
}

}  // namespace zeltest
