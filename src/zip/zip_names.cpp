#include "zip/zip_names.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace zel::zip {
namespace {

// Names ending like this hold compressed data already; deflating them again is wasted work.
constexpr const char* kCompressedSuffixes[] = {".Z", ".zip", ".zoo", ".arc", ".lzh", ".arj", ".gz", ".tgz"};

bool AsciiEqualNoCase(const std::string& a, const char* b) {
  const size_t length = std::strlen(b);
  if (a.size() != length) return false;
  for (size_t i = 0; i < length; ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

bool HasCompressedSuffix(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  const std::string suffix = name.substr(dot);
  for (const char* candidate : kCompressedSuffixes) {
    if (AsciiEqualNoCase(suffix, candidate)) return true;
  }
  return false;
}

bool ToArchiveName(const std::wstring& name, std::string* out) {
  if (name.empty() || name.size() > kMaxArchiveNameBytes) return false;
  const int length = static_cast<int>(name.size());
  const int needed = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0 || static_cast<size_t>(needed) > kMaxArchiveNameBytes) return false;
  out->assign(static_cast<size_t>(needed), '\0');
  ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name.data(), length, out->data(), needed, nullptr, nullptr);
  std::replace(out->begin(), out->end(), '\\', '/');
  return true;
}

bool IsPlainAscii(const std::string& name) {
  return std::none_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

}  // namespace zel::zip
