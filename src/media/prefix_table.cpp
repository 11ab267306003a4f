#include "media/prefix_table.h"

#include <process.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <memory>

#include <tinyxml.h>

#include "common/text.h"
#include "common/unique_handle.h"

namespace zel::media {
namespace {

// The attributes of a MediumIdPrefix element, in the order they are written.
constexpr const char* kPrefix = "Prefix";
constexpr const char* kSatellite = "Satellite";
constexpr const char* kTimestamp = "Timestamp";
constexpr const char* kGetMediumFromId = "GetMediumFromId";
constexpr const char* kGetMediumInfoFromId = "GetMediumInfoFromId";
constexpr const char* kGetMediumListInfoFromId = "GetMediumListInfoFromId";
constexpr const char* kIsMediumShared = "IsMediumShared";

// Stack for the parse, on a thread of its own: far more than kDeepestNesting levels need, so that
// whatever stack the caller has left does not matter.
constexpr unsigned kParseStack = 4u << 20;

std::wstring AttributeText(const TiXmlElement& element, const char* name) {
  const char* value = element.Attribute(name);
  return value != nullptr ? Utf8ToWide(value) : std::wstring();
}

// A signed decimal number: leading white space and a sign allowed, stops at the first character
// that is not a digit; no digits (or no attribute) give 0. Out of range values saturate.
int64_t ParseTimestamp(const char* text) {
  if (text == nullptr) return 0;
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  uint64_t magnitude = 0;
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  for (; *text >= '0' && *text <= '9'; ++text) {
    const unsigned digit = static_cast<unsigned>(*text - '0');
    magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
  }
  if (!negative) return static_cast<int64_t>(magnitude);
  return magnitude == (uint64_t{1} << 63) ? std::numeric_limits<int64_t>::min()
                                          : -static_cast<int64_t>(magnitude);
}

// The nesting scan below follows TinyXML's parser step by step (its node identification, element
// tags, attribute values and declarations), so that it never counts fewer levels than the parse
// will recurse. Where the parser would stop with an error, the scan stops too.

bool IsXmlSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
// The parser's letters: ASCII letters and every byte above 126.
bool IsNameStart(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u >= 127 || c == '_' || ((u | 0x20) >= 'a' && (u | 0x20) <= 'z');
}
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':'; }

const char* SkipSpace(const char* p) {
  while (IsXmlSpace(*p)) ++p;
  return p;
}
const char* SkipPast(const char* p, const char* end) {
  const char* found = std::strstr(p, end);
  return found != nullptr ? found + std::strlen(end) : p + std::strlen(p);
}
bool StartsWith(const char* p, const char* prefix, bool ignore_case = false) {
  for (; *prefix != '\0'; ++p, ++prefix) {
    const bool same = ignore_case ? std::tolower(static_cast<unsigned char>(*p)) == *prefix : *p == *prefix;
    if (!same) return false;
  }
  return true;
}
const char* End(const char* p) { return p + std::strlen(p); }

// name = value, the value quoted or bare; the end of the text where the parser fails.
const char* SkipAttribute(const char* p) {
  if (!IsNameStart(*p)) return End(p);
  while (IsNameChar(*p)) ++p;
  p = SkipSpace(p);
  if (*p != '=') return End(p);
  p = SkipSpace(p + 1);
  if (*p == '"' || *p == '\'') {
    const char quote[2] = {*p, '\0'};
    return SkipPast(p + 1, quote);
  }
  for (; *p != '\0' && !IsXmlSpace(*p) && *p != '/' && *p != '>'; ++p) {
    if (*p == '"' || *p == '\'') return End(p);
  }
  return p;
}

// From an element's name to the end of its start tag; `empty` for "/>".
const char* SkipStartTag(const char* p, bool* empty) {
  *empty = false;
  while (IsNameChar(*p)) ++p;
  for (;;) {
    p = SkipSpace(p);
    if (*p == '\0') return p;
    if (*p == '>') return p + 1;
    if (*p == '/') {
      if (p[1] != '>') return End(p);
      *empty = true;
      return p + 2;
    }
    p = SkipAttribute(p);
  }
}

// After "<?xml": the parser reads only version, encoding and standalone as attributes and steps
// over any other word up to a blank or ">".
const char* SkipDeclaration(const char* p) {
  while (*p != '\0') {
    if (*p == '>') return p + 1;
    p = SkipSpace(p);
    if (StartsWith(p, "version", true) || StartsWith(p, "encoding", true) || StartsWith(p, "standalone", true)) {
      p = SkipAttribute(p);
    } else {
      while (*p != '\0' && *p != '>' && !IsXmlSpace(*p)) ++p;
    }
  }
  return p;
}

// CR LF and lone CR become LF, as the XML rules for line ends ask before parsing.
std::string NormalizeLineEnds(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') {
      out += text[i];
    } else {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    }
  }
  return out;
}

