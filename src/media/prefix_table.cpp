#include "media/prefix_table.h"

#include <cstring>
#include <limits>

#include <tinyxml2.h>

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

// The parser counts the document as one level and refuses to go on at its hundredth, which is an
// element's content at the 99th level of elements.
static_assert(TINYXML2_MAX_ELEMENT_DEPTH == kDeepestNesting + 2, "the nesting bound follows the parser's");

std::wstring AttributeText(const tinyxml2::XMLElement& element, const char* name) {
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

// "major.minor", each of one to nine digits; anything else is no version number.
std::optional<std::pair<unsigned, unsigned>> VersionNumber(const char* text) {
  unsigned parts[2] = {0, 0};
  for (int part = 0; part < 2; ++part) {
    int digits = 0;
    for (; *text >= '0' && *text <= '9'; ++text, ++digits) {
      if (digits == 9) return std::nullopt;
      parts[part] = parts[part] * 10 + static_cast<unsigned>(*text - '0');
    }
    if (digits == 0 || *text != (part == 0 ? '.' : '\0')) return std::nullopt;
    ++text;
  }
  return std::pair{parts[0], parts[1]};
}

DocumentLoad Refused(DocumentState state, std::wstring reason) { return {state, std::move(reason)}; }

// Reads "Version": exactly "1.0" is ours, a larger number a later product's, anything else broken.
DocumentLoad CheckVersion(const tinyxml2::XMLElement& settings) {
  const char* version = settings.Attribute("Version");
  if (version == nullptr) return Refused(DocumentState::kMalformed, L"\"Settings\" has no \"Version\"");
  if (std::strcmp(version, "1.0") == 0) return {};
  const std::optional<std::pair<unsigned, unsigned>> number = VersionNumber(version);
  const std::wstring quoted = L"\"" + Utf8ToWide(version) + L"\"";
  if (number && *number > std::pair{1u, 0u}) {
    return Refused(DocumentState::kNewer, L"its Version " + quoted + L" is newer than 1.0, the one this module knows");
  }
  return Refused(DocumentState::kMalformed, L"its Version " + quoted + L" is not 1.0");
}

std::wstring Describe(const std::optional<std::wstring>& prefix, const std::wstring& satellite) {
  return (prefix ? L"Prefix '" + *prefix + L"'" : std::wstring(L"no Prefix")) + L" (satellite '" + satellite + L"')";
}

DocumentLoad ParseInto(const std::string& text, DocumentTable* result) {
  if (text.size() > kLargestDocument) {
    return Refused(DocumentState::kMalformed, L"it is larger than " + std::to_wstring(kLargestDocument) + L" bytes");
  }
  tinyxml2::XMLDocument document;
  if (document.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS) {
    return Refused(DocumentState::kMalformed, L"it is not well-formed XML: " + Utf8ToWide(document.ErrorStr()));
  }
  const tinyxml2::XMLElement* settings = document.FirstChildElement("Settings");
  if (settings == nullptr) return Refused(DocumentState::kMalformed, L"it has no \"Settings\" element");
  if (DocumentLoad version = CheckVersion(*settings); version.state != DocumentState::kLoaded) return version;

  const tinyxml2::XMLElement* common = settings->FirstChildElement("Common");
  const tinyxml2::XMLElement* prefixes = common != nullptr ? common->FirstChildElement("MediumIdPrefixs") : nullptr;
  const tinyxml2::XMLElement* element = prefixes != nullptr ? prefixes->FirstChildElement("MediumIdPrefix") : nullptr;
  // From the first MediumIdPrefix on, every sibling element counts, whatever its name.
  for (; element != nullptr; element = element->NextSiblingElement()) {
    PrefixEntry entry;
    entry.satellite = AttributeText(*element, kSatellite);
    entry.timestamp = ParseTimestamp(element->Attribute(kTimestamp));
    entry.getMediumFromId = AttributeText(*element, kGetMediumFromId);
    entry.getMediumInfoFromId = AttributeText(*element, kGetMediumInfoFromId);
    entry.getMediumListInfoFromId = AttributeText(*element, kGetMediumListInfoFromId);
    entry.isMediumShared = AttributeText(*element, kIsMediumShared);
    const char* prefix = element->Attribute(kPrefix);
    const std::wstring key = prefix != nullptr ? Utf8ToWide(prefix) : std::wstring();
    const bool first = result->table.count(key) == 0;
    if (first && prefix != nullptr) {
      result->table.emplace(key, std::move(entry));
      continue;
    }
    tinyxml2::XMLPrinter printer(nullptr, true);
    element->Accept(&printer);
    result->kept.push_back({printer.CStr(), Describe(prefix != nullptr ? std::optional(key) : std::nullopt, entry.satellite)});
    if (first) {  // without a Prefix, and the first of the empty key
      result->table.emplace(key, std::move(entry));
      result->empty_key_kept = true;
    }
  }
  return {};
}

// The attribute as TinyXML, which wrote the module's documents before, wrote it: the five markup
// characters and the control characters as references, the value between single quotes when it
// holds a double quote.
void AppendAttribute(std::string& out, const char* name, const std::string& value) {
  const char quote = value.find('"') == std::string::npos ? '"' : '\'';
  out += ' ';
  out += name;
  out += '=';
  out += quote;
  for (const char c : value) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        if (static_cast<unsigned char>(c) < 32) {
          static const char kHex[] = "0123456789ABCDEF";
          out += "&#x";
          out += kHex[(c >> 4) & 0xF];
          out += kHex[c & 0xF];
          out += ';';
        } else {
          out += c;
        }
    }
  }
  out += quote;
}

}  // namespace

