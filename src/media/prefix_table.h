#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

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

// The key of an "X" id: the at most two characters after the X ("XAB12" -> "AB", "X" -> "").
// Only meaningful for ids that begin with "X".
std::wstring PrefixKeyOf(const std::wstring& id);

// The key a satellite registering for the first time gets: one past the largest key of `table`
// ("AA" when the table is empty or holds only the empty key; AZ -> BA). nullopt when the largest
// key leaves no next one (its first character is the last UTF-16 code unit).
std::optional<std::wstring> NextPrefixKey(const PrefixMap& table);

// The configuration document for `table`: UTF-8, the declaration, Settings/Common/MediumIdPrefixs
// and one MediumIdPrefix element per entry in key order with its seven attributes in their order.
std::string PrintPrefixDocument(const PrefixMap& table);

// Reads a configuration document's text into `table` (cleared first). False, with `table` empty,
// for a document that is not well-formed, too large or too deeply nested, lacks "Settings" or
// carries a "Version" other than "1.0". A document without "Common" or "MediumIdPrefixs" is a
// valid, empty table. The number of entries is not limited.
bool ParsePrefixDocument(const std::string& text, PrefixMap* table);

// True when ParsePrefixDocument would take a document of `text`'s size and nesting: what is
// checked before a save, so that the module never writes a document it would refuse to read.
bool WithinDocumentLimits(const std::string& text);

// How deeply the parser will nest elements in `text` (what it takes for an element, a comment, a
// declaration or a quoted attribute value, it is taken for here too). Counting stops past `limit`.
size_t ElementNesting(const std::string& text, size_t limit);

enum class DocumentState {
  kLoaded,   // read and parsed
  kAbsent,   // no such file: an empty table, which a save may create
  kRefused,  // there, but unreadable (locked, no access, ...) or refused by ParsePrefixDocument
};

// Reads the document at `path` (ParsePrefixDocument); `table` is empty unless kLoaded. Never
// throws.
DocumentState LoadPrefixDocument(const std::wstring& path, PrefixMap* table);

// Replaces the document at `path` with `text` atomically: the text goes to a file of its own
// beside it (PendingDocumentPath), is flushed, and then takes the old document's place. On any
// failure the previous document is left as it was and false is returned. Never throws.
bool ReplaceDocument(const std::wstring& path, const std::string& text);

// The file ReplaceDocument writes before the replacement; unique to this process.
std::wstring PendingDocumentPath(const std::wstring& path);

// Documents larger than this are neither read nor written: it bounds the memory a load takes while
// leaving room for 100,000 entries of ordinary names (about 230 bytes each).
constexpr uint64_t kLargestDocument = 32u << 20;
// Documents nested deeper than this are neither read nor written. The parser recurses once per
// level, so depth, not the number of entries (which are siblings), is what costs stack; the
// module's own documents nest four levels deep.
constexpr size_t kDeepestNesting = 256;

}  // namespace zel::media
