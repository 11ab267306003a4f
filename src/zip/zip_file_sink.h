#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/unique_handle.h"

namespace zel::zip {

// Where an archive's bytes go. The writer moves back only to rewrite a local header.
class ZipSink {
 public:
  virtual ~ZipSink() = default;
  // Writes all `size` bytes at the current position; false when fewer were written.
  virtual bool Write(const void* data, size_t size) = 0;
  // Moves the position to `offset` bytes from the start.
  virtual bool Seek(uint64_t offset) = 0;
  // Ends the output at the current position.
  virtual bool Truncate() = 0;
};

// A sink on a new disk file, opened for writing with share mode read and the normal attribute.
// Never over an existing file (CREATE_NEW): null when the file exists or cannot be created.
std::unique_ptr<ZipSink> CreateFileSink(const std::wstring& path);
// A sink on a file the caller created for writing; the sink owns it from now on.
std::unique_ptr<ZipSink> FileSinkOn(UniqueFile file);

}  // namespace zel::zip
