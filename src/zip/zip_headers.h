#pragma once

// The byte layout of a zip archive (all integers little-endian): for each entry a local header
// (30 bytes, the name, the extra fields) followed by the entry's data; then one central header per
// entry (46 bytes, the name, the extra fields); then the 22-byte end record. No data descriptors,
// no comments. Every entry carries an extended-timestamp extra field (17 bytes in the local header,
// 9 in the central one).
//
// Zip64 (APPNOTE 6.3, 4.3.9 and 4.5.3) is used where, and only where, a value does not fit its
// classic field (0xFFFFFFFF and 0xFFFF are the format's "look in the Zip64 record" markers, so they
// count as not fitting too):
// - an entry of 0xFFFFFFFF bytes or more: its local header holds both sizes in a Zip64 extra field
//   (20 bytes) ahead of the timestamp, and the classic size fields say 0xFFFFFFFF;
// - in a central header, each of the uncompressed size, the compressed size and the local header's
//   offset that does not fit goes into a Zip64 extra field, in that order (4 + 8 bytes per value);
// - an entry with either field says "version needed" 45 in both headers;
// - when the entry count, the central directory's size or its offset does not fit, the Zip64 end
//   record (56 bytes) and its locator (20 bytes) come before the end record, whose fields that do
//   not fit say 0xFFFF or 0xFFFFFFFF.
// Below those limits an archive is byte for byte what it was before Zip64 was known here: a stored
// archive takes exactly 22 bytes plus, per entry, 102 bytes, twice the name's length and the data.
// ZipLayout below adds up the rest, which is what lets the zip jobs announce an archive's size
// before writing it.

#include <cstdint>
#include <string>
#include <vector>

namespace zel::zip {

constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
constexpr uint32_t kCentralHeaderSignature = 0x02014B50;
constexpr uint32_t kEndRecordSignature = 0x06054B50;
constexpr uint32_t kZip64EndRecordSignature = 0x06064B50;
constexpr uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr uint16_t kVersionMadeBy = 0x0B17;
constexpr uint16_t kVersionNeeded = 20;
constexpr uint16_t kVersionNeededZip64 = 45;
constexpr uint16_t kMethodStored = 0;
constexpr uint16_t kMethodDeflated = 8;
constexpr uint16_t kFlagProvisional = 0x0008;
constexpr uint16_t kFlagUtf8Name = 0x0800;
constexpr uint16_t kZip64ExtraTag = 0x0001;
constexpr uint16_t kExtendedTimestampTag = 0x5455;  // "UT"
constexpr uint8_t kTimestampFlags = 7;              // modification, access and creation times
constexpr uint16_t kLocalExtraLength = 17;
constexpr uint16_t kCentralExtraLength = 9;
constexpr uint64_t kLocalFixedSize = 30 + kLocalExtraLength;
constexpr uint64_t kCentralFixedSize = 46 + kCentralExtraLength;
constexpr uint64_t kEndRecordSize = 22;
constexpr uint64_t kLocalZip64ExtraSize = 4 + 16;
constexpr uint64_t kZip64EndRecordsSize = 56 + 20;  // the Zip64 end record and its locator
constexpr uint32_t kMarker32 = 0xFFFFFFFF;
constexpr uint16_t kMarker16 = 0xFFFF;

constexpr bool Fits32(uint64_t value) { return value < kMarker32; }
constexpr bool Fits16(uint64_t value) { return value < kMarker16; }

// Whether a local header carries both sizes in a Zip64 field: decided from the most data the entry
// may hold before a byte of it is written, since the header's length cannot change afterwards.
constexpr bool LocalSizesNeedZip64(uint64_t most_data) { return !Fits32(most_data); }

// The bytes of a central header's Zip64 field for these values: 4 plus 8 for each that does not fit.
constexpr uint64_t CentralZip64ExtraSize(uint64_t uncompressed, uint64_t compressed, uint64_t offset) {
  const uint64_t values = (Fits32(uncompressed) ? 0 : 1) + (Fits32(compressed) ? 0 : 1) + (Fits32(offset) ? 0 : 1);
  return values == 0 ? 0 : 4 + 8 * values;
}

// Whether the end needs the Zip64 end record and locator.
constexpr bool EndNeedsZip64(uint64_t entries, uint64_t directory_size, uint64_t directory_offset) {
  return !Fits16(entries) || !Fits32(directory_size) || !Fits32(directory_offset);
}

// The exact size of a stored archive, entry by entry, as the writer lays it out.
class ZipLayout {
 public:
  void AddStored(uint64_t name_bytes, uint64_t size) {
    const uint64_t local = kLocalFixedSize + name_bytes + (LocalSizesNeedZip64(size) ? kLocalZip64ExtraSize : 0);
    directory_ += kCentralFixedSize + name_bytes + CentralZip64ExtraSize(size, size, offset_);
    offset_ += local + size;
    ++entries_;
  }
  uint64_t Size() const {
    return offset_ + directory_ + kEndRecordSize + (EndNeedsZip64(entries_, directory_, offset_) ? kZip64EndRecordsSize : 0);
  }

 private:
  uint64_t offset_ = 0;     // of the next local header, which is where the directory starts
  uint64_t directory_ = 0;  // bytes of the central directory
  uint64_t entries_ = 0;
};

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
  void U64(uint64_t value) {
    U32(static_cast<uint32_t>(value));
    U32(static_cast<uint32_t>(value >> 32));
  }
  // A 32-bit field, or its marker when the value goes into a Zip64 field.
  void U32OrMarker(uint64_t value) { U32(Fits32(value) ? static_cast<uint32_t>(value) : kMarker32); }
  void Bytes(const std::string& text) { bytes_.insert(bytes_.end(), text.begin(), text.end()); }
  const unsigned char* Data() const { return bytes_.data(); }
  size_t Size() const { return bytes_.size(); }

