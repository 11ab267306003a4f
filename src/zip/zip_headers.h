#pragma once

// The byte layout of a zip archive (all integers little-endian): for each entry a local header
// (30 bytes, the name, a 17-byte extended-timestamp extra field) followed by the entry's data; then
// one central header per entry (46 bytes, the name, a 9-byte extended-timestamp extra field); then
// the 22-byte end record. No data descriptors, no Zip64, no comments. A stored archive therefore
// takes exactly 22 bytes plus, per entry, 102 bytes, twice the name's length and the data, which is
// what lets the zip jobs announce an archive's size before writing it.

#include <cstdint>
#include <string>
#include <vector>

namespace zel::zip {

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

// What the writer knows of one entry, and the two headers it makes of it.
struct ZipEntryRecord {
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

}  // namespace zel::zip
