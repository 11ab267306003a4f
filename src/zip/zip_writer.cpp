// The zip archive writer.
//
// Layout (all integers little-endian): for each entry a local header (30 bytes, the name, a 17-byte
// extended-timestamp extra field) followed by the entry's data; then one central header per entry
// (46 bytes, the name, a 9-byte extended-timestamp extra field); then the 22-byte end record. No
// data descriptors, no Zip64, no comments. A stored archive therefore takes exactly 22 bytes plus,
// per entry, 102 bytes, twice the name's length and the data, which is what lets the zip jobs
// announce an archive's size before writing it.
//
// Each entry's local header is first written with provisional values (flag bit 3 set, CRC 0) so
// that the data can follow at once; when the data is done, the writer goes back, rewrites the
// header with the final CRC and sizes (same length), and returns to the end.

#include "zip/zip_writer.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <new>

#include "common/unique_handle.h"
#include "zip/crc32.h"
#include "zip/deflate.h"
#include "zip/zip_entry_source.h"

namespace zel::zip {
namespace {

constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr uint32_t kCentralHeaderSignature = 0x02014B50;
constexpr uint32_t kEndRecordSignature = 0x06054B50;
constexpr uint16_t kVersionMadeBy = 0x0B17;
constexpr uint16_t kVersionNeeded = 20;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr uint16_t kFlagProvisional = 0x0008;
constexpr uint16_t kFlagUtf8Name = 0x0800;
constexpr uint16_t kExtendedTimestampTag = 0x5455;  // "UT"
constexpr uint8_t kTimestampFlags = 7;              // modification, access and creation times
constexpr uint16_t kLocalExtraLength = 17;
constexpr uint16_t kCentralExtraLength = 9;
constexpr uint64_t kLocalFixedSize = 30 + kLocalExtraLength;
constexpr uint64_t kCentralFixedSize = 46 + kCentralExtraLength;
constexpr uint64_t kEndRecordSize = 22;
constexpr uint64_t kLargestArchive = 0xFFFFFFFFull;

// Names ending like this hold compressed data already; deflating them again is wasted work.
constexpr const char* kCompressedSuffixes[] = {".Z", ".zip", ".zoo", ".arc", ".lzh", ".arj", ".gz", ".tgz"};

bool AsciiEqualNoCase(const std::string& a, const char* b) {
  const size_t length = std::strlen(b);
  if (a.size() != length) return false;
  for (size_t i = 0; i < length; ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool HasCompressedSuffix(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return false;
  const std::string suffix = name.substr(dot);
  for (const char* candidate : kCompressedSuffixes) {
    if (AsciiEqualNoCase(suffix, candidate)) return true;
  }
  return false;
}

// The entry name as stored: strict UTF-8 (an unpaired surrogate is refused rather than replaced),
// "/" between folders. False for a name the writer refuses.
bool ToArchiveName(const std::wstring& name, std::string* out) {
  if (name.empty() || name.size() > CZipWriter::kMaxNameBytes) return false;
  const int length = static_cast<int>(name.size());
  const int needed = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0 || static_cast<size_t>(needed) > CZipWriter::kMaxNameBytes) return false;
  out->assign(static_cast<size_t>(needed), '\0');
  ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name.data(), length, out->data(), needed, nullptr, nullptr);
  std::replace(out->begin(), out->end(), '\\', '/');
  return true;
}

// A little-endian header under construction.
class HeaderBytes {
 public:
  void U8(uint8_t value) { bytes_.push_back(value); }
  void U16(uint32_t value) {
    U8(static_cast<uint8_t>(value));
    U8(static_cast<uint8_t>(value >> 8));
  }
  void U32(uint32_t value) {
    U16(value & 0xFFFF);
    U16(value >> 16);
  }
  void Bytes(const std::string& text) { bytes_.insert(bytes_.end(), text.begin(), text.end()); }
  const unsigned char* Data() const { return bytes_.data(); }
  size_t Size() const { return bytes_.size(); }

