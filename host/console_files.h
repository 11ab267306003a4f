#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace zelhost {

// The web console's static files. No part of a request ever becomes a path: a request names one
// of a fixed set of plain file names, and only that name is looked up. The set is the table built
// into the program from host/console (cmake/embed_console.cmake), or, for editing the console
// without a rebuild, the files that one folder's own listing holds at the time of the request
// (nothing in its subfolders).
class ConsoleFiles {
 public:
  struct Entry {
    const char* name;
    const char* bytes;
    size_t size;
  };
  struct File {
    std::string bytes;
    const char* type;
  };

  ConsoleFiles() = default;  // the built-in table
  explicit ConsoleFiles(std::wstring folder) : folder_(std::move(folder)) {}

  // The file that a request's (decoded) path names: "/" is index.html, "/NAME" a plain name of
  // the set; anything else, separators, "..", drive letters or device names included, is none.
  std::optional<File> Find(const std::string& path) const;

  // A name that the set may hold: no separator, no ':', '%' or control character, no leading or
  // trailing dot or blank, no device name of the platform.
  static bool IsPlainName(const std::string& name);

 private:
  std::optional<File> FindInFolder(const std::string& name) const;

  std::wstring folder_;  // empty: the built-in table

  static const Entry kBuiltIn[];
  static const size_t kBuiltInCount;
};

}  // namespace zelhost