 private:
  std::vector<unsigned char> bytes_;
};

// What ends an archive whose central directory of `directory_size` bytes starts at
// `directory_offset`: the Zip64 end record and its locator where a value needs them, then the
// classic end record with the values that fit and the markers of those that do not.
inline HeaderBytes EndRecords(uint64_t entries, uint64_t directory_size, uint64_t directory_offset) {
  HeaderBytes end;
  if (EndNeedsZip64(entries, directory_size, directory_offset)) {
    end.U32(kZip64EndRecordSignature);
    end.U64(56 - 12);  // the record's size after this field
    end.U16(kVersionMadeBy);
    end.U16(kVersionNeededZip64);
    end.U32(0);  // this disk
    end.U32(0);  // disk of the central directory
    end.U64(entries);
    end.U64(entries);
    end.U64(directory_size);
    end.U64(directory_offset);
    end.U32(kZip64LocatorSignature);
    end.U32(0);  // disk of the Zip64 end record
    end.U64(directory_offset + directory_size);  // where the Zip64 end record starts
    end.U32(1);  // disks in all
  }
  const uint32_t classic_entries = Fits16(entries) ? static_cast<uint32_t>(entries) : kMarker16;
  end.U32(kEndRecordSignature);
  end.U16(0);  // this disk
  end.U16(0);  // disk of the central directory
  end.U16(classic_entries);
  end.U16(classic_entries);
  end.U32OrMarker(directory_size);
  end.U32OrMarker(directory_offset);
  end.U16(0);  // comment length
  return end;
}

// What the writer knows of one entry, and the two headers it makes of it.
struct ZipEntryRecord {
  uint16_t version_made_by = kVersionMadeBy;
  uint16_t version_needed = kVersionNeeded;
  uint16_t flags = kFlagProvisional;
  uint16_t method = kMethodStored;
  uint32_t dos_date_time = 0;  // time in the low half, date in the high half
  uint32_t crc = 0;
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;
  uint16_t local_flags = kFlagProvisional;
  uint32_t external_attributes = 0;
  uint64_t local_header_offset = 0;
  bool local_zip64 = false;  // the local header holds the sizes in a Zip64 field
  std::string name;
  uint32_t modified = 0;  // the low 32 bits of the Unix times
  uint32_t accessed = 0;
  uint32_t created = 0;

  // "Version needed", chosen before the local header is first written: the sizes' room and the
  // offset are known then, and no size can outgrow the room chosen for it.
  void ChooseVersion() {
    version_needed = local_zip64 || !Fits32(local_header_offset) ? kVersionNeededZip64 : kVersionNeeded;
  }

  HeaderBytes LocalHeader() const {
    HeaderBytes header;
    header.U32(kLocalHeaderSignature);
    SharedFields(header, local_flags, local_zip64 ? kLocalMarkerSizes : kClassicSizes,
                 static_cast<uint16_t>(kLocalExtraLength + (local_zip64 ? kLocalZip64ExtraSize : 0)));
    header.Bytes(name);
    if (local_zip64) {
      header.U16(kZip64ExtraTag);
      header.U16(16);
      header.U64(uncompressed_size);
      header.U64(compressed_size);
    }
    header.U16(kExtendedTimestampTag);
    header.U16(13);
    header.U8(kTimestampFlags);
    header.U32(modified);
    header.U32(accessed);
    header.U32(created);
    return header;
  }

  HeaderBytes CentralHeader() const {
    const uint64_t zip64_size = CentralZip64ExtraSize(uncompressed_size, compressed_size, local_header_offset);
    HeaderBytes header;
    header.U32(kCentralHeaderSignature);
    header.U16(version_made_by);
    SharedFields(header, flags, kCentralMarkers, static_cast<uint16_t>(kCentralExtraLength + zip64_size));
    header.U16(0);  // comment length
    header.U16(0);  // disk number start
    header.U16(0);  // internal attributes
    header.U32(external_attributes);
    header.U32OrMarker(local_header_offset);
    header.Bytes(name);
    if (zip64_size != 0) {
      header.U16(kZip64ExtraTag);
      header.U16(static_cast<uint32_t>(zip64_size - 4));
      if (!Fits32(uncompressed_size)) header.U64(uncompressed_size);
      if (!Fits32(compressed_size)) header.U64(compressed_size);
      if (!Fits32(local_header_offset)) header.U64(local_header_offset);
    }
    header.U16(kExtendedTimestampTag);
    header.U16(5);
    header.U8(kTimestampFlags);
    header.U32(modified);
    return header;
  }

 private:
  enum SizeFields { kClassicSizes, kLocalMarkerSizes, kCentralMarkers };

  // The fields both headers share, from "version needed" to the extra field's length. The local
  // header's sizes are classic (they fit, as chosen before writing) or both markers; the central
  // header marks each size that does not fit.
  void SharedFields(HeaderBytes& header, uint16_t header_flags, SizeFields sizes, uint16_t extra_length) const {
    header.U16(version_needed);
    header.U16(header_flags);
    header.U16(method);
    header.U32(dos_date_time);
    header.U32(crc);
    if (sizes == kLocalMarkerSizes) {
      header.U32(kMarker32);
      header.U32(kMarker32);
    } else {
      header.U32OrMarker(compressed_size);
      header.U32OrMarker(uncompressed_size);
    }
    header.U16(static_cast<uint32_t>(name.size()));
    header.U16(extra_length);
  }
};

}  // namespace zel::zip
