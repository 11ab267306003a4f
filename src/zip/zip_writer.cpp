// The zip archive writer (the byte layout is described in zip_headers.h).
//
// Each entry's local header is first written with provisional values (flag bit 3 set, CRC 0) so
// that the data can follow at once; when the data is done, the writer goes back, rewrites the
// header with the final CRC and sizes (same length), and returns to the end.

#include "zip/zip_writer.h"

#include <algorithm>
#include <ctime>
#include <new>

#include "zip/crc32.h"
#include "zip/deflate.h"
#include "zip/zip_entry_reader.h"
#include "zip/zip_entry_source.h"
#include "zip/zip_names.h"

namespace zel::zip {
namespace {

// The compressor's output, written to the sink as it comes.
class SinkOutput final : public DeflateOutput {
 public:
  explicit SinkOutput(ZipSink& sink) : sink_(sink) {}
  bool Write(const unsigned char* data, size_t size) override { return sink_.Write(data, size); }

 private:
  ZipSink& sink_;
};

}  // namespace

const wchar_t* ZipResultText(ZipResult result) {
  switch (result) {
    case ZipOk: return L"ok";
    case ZipCannotOpen: return L"cannot be opened or examined";
    case ZipWriteFailed: return L"write failed or stopped";
    case ZipBadArguments: return L"refused (name, size or kind the archive cannot hold)";
    case ZipAlreadyClosed: return L"archive already closed";
    case ZipCannotSeek: return L"cannot seek in the archive";
    case ZipSourceShrank: return L"it has shrunk since the archive was planned";
  }
  return L"unknown result";
}

CZipWriter::CZipWriter(std::unique_ptr<ZipSink> sink)
    : sink_(std::move(sink)), buffer_(new unsigned char[kWorkBufferSize]) {}

CZipWriter::~CZipWriter() = default;

std::unique_ptr<CZipWriter> CZipWriter::CreateArchive(const std::wstring& path) {
  _tzset();
  std::unique_ptr<ZipSink> sink = CreateFileSink(path);
  if (sink == nullptr) return nullptr;
  return CreateArchive(std::move(sink));
}

std::unique_ptr<CZipWriter> CZipWriter::CreateArchive(std::unique_ptr<ZipSink> sink) {
  if (sink == nullptr) return nullptr;
  _tzset();
  return std::unique_ptr<CZipWriter>(new CZipWriter(std::move(sink)));
}

ZipResult CZipWriter::AddEntry(const std::wstring& name, const ZipSource& source, bool store_only) {
  if (central_written_) return ZipAlreadyClosed;
  if (poisoned_) return ZipWriteFailed;

  ArchiveName stored;
  if (!ToArchiveName(name, &stored)) return ZipBadArguments;
  return AddEntry(stored, source, store_only);
}

ZipResult CZipWriter::AddEntry(const ArchiveName& name, const ZipSource& source, bool store_only) {
  if (central_written_) return ZipAlreadyClosed;
  if (poisoned_) return ZipWriteFailed;
  if (name.bytes.empty()) return ZipBadArguments;

  ZipEntryRecord record;
  record.name = name.bytes;
  if (!IsPlainAscii(record.name)) {
    record.flags |= kFlagUtf8Name;
    record.local_flags |= kFlagUtf8Name;
  }
  record.method = (store_only || HasCompressedSuffix(record.name)) ? kMethodStored : kMethodDeflated;

  // The source, opened so that nobody may write it while it is read.
  UniqueFile file;
  ZipSourceInfo info;
  switch (source.kind) {
    case ZipSourceKind::kFile:
      if (source.path == nullptr) return ZipBadArguments;
      file.Reset(::CreateFileW(source.path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      if (!file) return ZipCannotOpen;
      if (!ReadDiskFileInfo(file.Get(), &info)) return ZipCannotOpen;
      break;
    case ZipSourceKind::kOpenFile:
      if (source.file == INVALID_HANDLE_VALUE || source.file == nullptr) return ZipBadArguments;
      if (!ReadDiskFileInfo(source.file, &info)) return ZipCannotOpen;
      if (source.planned != ZipSource::kSizeAsFound) info.size = source.planned;
      break;
    case ZipSourceKind::kMemory:
      if (source.data == nullptr || source.length == 0) return ZipBadArguments;
      info = MemoryBlockInfo(source.length);
      break;
    default:
      return ZipBadArguments;
  }
  // Nothing to compress: an empty source is stored, so that its entry holds no data at all.
  if (info.size == 0) record.method = kMethodStored;

  // The local header's length is fixed before the data is known: its sizes get a Zip64 field if
  // the data may reach 4 GiB, else the data is held below that, whatever the source does meanwhile.
  const bool stored = record.method == kMethodStored;
  record.local_zip64 = LocalSizesNeedZip64(stored ? info.size : DeflateBound(info.size));
  uint64_t input_limit = UINT64_MAX;
  if (!record.local_zip64) input_limit = stored ? kMarker32 - 1 : DeflateInputLimit(kMarker32 - 1);
  // A file others may be writing (a log, a recording) is taken as it was when looked at or
  // planned, however it grows.
  if (source.kind == ZipSourceKind::kOpenFile) input_limit = std::min(input_limit, info.size);

  record.dos_date_time = (static_cast<uint32_t>(info.dos_date) << 16) | info.dos_time;
  record.compressed_size = stored ? info.size : 0;
  record.uncompressed_size = info.size;
  record.external_attributes = info.external_attributes;
  record.local_header_offset = written_;
  record.ChooseVersion();
  record.modified = static_cast<uint32_t>(info.unix_modified);
  record.accessed = static_cast<uint32_t>(info.unix_accessed);
  record.created = static_cast<uint32_t>(info.unix_created);

  HANDLE read_from = INVALID_HANDLE_VALUE;
  if (source.kind == ZipSourceKind::kFile) read_from = file.Get();
  if (source.kind == ZipSourceKind::kOpenFile) read_from = source.file;
  ZipEntryReader reader(read_from, static_cast<const unsigned char*>(source.data), source.length, cancel_);
  const ZipResult result = WriteEntry(record, reader, input_limit);
  if (result != ZipOk) return result;
  const bool shrank = source.planned != ZipSource::kSizeAsFound && reader.Count() < source.planned;
  records_.push_back(std::move(record));
  return shrank ? ZipSourceShrank : ZipOk;
}

ZipResult CZipWriter::WriteEntry(ZipEntryRecord& record, ZipEntryReader& reader, uint64_t input_limit) {
  if (record.method == kMethodDeflated && compressor_ == nullptr) {
    compressor_ = DeflateCompressor::Create();
    if (compressor_ == nullptr) return ZipWriteFailed;  // no memory for it: nothing written yet
  }
  const uint64_t header_offset = written_;
  const HeaderBytes provisional = record.LocalHeader();
  if (!sink_->Write(provisional.Data(), provisional.Size())) {
    poisoned_ = true;
    return ZipWriteFailed;
  }

  reader.SetLimit(input_limit);
  uint64_t compressed = 0;
  bool data_ok = true;
  if (record.method == kMethodDeflated) {
    record.flags |= kDeflateZipFlags;
    SinkOutput output(*sink_);
    data_ok = compressor_->Compress(reader, output, &compressed) == DeflateResult::kOk;
  } else {
    for (;;) {
      const size_t got = reader.Read(buffer_.get(), kWorkBufferSize);
      if (got == 0) break;
      if (!sink_->Write(buffer_.get(), got)) {
        data_ok = false;
        break;
      }
      compressed += got;
    }
  }
  if (!data_ok || reader.Cancelled()) {
    poisoned_ = true;
    return ZipWriteFailed;
  }

  record.crc = reader.Crc();
  record.compressed_size = compressed;
  record.uncompressed_size = reader.Count();
  record.flags &= static_cast<uint16_t>(~kFlagProvisional);
  record.local_flags = record.flags;
  const uint64_t end = header_offset + provisional.Size() + compressed;
  const HeaderBytes final_header = record.LocalHeader();
  if (!sink_->Seek(header_offset)) {
    poisoned_ = true;
    return ZipCannotSeek;
  }
  if (!sink_->Write(final_header.Data(), final_header.Size())) {
    poisoned_ = true;
    return ZipWriteFailed;
  }
  if (!sink_->Seek(end)) {
    poisoned_ = true;
    return ZipCannotSeek;
  }
  written_ = end;
  return ZipOk;
}

ZipResult CZipWriter::CloseArchive() {
  if (central_written_) return ZipAlreadyClosed;
  central_written_ = true;
  ZipResult result = ZipOk;
  // After a failed entry the file holds its partial bytes beyond `written_`: cut them off.
  if (poisoned_ && !(sink_->Seek(written_) && sink_->Truncate())) result = ZipWriteFailed;

  const uint64_t directory_offset = written_;
  uint64_t directory_size = 0;
  for (const ZipEntryRecord& record : records_) {
    const HeaderBytes header = record.CentralHeader();
    if (result == ZipOk && !sink_->Write(header.Data(), header.Size())) result = ZipWriteFailed;
    directory_size += header.Size();
  }
  if (result == ZipOk) {
    const HeaderBytes end = EndRecords(records_.size(), directory_size, directory_offset);
    if (!sink_->Write(end.Data(), end.Size())) result = ZipWriteFailed;
  }
  records_.clear();
  records_.shrink_to_fit();
  compressor_.reset();
  sink_.reset();
  return result;
}

}  // namespace zel::zip
