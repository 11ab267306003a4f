#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zel::media {

// What the module knows about the satellite that owns the ids "X" + key: the request target and
// the names of its operations for the medium lookups.
struct PrefixEntry {
  std::wstring satellite;
  std::wstring getMediumFromId;
  std::wstring getMediumInfoFromId;
  std::wstring getMediumListInfoFromId;
  std::wstring isMediumShared;
  int64_t timestamp = 0;  // seconds since 1970-01-01 00:00 UTC of the registration

  bool operator==(const PrefixEntry& other) const;
};

// Prefix key -> entry, ordered by plain code-unit comparison (std::wstring's), case-sensitive.
using PrefixMap = std::map<std::wstring, PrefixEntry>;

// An element of a loaded document that the table does not hold as written: a later element of a
// Prefix already taken, or one without a Prefix. A save writes it back as it was read, so that a
// hand-edited or doubly registered document never loses an entry by being loaded and saved.
struct KeptElement {
  std::string xml;           // the element as read (names, attribute order and values, content)
  std::wstring description;  // names it in the log: its Prefix (or none) and its Satellite
};

// The table as a document holds it.
struct DocumentTable {
  // The first element of each Prefix: what lookups and registrations use. An element without a
  // Prefix stands for the empty key, which only the id "X" alone reaches.
  PrefixMap table;
  std::vector<KeptElement> kept;
  // The table's empty key is a kept element without a Prefix: it is written once, as kept.
  bool empty_key_kept = false;

  // Stores `entry` under `key`, which the next print writes as an entry of its own.
  void Put(const std::wstring& key, PrefixEntry entry);
};

// The key of an "X" id: the at most two characters after the X ("XAB12" -> "AB", "X" -> "").
// Only meaningful for ids that begin with "X".
std::wstring PrefixKeyOf(const std::wstring& id);

// The key a satellite registering for the first time gets: one past the largest key of `table`
// ("AA" when the table is empty or holds only the empty key; AZ -> BA). nullopt when the largest
// key leaves no next one (its first character is the last UTF-16 code unit).
std::optional<std::wstring> NextPrefixKey(const PrefixMap& table);

// The configuration document: UTF-8, the declaration, Settings/Common/MediumIdPrefixs and one
// MediumIdPrefix element per table entry in key order with its seven attributes in their order,
// then the kept elements in the order they were read. Laid out as the module has always written
// it (four blanks per level, CR LF, " />").
std::string PrintPrefixDocument(const DocumentTable& document);

enum class DocumentState {
  kLoaded,      // read and parsed
  kAbsent,      // no such file: an empty table, which a save may create
  kUnreadable,  // there, but the file cannot be read (held by another, no access, a folder, ...)
  kMalformed,   // read, but not a document of ours: not well-formed, too large or too deeply
                // nested, no "Settings", a "Version" missing or other than "1.0" and not newer
  kNewer,       // its "Version" is a number above 1.0: a later product's document
};

struct DocumentLoad {
  DocumentState state = DocumentState::kLoaded;
  std::wstring reason;  // why it is not loaded; empty for kLoaded and kAbsent
};

// Reads a configuration document's text into `document` (cleared first; empty unless kLoaded).
// A document without "Common" or "MediumIdPrefixs" is a valid, empty table. The number of entries
// is not limited. Answers kLoaded, kMalformed or kNewer. Never throws.
DocumentLoad ParsePrefixDocument(const std::string& text, DocumentTable* document);

// Reads the document at `path` (ParsePrefixDocument); `document` is empty unless kLoaded. Never
// throws.
DocumentLoad LoadPrefixDocument(const std::wstring& path, DocumentTable* document);

// Replaces the document at `path` with `text` atomically: the text goes to a file of its own
// beside it (PendingDocumentPath), is flushed, and then takes the old document's place. On any
// failure the previous document is left as it was and false is returned with the system's error
// in `error`. Never throws.
bool ReplaceDocument(const std::wstring& path, const std::string& text, DWORD* error = nullptr);

// The file ReplaceDocument writes before the replacement; unique to this process.
std::wstring PendingDocumentPath(const std::wstring& path);

// Documents larger than this are neither read nor written: it bounds the memory a load takes while
// leaving room for 100,000 entries of ordinary names (about 230 bytes each).
constexpr uint64_t kLargestDocument = 32u << 20;
// Elements nested deeper than this (counted from the document, "Settings" being 1) are refused by
// the parser before it recurses further, so a document nested a hundred thousand levels deep
// costs no stack. The module's own documents nest four levels deep.
constexpr size_t kDeepestNesting = 98;

}  // namespace zel::media