bool ParseOnThisThread(const std::string& text, PrefixMap* table) {
  TiXmlDocument document;
  document.Parse(NormalizeLineEnds(text).c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
  if (document.Error()) return false;
  const TiXmlElement* settings = document.FirstChildElement("Settings");
  if (settings == nullptr) return false;
  const char* version = settings->Attribute("Version");
  if (version == nullptr || std::strcmp(version, "1.0") != 0) return false;

  const TiXmlElement* common = settings->FirstChildElement("Common");
  const TiXmlElement* prefixes = common != nullptr ? common->FirstChildElement("MediumIdPrefixs") : nullptr;
  const TiXmlElement* element = prefixes != nullptr ? prefixes->FirstChildElement("MediumIdPrefix") : nullptr;
  // From the first MediumIdPrefix on, every sibling element counts, whatever its name.
  for (; element != nullptr; element = element->NextSiblingElement()) {
    PrefixEntry entry;
    entry.satellite = AttributeText(*element, kSatellite);
    entry.timestamp = ParseTimestamp(element->Attribute(kTimestamp));
    entry.getMediumFromId = AttributeText(*element, kGetMediumFromId);
    entry.getMediumInfoFromId = AttributeText(*element, kGetMediumInfoFromId);
    entry.getMediumListInfoFromId = AttributeText(*element, kGetMediumListInfoFromId);
    entry.isMediumShared = AttributeText(*element, kIsMediumShared);
    (*table)[AttributeText(*element, kPrefix)] = std::move(entry);  // of equal prefixes the last wins
  }
  return true;
}

struct ParseJob {
  const std::string* text;
  PrefixMap* table;
  bool ok = false;
};

unsigned __stdcall ParseThread(void* argument) {
  ParseJob* job = static_cast<ParseJob*>(argument);
  try {
    job->ok = ParseOnThisThread(*job->text, job->table);
  } catch (...) {
    job->ok = false;  // out of memory: the document is not loaded
  }
  return 0;
}

}  // namespace

bool PrefixEntry::operator==(const PrefixEntry& other) const {
  return satellite == other.satellite && getMediumFromId == other.getMediumFromId &&
         getMediumInfoFromId == other.getMediumInfoFromId &&
         getMediumListInfoFromId == other.getMediumListInfoFromId && isMediumShared == other.isMediumShared &&
         timestamp == other.timestamp;
}

std::wstring PrefixKeyOf(const std::wstring& id) { return id.size() <= 1 ? std::wstring() : id.substr(1, 2); }

std::optional<std::wstring> NextPrefixKey(const PrefixMap& table) {
  // The empty key sorts first, so it is the largest only when it is alone.
  if (table.empty() || table.rbegin()->first.empty()) return std::wstring(L"AA");
  const std::wstring& largest = table.rbegin()->first;
  const wchar_t first = largest[0];
  const wchar_t second = largest.size() > 1 ? largest[1] : L'\0';
  if (second < L'Z') return std::wstring{first, static_cast<wchar_t>(second + 1)};
  if (first == 0xFFFF) return std::nullopt;
  return std::wstring{static_cast<wchar_t>(first + 1), L'A'};
}

std::string PrintPrefixDocument(const PrefixMap& table) {
  TiXmlDocument document;
  document.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", "yes"));
  TiXmlElement* settings = new TiXmlElement("Settings");
  document.LinkEndChild(settings);
  settings->SetAttribute("Version", "1.0");
  TiXmlElement* common = new TiXmlElement("Common");
  settings->LinkEndChild(common);
  TiXmlElement* prefixes = new TiXmlElement("MediumIdPrefixs");
  common->LinkEndChild(prefixes);

  for (const auto& [key, entry] : table) {
    TiXmlElement* element = new TiXmlElement("MediumIdPrefix");
    prefixes->LinkEndChild(element);
    element->SetAttribute(kPrefix, WideToUtf8(key).c_str());
    element->SetAttribute(kSatellite, WideToUtf8(entry.satellite).c_str());
    element->SetAttribute(kTimestamp, std::to_string(entry.timestamp).c_str());
    element->SetAttribute(kGetMediumFromId, WideToUtf8(entry.getMediumFromId).c_str());
    element->SetAttribute(kGetMediumInfoFromId, WideToUtf8(entry.getMediumInfoFromId).c_str());
    element->SetAttribute(kGetMediumListInfoFromId, WideToUtf8(entry.getMediumListInfoFromId).c_str());
    element->SetAttribute(kIsMediumShared, WideToUtf8(entry.isMediumShared).c_str());
  }
  TiXmlPrinter printer;
  printer.SetLineBreak("\r\n");  // a Windows text file, as the product's other documents
  document.Accept(&printer);
  return printer.Str();
}