 private:
  std::vector<unsigned char> bytes_;
};

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

const wchar_t* ZipResultText(ZipResult result) {
  switch (result) {
    case ZipOk: return L"ok";
    case ZipCannotOpen: return L"cannot be opened or examined";
    case ZipWriteFailed: return L"write failed or stopped";
    case ZipBadArguments: return L"refused (name, size or kind the archive cannot hold)";
    case ZipAlreadyClosed: return L"archive already closed";
    case ZipCannotSeek: return L"cannot seek in the archive";
  }
  return L"unknown result";
}

std::unique_ptr<ZipSink> CreateFileSink(const std::wstring& path) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
  return FileSinkOn(std::move(file));
}

std::unique_ptr<ZipSink> FileSinkOn(UniqueFile file) {
  if (!file) return nullptr;
  return std::make_unique<FileSink>(std::move(file));
}

struct CZipWriter::EntryRecord {
  uint16_t version_made_by = kVersionMadeBy;
  uint16_t version_needed = kVersionNeeded;
  uint16_t flags = kFlagProvisional;
  uint16_t method = kMethodStored;
  uint32_t dos_date_time = 0;  // time in the low half, date in the high half
  uint32_t crc = 0;
  uint32_t compressed_size = 0;
  uint32_t uncompressed_size = 0;
  uint16_t local_flags = kFlagProvisional;
  uint32_t external_attributes = 0;
  uint32_t local_header_offset = 0;
  std::string name;
  uint32_t modified = 0;  // the low 32 bits of the Unix times
  uint32_t accessed = 0;
  uint32_t created = 0;

  // The fields both headers share, from "version needed" to the extra field's length.
  void SharedFields(HeaderBytes& header, uint16_t header_flags, uint16_t extra_length) const {
    header.U16(version_needed);
    header.U16(header_flags);
    header.U16(method);
    header.U32(dos_date_time);
    header.U32(crc);
    header.U32(compressed_size);
    header.U32(uncompressed_size);
    header.U16(static_cast<uint32_t>(name.size()));
    header.U16(extra_length);
  }

  HeaderBytes LocalHeader() const {
    HeaderBytes header;
    header.U32(kLocalHeaderSignature);
    SharedFields(header, local_flags, kLocalExtraLength);
    header.Bytes(name);
    header.U16(kExtendedTimestampTag);
    header.U16(13);
    header.U8(kTimestampFlags);
    header.U32(modified);
    header.U32(accessed);
    header.U32(created);
    return header;
  }

  HeaderBytes CentralHeader() const {
    HeaderBytes header;
    header.U32(kCentralHeaderSignature);
    header.U16(version_made_by);
    SharedFields(header, flags, kCentralExtraLength);
    header.U16(0);  // comment length
    header.U16(0);  // disk number start
    header.U16(0);  // internal attributes
    header.U32(external_attributes);
    header.U32(local_header_offset);
    header.Bytes(name);
    header.U16(kExtendedTimestampTag);
    header.U16(5);
    header.U8(kTimestampFlags);
    header.U32(modified);
    return header;
  }
};

// Reads an entry's source for the stored copy and for the compressor alike, so that the CRC and
// the count of bytes read come out the same either way. Never yields more than `limit` bytes.
class CZipWriter::EntryReader final : public DeflateInput {
 public:
  EntryReader(HANDLE file, const unsigned char* memory, size_t memory_size, const std::atomic<bool>* cancel)
      : file_(file), memory_(memory), memory_size_(memory_size), cancel_(cancel) {}

  void SetLimit(uint64_t limit) { limit_ = limit; }

  size_t Read(unsigned char* buffer, size_t capacity) override {
    if (cancel_ != nullptr && cancel_->load()) {
      cancelled_ = true;
      return 0;
    }
    const uint64_t room = limit_ - count_;
    if (room < capacity) capacity = static_cast<size_t>(room);
    size_t got = 0;
    if (file_ != INVALID_HANDLE_VALUE) {
      DWORD read = 0;
      // A read error ends the entry like the end of the file: what was read is what is recorded.
      if (capacity > 0 && ::ReadFile(file_, buffer, static_cast<DWORD>(std::min<size_t>(capacity, 1u << 30)), &read, nullptr)) {
        got = read;
      }
    } else {
      got = std::min<size_t>(capacity, memory_size_ - static_cast<size_t>(count_));
      std::memcpy(buffer, memory_ + count_, got);
    }
    crc_ = Crc32(crc_, buffer, got);
    count_ += got;
    return got;
  }

  uint32_t Crc() const { return crc_; }
  uint64_t Count() const { return count_; }
  bool Cancelled() const { return cancelled_; }

