#include "console_files.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "common/text.h"
#include "common/unique_handle.h"

namespace zelhost {
namespace {

// A console file larger than this is not one: the folder holds something else.
constexpr DWORD kLargestFile = 8 << 20;

const char* ContentType(const std::string& name) {
  static const struct {
    const char* extension;
    const char* type;
  } kTypes[] = {
      {".html", "text/html; charset=utf-8"}, {".js", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},   {".svg", "image/svg+xml"},
      {".png", "image/png"},                 {".ico", "image/x-icon"},
      {".json", "application/json"},
  };
  for (const auto& known : kTypes) {
    const size_t length = strlen(known.extension);
    if (name.size() > length && name.compare(name.size() - length, length, known.extension) == 0) return known.type;
  }
  return "application/octet-stream";
}

}  // namespace

bool ConsoleFiles::IsPlainName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name.front() == '.' || name.front() == ' ' || name.back() == '.' ||
      name.back() == ' ') {
    return false;
  }
  for (const char c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || std::strchr("/\\:%*?\"<>|", c) != nullptr) return false;
  }
  // CON, NUL, COM1 and the like name a device whatever extension follows them.
  std::string stem = name.substr(0, name.find('.'));
  std::transform(stem.begin(), stem.end(), stem.begin(), [](unsigned char c) { return std::toupper(c); });
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices) {
    if (stem == device) return false;
  }
  if (stem.compare(0, 3, "COM") != 0 && stem.compare(0, 3, "LPT") != 0) return true;
  // COM0-9 and LPT0-9, and the superscript 1, 2 and 3 that the platform takes for digits there.
  const std::string number = stem.substr(3);
  return !((number.size() == 1 && std::isdigit(static_cast<unsigned char>(number[0]))) || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3");
}

std::optional<ConsoleFiles::File> ConsoleFiles::Find(const std::string& path) const {
  if (path.empty() || path[0] != '/') return std::nullopt;
  const std::string name = path == "/" ? "index.html" : path.substr(1);
  if (!IsPlainName(name)) return std::nullopt;
  if (!folder_.empty()) return FindInFolder(name);
  const Entry* const end = kBuiltIn + kBuiltInCount;
  const Entry* const found = std::find_if(kBuiltIn, end, [&](const Entry& entry) { return name == entry.name; });
  if (found == end) return std::nullopt;
  return File{std::string(found->bytes, found->size), ContentType(name)};
}

std::optional<ConsoleFiles::File> ConsoleFiles::FindInFolder(const std::string& name) const {
  WIN32_FIND_DATAW entry;
  const zel::UniqueFind listing(::FindFirstFileExW((folder_ + L"\\*").c_str(), FindExInfoBasic, &entry,
                                                  FindExSearchNameMatch, nullptr, 0));
  for (bool more = listing.IsValid(); more; more = ::FindNextFileW(listing.Get(), &entry)) {
    const DWORD skipped = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    if ((entry.dwFileAttributes & skipped) != 0 || zel::WideToUtf8(entry.cFileName) != name) continue;
    // The path is the folder and the name as its own listing spells it, never the request's text.
    const zel::UniqueFile file(::CreateFileW((folder_ + L"\\" + entry.cFileName).c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    LARGE_INTEGER size{};
    if (!file || ::GetFileType(file.Get()) != FILE_TYPE_DISK || !::GetFileSizeEx(file.Get(), &size) ||
        size.QuadPart > kLargestFile) {
      return std::nullopt;
    }
    File found{std::string(static_cast<size_t>(size.QuadPart), '\0'), ContentType(name)};
    DWORD read = 0;
    if (!found.bytes.empty() &&
        (!::ReadFile(file.Get(), &found.bytes[0], static_cast<DWORD>(found.bytes.size()), &read, nullptr) ||
         read != found.bytes.size())) {
      return std::nullopt;
    }
    return found;
  }
  return std::nullopt;
}

}  // namespace zelhost
