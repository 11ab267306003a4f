#pragma once

#include <string>

namespace zel::zip {

// The longest entry name the writer stores, in UTF-8 bytes.
constexpr size_t kMaxArchiveNameBytes = 259;

// Whether a name ends in the suffix of data that is compressed already (".zip", ".gz", ...), which
// deflating again would only slow down: such entries are stored. ASCII case is ignored.
bool HasCompressedSuffix(const std::string& name);

// An entry name as stored.
struct ArchiveName {
  std::string bytes;
};

// The entry name as stored: strict UTF-8 (an unpaired surrogate is refused rather than replaced),
// "/" between folders. False for a name the writer refuses (empty, not valid UTF-16, or longer than
// kMaxArchiveNameBytes in UTF-8).
bool ToArchiveName(const std::wstring& name, std::string* out);
inline bool ToArchiveName(const std::wstring& name, ArchiveName* out) { return ToArchiveName(name, &out->bytes); }

// Whether a stored name needs the UTF-8 flag: any byte outside plain ASCII.
bool IsPlainAscii(const std::string& name);

}  // namespace zel::zip