 private:
  HANDLE file_;
  const unsigned char* memory_;
  size_t memory_size_;
  const std::atomic<bool>* cancel_;
  bool cancelled_ = false;
  uint64_t limit_ = 0;
  uint64_t count_ = 0;
  uint32_t crc_ = 0;
};

// The compressor's output, written to the sink as it comes.
class CZipWriter::SinkOutput final : public DeflateOutput {
 public:
  explicit SinkOutput(ZipSink& sink) : sink_(sink) {}
  bool Write(const unsigned char* data, size_t size) override { return sink_.Write(data, size); }

 private:
  ZipSink& sink_;
};

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

  EntryRecord record;
  if (!ToArchiveName(name, &record.name)) return ZipBadArguments;
  if (std::any_of(record.name.begin(), record.name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
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

  // Everything must stay addressable by 32-bit offsets and sizes, the end record included.
  const uint64_t name_size = record.name.size();
  const uint64_t fixed = written_ + kLocalFixedSize + name_size + central_size_ + kCentralFixedSize + name_size +
                         kEndRecordSize;
  if (info.size > 0xFFFFFFFFull || fixed > kLargestArchive) return ZipBadArguments;
  const uint64_t data_room = kLargestArchive - fixed;
  const uint64_t worst_data = record.method == kMethodStored ? info.size : DeflateBound(info.size);
  if (worst_data > data_room) return ZipBadArguments;
  // A source that grows while it is read is cut where its entry would no longer fit.
  uint64_t input_limit = record.method == kMethodStored ? data_room : DeflateInputLimit(data_room);
  // A file others may be writing (a log) is taken as it was when looked at, however it grows.
  if (source.kind == ZipSourceKind::kOpenFile) input_limit = std::min(input_limit, info.size);

  record.dos_date_time = (static_cast<uint32_t>(info.dos_date) << 16) | info.dos_time;
  record.compressed_size = record.method == kMethodStored ? static_cast<uint32_t>(info.size) : 0;
  record.uncompressed_size = static_cast<uint32_t>(info.size);
  record.external_attributes = info.external_attributes;
  record.local_header_offset = static_cast<uint32_t>(written_);
  record.modified = static_cast<uint32_t>(info.unix_modified);
  record.accessed = static_cast<uint32_t>(info.unix_accessed);
  record.created = static_cast<uint32_t>(info.unix_created);

  HANDLE read_from = INVALID_HANDLE_VALUE;
  if (source.kind == ZipSourceKind::kFile) read_from = file.Get();
  if (source.kind == ZipSourceKind::kOpenFile) read_from = source.file;
  EntryReader reader(read_from, static_cast<const unsigned char*>(source.data), source.length, cancel_);
  const ZipResult result = WriteEntry(record, reader, input_limit);
  if (result != ZipOk) return result;
  central_size_ += kCentralFixedSize + name_size;
  records_.push_back(std::move(record));
  return ZipOk;
}

ZipResult CZipWriter::WriteEntry(EntryRecord& record, EntryReader& reader, uint64_t input_limit) {
  if (record.method == kMethodDeflated && compressor_ == nullptr) {
    compressor_ = DeflateCompressor::Create(kZipDeflateLevel);
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
    record.flags |= kDeflateLevels[kZipDeflateLevel - 1].zip_flags;
    SinkOutput output(*sink_);
    data_ok = compressor_->Compress(reader, buffer_.get(), kWorkBufferSize, output, &compressed) == DeflateResult::kOk;
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
  record.compressed_size = static_cast<uint32_t>(compressed);
  record.uncompressed_size = static_cast<uint32_t>(reader.Count());
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
  for (const EntryRecord& record : records_) {
    if (result == ZipOk) {
      const HeaderBytes header = record.CentralHeader();
      if (!sink_->Write(header.Data(), header.Size())) result = ZipWriteFailed;
    }
    directory_size += kCentralFixedSize + record.name.size();
  }
  if (result == ZipOk) {
    HeaderBytes end;
    end.U32(kEndRecordSignature);
    end.U16(0);  // this disk
    end.U16(0);  // disk of the central directory
    end.U16(static_cast<uint32_t>(records_.size() & 0xFFFF));
    end.U16(static_cast<uint32_t>(records_.size() & 0xFFFF));
    end.U32(static_cast<uint32_t>(directory_size));
    end.U32(static_cast<uint32_t>(directory_offset));
    end.U16(0);  // comment length
    if (!sink_->Write(end.Data(), end.Size())) result = ZipWriteFailed;
  }
  records_.clear();
  records_.shrink_to_fit();
  compressor_.reset();
  sink_.reset();
  return result;
}

}  // namespace zel::zip
