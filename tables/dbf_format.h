// tables/dbf_format.h (private): the byte layout of dBase files. Header
// parsing with its consistency checks, the code page a file declares, and the
// binary number encodings of level 7 tables.
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

struct Field {
  std::string name;        // as stored, without the NUL fill
  char type = 'C';         // C N F L D I O +
  std::size_t offset = 0;  // from the start of the record (byte 0 is the deletion flag)
  std::size_t width = 0;
  int decimals = 0;
};

struct Header {
  std::uint8_t version = 0;
  bool level7 = false;
  std::uint32_t recordCount = 0;  // as the header claims
  std::size_t headerLength = 0;
  std::size_t recordLength = 0;
  int codePage = 1252;
  std::vector<Field> fields;
};

// Parses and checks the header at the start of `file` (the whole file).
// Throws TransferError starting with `where` (which names the table and its
// file) and saying what is damaged.
Header ParseHeader(std::span<const std::uint8_t> file, std::string_view where);

// The code page that a language driver byte names, or 0 when it names none
// we know.
int CodePageOfDriver(std::uint8_t driver);
// The code page that a level 7 language driver name names ("DBWINUS0" is
// 1252, "DB437US0" is 437), or 0.
int CodePageOfDriverName(std::string_view name);

// The 32-byte layout header and field descriptors of a new table (record
// count 0, dated `year`-`month`-`day`), ending with the 0x0D mark.
std::vector<std::uint8_t> BuildHeader(std::span<const Field> fields, int year, int month, int day);

// Level 7 binary numbers: I and + are big-endian with the top bit inverted,
// O is a big-endian double made to sort as bytes.
std::int32_t DecodeLong(const std::uint8_t* bytes);
std::array<std::uint8_t, 4> EncodeLong(std::int32_t value);
double DecodeDouble(const std::uint8_t* bytes);
std::array<std::uint8_t, 8> EncodeDouble(double value);

// Little-endian integers of the header.
inline std::uint32_t ReadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline std::uint16_t ReadU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
inline std::array<std::uint8_t, 4> U32Bytes(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

}  // namespace brivasto::dbf
