#include "media/prefix_table.h"

#include <process.h>

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

// Stack for the parse: the parser recurses once per nesting level, and no document can nest
// deeper than it has element starts.
constexpr size_t kBaseStack = 1u << 20;
constexpr size_t kStackPerElement = 2048;

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

// Every place where the parser could start an element: "<" followed by a letter, "_" or any byte
// above 126 (which it takes for a letter).
size_t CountElementStarts(const std::string& text) {
  size_t count = 0;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '<') continue;
    const unsigned char next = static_cast<unsigned char>(text[i + 1]);
    if (next >= 127 || next == '_' || (next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z')) ++count;
  }
  return count;
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

bool ParsePrefixDocument(const std::string& text, PrefixMap* table) {
  table->clear();
  const size_t elements = CountElementStarts(text);
  if (text.size() > kLargestDocument || elements > kMostElements) return false;

  // The parse runs on a thread of its own whose stack fits the deepest nesting the text allows,
  // whatever stack the caller has left.
  ParseJob job{&text, table};
  const unsigned stack = static_cast<unsigned>(kBaseStack + elements * kStackPerElement);
  UniqueKernelHandle thread(reinterpret_cast<HANDLE>(
      _beginthreadex(nullptr, stack, ParseThread, &job, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)));
  if (!thread) return false;
  ::WaitForSingleObject(thread.Get(), INFINITE);
  if (!job.ok) table->clear();
  return job.ok;
}

bool LoadPrefixDocument(const std::wstring& path, PrefixMap* table) {
  table->clear();
  try {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || ::GetFileType(file.Get()) != FILE_TYPE_DISK || !::GetFileSizeEx(file.Get(), &size) ||
        static_cast<uint64_t>(size.QuadPart) > kLargestDocument) {
      return false;
    }
    std::string text(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!text.empty() && !::ReadFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &got, nullptr)) {
      return false;
    }
    text.resize(got);
    return ParsePrefixDocument(text, table);
  } catch (...) {
    table->clear();
    return false;
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