size_t ElementNesting(const std::string& text, size_t limit) {
  size_t depth = 0;
  size_t deepest = 0;
  const char* p = text.c_str();  // the parser, too, ends at the first NUL
  while (*p != '\0' && deepest <= limit) {
    if (*p != '<') {
      ++p;
    } else if (p[1] == '/') {  // an end tag, read by the element it closes
      if (depth > 0) --depth;
      p = SkipPast(p + 2, ">");
    } else if (StartsWith(p, "<?xml", true)) {
      p = SkipDeclaration(p + 5);
    } else if (StartsWith(p, "<!--")) {
      p = SkipPast(p + 4, "-->");
    } else if (StartsWith(p, "<![CDATA[")) {
      p = SkipPast(p + 9, "]]>");
    } else if (IsNameStart(p[1])) {
      deepest = std::max(deepest, ++depth);
      bool empty = false;
      p = SkipStartTag(p + 1, &empty);
      if (empty) --depth;
    } else {  // "<!" and whatever else the parser does not know: up to the next ">"
      p = SkipPast(p + 1, ">");
    }
  }
  return deepest;
}

bool WithinDocumentLimits(const std::string& text) {
  return text.size() <= kLargestDocument && ElementNesting(text, kDeepestNesting) <= kDeepestNesting;
}

bool ParsePrefixDocument(const std::string& text, PrefixMap* table) {
  table->clear();
  if (!WithinDocumentLimits(text)) return false;
  ParseJob job{&text, table};
  UniqueKernelHandle thread(reinterpret_cast<HANDLE>(
      _beginthreadex(nullptr, kParseStack, ParseThread, &job, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)));
  if (!thread) return false;
  ::WaitForSingleObject(thread.Get(), INFINITE);
  if (!job.ok) table->clear();
  return job.ok;
}

DocumentState LoadPrefixDocument(const std::wstring& path, PrefixMap* table) {
  table->clear();
  try {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      const DWORD error = ::GetLastError();
      const bool absent = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
      return absent ? DocumentState::kAbsent : DocumentState::kRefused;
    }
    LARGE_INTEGER size{};
    if (::GetFileType(file.Get()) != FILE_TYPE_DISK || !::GetFileSizeEx(file.Get(), &size) ||
        static_cast<uint64_t>(size.QuadPart) > kLargestDocument) {
      return DocumentState::kRefused;
    }
    std::string text(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!text.empty() && !::ReadFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &got, nullptr)) {
      return DocumentState::kRefused;
    }
    text.resize(got);
    return ParsePrefixDocument(text, table) ? DocumentState::kLoaded : DocumentState::kRefused;
  } catch (...) {
    table->clear();
    return DocumentState::kRefused;
  }
}

std::wstring PendingDocumentPath(const std::wstring& path) {
  return path + L"." + std::to_wstring(::GetCurrentProcessId()) + L".new";
}

bool ReplaceDocument(const std::wstring& path, const std::string& text) {
  if (path.empty()) return false;
  try {
    const std::wstring pending = PendingDocumentPath(path);
    {
      UniqueFile file(::CreateFileW(pending.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
      if (!file) return false;
      DWORD written = 0;
      const bool complete = ::WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                            written == text.size() && ::FlushFileBuffers(file.Get());
      if (!complete) {
        file.Reset();
        ::DeleteFileW(pending.c_str());
        return false;
      }
    }
    // A reader that holds the document open without allowing deletion blocks the replacement for
    // a moment; anything else is final.
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (::MoveFileExW(pending.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
      }
      const DWORD error = ::GetLastError();
      if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED && error != ERROR_LOCK_VIOLATION) break;
      ::Sleep(10);
    }
    ::DeleteFileW(pending.c_str());
    return false;
  } catch (...) {
    return false;
  }
}

}  // namespace zel::media
