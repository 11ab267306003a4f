#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "zip/zip_file_sink.h"
#include "zip/zip_headers.h"
#include "zip/zip_names.h"

namespace zel::zip {

class DeflateCompressor;
class ZipEntryReader;

// Results of the writer's operations.
enum ZipResult : uint32_t {
  ZipOk = 0x00000000,
  ZipCannotOpen = 0x00000200,     // archive not creatable, source not openable or its information unreadable
  ZipWriteFailed = 0x00000400,    // a header or entry data not written in full, or a compressor fault
  ZipBadArguments = 0x00010000,   // empty or unusable name, no source, empty memory block, unknown kind,
                                  // or an entry the format cannot hold (see AddEntry)
  ZipAlreadyClosed = 0x00050000,  // the central directory has been written
  ZipCannotSeek = 0x02000000,     // the local header could not be reached to rewrite it
  ZipSourceShrank = 0x00000800,   // a source with a planned size ended before it: the entry is
                                  // complete and consistent, but shorter than planned
};

// A short English description of a result, for log lines.
const wchar_t* ZipResultText(ZipResult result);

enum class ZipSourceKind : int { kFile = 1, kMemory = 2, kOpenFile = 3 };

// What one entry is made of: a disk file the writer opens by path, a disk file the caller has
// opened (read from its start up to `planned` bytes, or up to the size it had when AddEntry looked
// if none was planned; the caller keeps and closes the handle), or a block of memory holding the
// whole contents. The path, handle or memory must stay valid until AddEntry returns.
struct ZipSource {
  static constexpr uint64_t kSizeAsFound = UINT64_MAX;

  ZipSourceKind kind = ZipSourceKind::kFile;
  const wchar_t* path = nullptr;
  const void* data = nullptr;
  size_t length = 0;
  HANDLE file = INVALID_HANDLE_VALUE;
  uint64_t planned = kSizeAsFound;

  static ZipSource File(const std::wstring& file_path) { return {ZipSourceKind::kFile, file_path.c_str(), nullptr, 0}; }
  static ZipSource OpenFile(HANDLE handle, uint64_t planned_size = kSizeAsFound) {
    return {ZipSourceKind::kOpenFile, nullptr, nullptr, 0, handle, planned_size};
  }
  static ZipSource Memory(const void* bytes, size_t size) { return {ZipSourceKind::kMemory, nullptr, bytes, size}; }
};

// One zip archive, written entry by entry (see zip_headers.h for the layout). A writer is used by
// one thread; several writers may run at once.
class CZipWriter {
 public:
  static constexpr size_t kMaxNameBytes = kMaxArchiveNameBytes;
  // The piece size of stored copies. At 16 KiB the per-call
  // cost of ReadFile and WriteFile held a stored archive to well under CopyFileW's throughput;
  // 64 KiB pieces, as copies use, keep up with it.
  static constexpr size_t kWorkBufferSize = 65536;

  // Creates the archive file at `path` (replacing an existing one). Null when the file cannot be
  // created (ZipCannotOpen). Re-reads the runtime library's time-zone settings first, on which the
  // Unix times of the entries depend.
  static std::unique_ptr<CZipWriter> CreateArchive(const std::wstring& path);
  // The same on a sink of the caller's; null only for a null sink.
  static std::unique_ptr<CZipWriter> CreateArchive(std::unique_ptr<ZipSink> sink);

  // Closes the sink. An archive not finished with CloseArchive has no central directory.
  ~CZipWriter();
  CZipWriter(const CZipWriter&) = delete;
  CZipWriter& operator=(const CZipWriter&) = delete;

  // Appends one entry named `name` (a path inside the archive; "\" becomes "/", stored as UTF-8,
  // flagged as UTF-8 (general purpose bit 11) when it is not plain ASCII) with the bytes of
  // `source`, stored if `store_only` or if the name ends in an already-compressed suffix, else
  // deflated. Refused with ZipBadArguments before anything is written: a name that is empty, not
  // valid UTF-16 or longer than 259 UTF-8 bytes; an empty or missing memory block. Sizes and
  // offsets past the classic fields go into Zip64 records (see zip_headers.h); an entry announced
  // below 4 GiB is cut where it would stop fitting its classic fields, should it grow meanwhile.
  // After a write that fell short, every later call is refused with ZipWriteFailed.
  ZipResult AddEntry(const std::wstring& name, const ZipSource& source, bool store_only);
  // The same with the name as stored, made once by ToArchiveName.
  ZipResult AddEntry(const ArchiveName& name, const ZipSource& source, bool store_only);

  // Writes the central directory and the end record, once, and closes the sink; a second call
  // returns ZipAlreadyClosed. After a failed entry the directory goes right after the last
  // complete entry and the file is cut there, so the archive stays readable.
  ZipResult CloseArchive();

  // Lets another thread stop the entry in progress: once `*cancel` is set, the entry's data ends
  // there, AddEntry fails with ZipWriteFailed and so does every later one. Null: no cancel.
  void SetCancelFlag(const std::atomic<bool>* cancel) noexcept { cancel_ = cancel; }

  // Bytes of complete entries so far: the offset of the next local header.
  uint64_t Written() const noexcept { return written_; }

 private:

  explicit CZipWriter(std::unique_ptr<ZipSink> sink);
  ZipResult WriteEntry(ZipEntryRecord& record, ZipEntryReader& reader, uint64_t input_limit);

  std::unique_ptr<ZipSink> sink_;
  uint64_t written_ = 0;
  bool central_written_ = false;
  bool poisoned_ = false;  // a write fell short: the file no longer matches `written_`
  const std::atomic<bool>* cancel_ = nullptr;
  std::vector<ZipEntryRecord> records_;
  std::unique_ptr<unsigned char[]> buffer_;
  // Made for the first deflated entry and kept until CloseArchive, so that an archive of many
  // small files does not allocate and fault in the compressor's state once per file.
  std::unique_ptr<DeflateCompressor> compressor_;
};

}  // namespace zel::zip
