#include "zip/zip_file_sink.h"

#include <algorithm>
#include <utility>

namespace zel::zip {
namespace {

class FileSink final : public ZipSink {
 public:
  explicit FileSink(UniqueFile file) : file_(std::move(file)) {}
  bool Write(const void* data, size_t size) override {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
      const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
      DWORD written = 0;
      if (!::WriteFile(file_.Get(), bytes, piece, &written, nullptr) || written == 0) return false;
      bytes += written;
      size -= written;
    }
    return true;
  }
  bool Seek(uint64_t offset) override {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    return ::SetFilePointerEx(file_.Get(), position, nullptr, FILE_BEGIN) != FALSE;
  }
  bool Truncate() override { return ::SetEndOfFile(file_.Get()) != FALSE; }

 private:
  UniqueFile file_;
};

}  // namespace

std::unique_ptr<ZipSink> CreateFileSink(const std::wstring& path) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
  return FileSinkOn(std::move(file));
}

std::unique_ptr<ZipSink> FileSinkOn(UniqueFile file) {
  if (!file) return nullptr;
  return std::make_unique<FileSink>(std::move(file));
}

}  // namespace zel::zip
