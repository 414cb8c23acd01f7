// tables/dbf_format.h (private): the byte layout of dBase files. Header
// parsing with its consistency checks, the language driver a file declares,
// and the binary number encodings of level 7 and Visual FoxPro tables.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brivasto::dbf {

// Offsets and sizes of the 32-byte header layout (dBase III, IV and 5).
inline constexpr std::size_t kHeaderSize = 32;
inline constexpr std::size_t kDescriptorSize = 32;
// Offsets and sizes of the level 7 layout.
inline constexpr std::size_t kLevel7HeaderSize = 68;
inline constexpr std::size_t kLevel7DescriptorSize = 48;

inline constexpr std::uint8_t kVersionDbase3 = 0x03;  // 32-byte layout, no memo
inline constexpr std::uint8_t kDescriptorEnd = 0x0D;
inline constexpr std::uint8_t kFileEnd = 0x1A;
inline constexpr std::uint8_t kLiveRecord = 0x20;
inline constexpr std::uint8_t kDeletedRecord = 0x2A;  // '*'
// Language driver "DBWINWE0": Windows 1252, read as such by every reader we
// exchange files with.
inline constexpr std::uint8_t kLanguageDriver1252 = 0x58;

inline constexpr std::size_t kRecordCountOffset = 4;
inline constexpr std::size_t kMaxFieldNameLength = 10;  // 32-byte layout

// Widths of the numeric fields we write.
inline constexpr int kIntegerWidth = 11;
inline constexpr int kRealWidth = 20;
inline constexpr int kRealDecimals = 4;

// How a field's bytes are read; set from its type letter and the table's
// dialect when the header is parsed.
enum class Storage {
  kText,          // C: text in the table's code page, blank-padded
  kDigits,        // N, F, D, and memo block numbers in ASCII digits
  kLogical,       // L
  kLevel7Long,    // I, + of level 7: big-endian, top bit inverted
  kLevel7Double,  // O of level 7: big-endian, made to sort as bytes
  kLevel7Time,    // @ of level 7: big-endian double of milliseconds
  kLittleLong,    // I of the 32-byte layout (FoxPro): little-endian int32
  kLittleDouble,  // B of Visual FoxPro: little-endian double
  kCurrency,      // Y of FoxPro: little-endian int64, value x 10,000
  kFoxTime,       // T of FoxPro: little-endian Julian day, then milliseconds
  kLittleMemo,    // M, G, P, W of Visual FoxPro: little-endian block number
};

struct Field {
  std::string name;  // as stored, without the NUL fill
  char type = 'C';   // C N F L D I O + @ B Y T M G P W
  Storage storage = Storage::kText;
  std::size_t offset = 0;  // from the start of the record (byte 0 is the deletion flag)
  std::size_t width = 0;
  int decimals = 0;
  int nullBit = -1;  // Visual FoxPro: its bit in _NullFlags, when it can be null
};

struct Header {
  std::uint8_t version = 0;
  bool level7 = false;
  bool visualFoxPro = false;      // version 0x30, 0x31, 0x32
  std::uint32_t recordCount = 0;  // as the header claims
  std::size_t headerLength = 0;
  std::size_t recordLength = 0;
  std::uint8_t languageDriver = 0;  // byte 29
  std::string driverName;           // level 7: the name at 32-63
  std::vector<Field> fields;        // without the _NullFlags system field
  // Visual FoxPro's hidden _NullFlags field, when the table has one.
  std::size_t nullFlagsOffset = 0;
  std::size_t nullFlagsWidth = 0;
};

// Parses and checks the header at the start of `file` (the whole file).
// Throws TransferError starting with `where` (which names the table and its
// file) and saying what is damaged, or which field has a type that is not
// read.
Header ParseHeader(std::span<const std::uint8_t> file, std::string_view where);

// The 32-byte layout header and field descriptors of a new table (record
// count 0, dated `year`-`month`-`day`), ending with the 0x0D mark.
std::vector<std::uint8_t> BuildHeader(std::span<const Field> fields, int year, int month, int day);

// Level 7 binary numbers: I and + are big-endian with the top bit inverted,
// O is a big-endian double made to sort as bytes.
std::int32_t DecodeLong(const std::uint8_t* bytes);
std::array<std::uint8_t, 4> EncodeLong(std::int32_t value);
double DecodeDouble(const std::uint8_t* bytes);
std::array<std::uint8_t, 8> EncodeDouble(double value);
// A level 7 @ value: a big-endian double, no bits changed.
double DecodeBigEndianDouble(const std::uint8_t* bytes);

// Little-endian integers of the header and of FoxPro fields.
inline std::uint32_t ReadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline std::uint64_t ReadU64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(ReadU32(p)) | static_cast<std::uint64_t>(ReadU32(p + 4)) << 32;
}
inline std::uint16_t ReadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::array<std::uint8_t, 4> U32Bytes(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

}  // namespace brivasto::dbf