bool PrefixEntry::operator==(const PrefixEntry& other) const {
  return satellite == other.satellite && getMediumFromId == other.getMediumFromId &&
         getMediumInfoFromId == other.getMediumInfoFromId &&
         getMediumListInfoFromId == other.getMediumListInfoFromId && isMediumShared == other.isMediumShared &&
         timestamp == other.timestamp;
}

std::wstring PrefixKeyOf(const std::wstring& id) { return id.size() <= 1 ? std::wstring() : id.substr(1, 2); }

void DocumentTable::Put(const std::wstring& key, PrefixEntry entry) {
  if (key.empty()) empty_key_kept = false;
  table[key] = std::move(entry);
}

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

std::string PrintPrefixDocument(const DocumentTable& document) {
  constexpr const char* kEntryIndent = "            ";
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\r\n<Settings Version=\"1.0\">\r\n"
      "    <Common>\r\n";
  if (document.table.empty() && document.kept.empty()) {
    out += "        <MediumIdPrefixs />\r\n";
  } else {
    out += "        <MediumIdPrefixs>\r\n";
    for (const auto& [key, entry] : document.table) {
      if (key.empty() && document.empty_key_kept) continue;  // written below, as it was read
      out += kEntryIndent;
      out += "<MediumIdPrefix";
      AppendAttribute(out, kPrefix, WideToUtf8(key));
      AppendAttribute(out, kSatellite, WideToUtf8(entry.satellite));
      AppendAttribute(out, kTimestamp, std::to_string(entry.timestamp));
      AppendAttribute(out, kGetMediumFromId, WideToUtf8(entry.getMediumFromId));
      AppendAttribute(out, kGetMediumInfoFromId, WideToUtf8(entry.getMediumInfoFromId));
      AppendAttribute(out, kGetMediumListInfoFromId, WideToUtf8(entry.getMediumListInfoFromId));
      AppendAttribute(out, kIsMediumShared, WideToUtf8(entry.isMediumShared));
      out += " />\r\n";
    }
    for (const KeptElement& element : document.kept) {
      out += kEntryIndent;
      out += element.xml;
      out += "\r\n";
    }
    out += "        </MediumIdPrefixs>\r\n";
  }
  out += "    </Common>\r\n</Settings>\r\n";
  return out;
}

DocumentLoad ParsePrefixDocument(const std::string& text, DocumentTable* document) {
  *document = DocumentTable();
  try {
    DocumentLoad load = ParseInto(text, document);
    if (load.state != DocumentState::kLoaded) *document = DocumentTable();
    return load;
  } catch (...) {  // out of memory: the document is not loaded
    *document = DocumentTable();
    return Refused(DocumentState::kMalformed, L"there is not enough memory to load it");
  }
}

DocumentLoad LoadPrefixDocument(const std::wstring& path, DocumentTable* document) {
  *document = DocumentTable();
  try {
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    const auto unreadable = [](const wchar_t* what) {
      return Refused(DocumentState::kUnreadable, std::wstring(what) + L" (error " + std::to_wstring(::GetLastError()) + L")");
    };
    if (!file) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {DocumentState::kAbsent, L""};
      return unreadable(L"it cannot be opened");
    }
    LARGE_INTEGER size{};
    if (::GetFileType(file.Get()) != FILE_TYPE_DISK || !::GetFileSizeEx(file.Get(), &size)) {
      return unreadable(L"it is not a file that can be read");
    }
    if (static_cast<uint64_t>(size.QuadPart) > kLargestDocument) {
      return Refused(DocumentState::kMalformed, L"it is larger than " + std::to_wstring(kLargestDocument) + L" bytes");
    }
    std::string text(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!text.empty() && !::ReadFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &got, nullptr)) {
      return unreadable(L"it cannot be read");
    }
    text.resize(got);
    return ParsePrefixDocument(text, document);
  } catch (...) {
    *document = DocumentTable();
    return Refused(DocumentState::kUnreadable, L"there is not enough memory to read it");
  }
}

std::wstring PendingDocumentPath(const std::wstring& path) {
  return path + L"." + std::to_wstring(::GetCurrentProcessId()) + L".new";
}

bool ReplaceDocument(const std::wstring& path, const std::string& text, DWORD* error) {
  DWORD ignored = 0;
  DWORD& failure = error != nullptr ? *error : ignored;
  failure = ERROR_INVALID_NAME;
  if (path.empty()) return false;
  try {
    const std::wstring pending = PendingDocumentPath(path);
    {
      UniqueFile file(::CreateFileW(pending.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
      if (!file) {
        failure = ::GetLastError();
        return false;
      }
      DWORD written = 0;
      const bool wrote = ::WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
      const bool complete = wrote && written == text.size() && ::FlushFileBuffers(file.Get());
      if (!complete) {
        failure = wrote && written != text.size() ? ERROR_DISK_FULL : ::GetLastError();
        file.Reset();
        ::DeleteFileW(pending.c_str());
        return false;
      }
    }
    // A document marked read-only is not replaced: Windows refuses it, and so do we where the
    // platform would not (Wine replaces it).
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
      failure = ERROR_ACCESS_DENIED;
      ::DeleteFileW(pending.c_str());
      return false;
    }
    // A reader that holds the document open without allowing deletion blocks the replacement for
    // a moment; anything else is final.
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (::MoveFileExW(pending.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
      }
      failure = ::GetLastError();
      if (failure != ERROR_SHARING_VIOLATION && failure != ERROR_ACCESS_DENIED && failure != ERROR_LOCK_VIOLATION) break;
      ::Sleep(10);
    }
    ::DeleteFileW(pending.c_str());
    return false;
  } catch (...) {
    failure = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
}

}  // namespace zel::media
