#include "tables/dbf_format.h"

#include <bit>
#include <cstring>
#include <optional>
#include <string>

#include "text/text.h"

namespace brivasto::dbf {
namespace {

[[noreturn]] void Damaged(std::string_view where, const std::string& detail) {
  throw TransferError(std::string(where) + " está dañada: " + detail + ".");
}

std::string TypeText(std::uint8_t type) {
  if (type >= 0x21 && type < 0x7F) return std::string("\"") + static_cast<char>(type) + "\"";
  static constexpr char kHex[] = "0123456789ABCDEF";
  return std::string("0x") + kHex[type >> 4] + kHex[type & 0x0F];
}

std::string NameAt(const std::uint8_t* p, std::size_t maxLength) {
  std::string name;
  for (std::size_t i = 0; i < maxLength && p[i] != 0; ++i) name.push_back(static_cast<char>(p[i]));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name;
}

// How a field of `type` is stored in a table of `header`'s dialect;
// std::nullopt for a type that is not read there. Memo fields hold only a
// block number in the table itself: they are read as that number, so a
// table with a memo column we never use still opens.
std::optional<Storage> StorageOf(std::uint8_t type, std::size_t width, const Header& header) {
  switch (type) {
    case 'C':
      return Storage::kText;
    case 'N':
    case 'F':
    case 'D':
      return Storage::kDigits;
    case 'L':
      return Storage::kLogical;
    default:
      break;
  }
  if (header.level7) {
    switch (type) {
      case 'I':
      case '+':
        return Storage::kLevel7Long;
      case 'O':
        return Storage::kLevel7Double;
      case '@':
        return Storage::kLevel7Time;
      case 'M':
      case 'B':
      case 'G':
        return Storage::kDigits;
      default:
        return std::nullopt;
    }
  }
  // The 32-byte layout: dBase III to 5, FoxBASE, FoxPro and Visual FoxPro.
  // Binary numbers there are FoxPro's, little-endian.
  switch (type) {
    case 'I':
      return Storage::kLittleLong;
    case 'Y':
      return Storage::kCurrency;
    case 'T':
      return Storage::kFoxTime;
    case 'B':
      // Visual FoxPro's double; a memo elsewhere.
      return header.visualFoxPro ? Storage::kLittleDouble : Storage::kDigits;
    case 'M':
    case 'G':
    case 'P':
    case 'W':
      // Visual FoxPro keeps the block number in 4 binary bytes.
      return header.visualFoxPro && width == 4 ? Storage::kLittleMemo : Storage::kDigits;
    default:
      return std::nullopt;
  }
}

// The width that a field stored so must have; 0 when any width will do.
std::size_t FixedWidth(Storage storage) {
  switch (storage) {
    case Storage::kLevel7Long:
    case Storage::kLittleLong:
    case Storage::kLittleMemo:
      return 4;
    case Storage::kLevel7Double:
    case Storage::kLevel7Time:
    case Storage::kLittleDouble:
    case Storage::kCurrency:
    case Storage::kFoxTime:
      return 8;
    default:
      return 0;
  }
}

constexpr std::uint8_t kNullFlagsType = '0';
constexpr std::uint8_t kCanBeNull = 0x02;  // Visual FoxPro field flag

}  // namespace

Header ParseHeader(std::span<const std::uint8_t> file, std::string_view where) {
  const auto incomplete = [&] {
    Damaged(where, "la cabecera está incompleta (el archivo tiene " + std::to_string(file.size()) +
                       " bytes)");
  };
  if (file.size() < kHeaderSize) incomplete();
  Header header;
  header.version = file[0];
  if (header.version == 0x02) {
    throw TransferError(std::string(where) +
                        " es una tabla de dBase II, un formato que no se puede leer.");
  }
  header.level7 = (header.version & 0x07) == 4;
  header.visualFoxPro = header.version >= 0x30 && header.version <= 0x32;
  header.recordCount = ReadU32(&file[4]);
  header.headerLength = ReadU16(&file[8]);
  header.recordLength = ReadU16(&file[10]);
  const std::size_t descriptorsStart = header.level7 ? kLevel7HeaderSize : kHeaderSize;
  const std::size_t descriptorSize = header.level7 ? kLevel7DescriptorSize : kDescriptorSize;
  if (file.size() < descriptorsStart || file.size() < header.headerLength) incomplete();
  if (header.headerLength < descriptorsStart + 1) {
    Damaged(where, "la longitud de la cabecera (" + std::to_string(header.headerLength) +
                       ") es menor que la de una cabecera sin campos");
  }

  std::size_t recordLength = 1;  // the deletion flag
  std::size_t pos = descriptorsStart;
  int nullBits = 0;
  for (;;) {
    if (pos >= header.headerLength) {
      Damaged(where, "falta la marca de fin de los campos dentro de la longitud de la cabecera (" +
                         std::to_string(header.headerLength) + ")");
    }
    if (file[pos] == kDescriptorEnd) break;
    if (pos + descriptorSize >= header.headerLength) {
      Damaged(where, "la longitud de la cabecera (" + std::to_string(header.headerLength) +
                         ") no corresponde a los campos descritos");
    }
    const std::uint8_t* d = &file[pos];
    Field field;
    std::uint8_t type;
    std::size_t width;
    if (header.level7) {
      field.name = NameAt(d, 32);
      type = d[32];
      width = d[33];
      field.decimals = d[34];
    } else {
      field.name = NameAt(d, 11);
      type = d[11];
      width = d[16];
      field.decimals = d[17];
      // Text fields wider than 255 keep the high byte of the width in the
      // decimals byte (FoxPro, Clipper); dBase itself writes 0 there.
      if (type == 'C') {
        width |= static_cast<std::size_t>(d[17]) << 8;
        field.decimals = 0;
      }
    }
    const std::string label =
        "el campo " + std::to_string(header.fields.size() + 1) + " (" + field.name + ")";
    if (header.visualFoxPro && type == kNullFlagsType) {
      // The hidden _NullFlags field: one bit per field that can be null.
      header.nullFlagsOffset = recordLength;
      header.nullFlagsWidth = width;
      recordLength += width;
      pos += descriptorSize;
      continue;
    }
    const std::optional<Storage> storage = StorageOf(type, width, header);
    if (!storage) {
      if (type < 0x21 || type >= 0x7F) {
        Damaged(where, label + " es de un tipo desconocido: " + TypeText(type));
      }
      throw TransferError(std::string(where) + " tiene " + label + " de tipo " + TypeText(type) +
                          ", un tipo de campo que no se puede leer.");
    }
    field.type = static_cast<char>(type);
    field.storage = *storage;
    const std::size_t fixed = FixedWidth(*storage);
    if (width == 0 || (fixed != 0 && width != fixed)) {
      Damaged(where, label + " tiene una anchura imposible para su tipo " + TypeText(type) + ": " +
                         std::to_string(width));
    }
    if (header.visualFoxPro && (d[18] & kCanBeNull) != 0) field.nullBit = nullBits++;
    field.width = width;
    field.offset = recordLength;
    recordLength += width;
    header.fields.push_back(std::move(field));
    pos += descriptorSize;
  }
  if (header.fields.empty()) Damaged(where, "la cabecera no describe ningún campo");
  if (header.recordLength != recordLength) {
    Damaged(where, "la longitud de registro de la cabecera (" +
                       std::to_string(header.recordLength) +
                       ") no corresponde a los campos, que suman " + std::to_string(recordLength));
  }

  if (nullBits > 0 && static_cast<std::size_t>(nullBits) > 8 * header.nullFlagsWidth) {
    Damaged(where, std::to_string(nullBits) +
                       " campos pueden ser nulos, pero el campo _NullFlags solo tiene sitio para " +
                       std::to_string(8 * header.nullFlagsWidth));
  }
  header.languageDriver = file[29];
  if (header.level7) header.driverName = NameAt(&file[32], 32);
  return header;
}

std::vector<std::uint8_t> BuildHeader(std::span<const Field> fields, int year, int month, int day) {
  const std::size_t headerLength = kHeaderSize + kDescriptorSize * fields.size() + 1;
  std::size_t recordLength = 1;
  for (const Field& f : fields) recordLength += f.width;
  std::vector<std::uint8_t> bytes(headerLength, 0);
  bytes[0] = kVersionDbase3;
  bytes[1] = static_cast<std::uint8_t>(year - 1900);
  bytes[2] = static_cast<std::uint8_t>(month);
  bytes[3] = static_cast<std::uint8_t>(day);
  // Bytes 4-7, the record count, stay 0 until the table is complete.
  bytes[8] = static_cast<std::uint8_t>(headerLength);
  bytes[9] = static_cast<std::uint8_t>(headerLength >> 8);
  bytes[10] = static_cast<std::uint8_t>(recordLength);
  bytes[11] = static_cast<std::uint8_t>(recordLength >> 8);
  bytes[28] = 0;  // no production index
  bytes[29] = kLanguageDriver1252;
  std::size_t pos = kHeaderSize;
  for (const Field& f : fields) {
    std::memcpy(&bytes[pos], f.name.data(), std::min(f.name.size(), kMaxFieldNameLength));
    bytes[pos + 11] = static_cast<std::uint8_t>(f.type);
    bytes[pos + 16] = static_cast<std::uint8_t>(f.width);
    bytes[pos + 17] = static_cast<std::uint8_t>(f.decimals);
    pos += kDescriptorSize;
  }
  bytes[pos] = kDescriptorEnd;
  return bytes;
}

std::int32_t DecodeLong(const std::uint8_t* bytes) {
  std::uint32_t raw = 0;
  for (int i = 0; i < 4; ++i) raw = raw << 8 | bytes[i];
  return static_cast<std::int32_t>(raw ^ 0x80000000u);
}

std::array<std::uint8_t, 4> EncodeLong(std::int32_t value) {
  const std::uint32_t raw = static_cast<std::uint32_t>(value) ^ 0x80000000u;
  return {static_cast<std::uint8_t>(raw >> 24), static_cast<std::uint8_t>(raw >> 16),
          static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw)};
}

double DecodeDouble(const std::uint8_t* bytes) {
  constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
  std::uint64_t raw = 0;
  for (int i = 0; i < 8; ++i) raw = raw << 8 | bytes[i];
  // Stored with the sign bit set for positive numbers and all bits inverted
  // for negative ones, so that the bytes sort like the numbers.
  raw = (raw & kSign) != 0 ? raw ^ kSign : ~raw;
  return std::bit_cast<double>(raw);
}

double DecodeBigEndianDouble(const std::uint8_t* bytes) {
  std::uint64_t raw = 0;
  for (int i = 0; i < 8; ++i) raw = raw << 8 | bytes[i];
  return std::bit_cast<double>(raw);
}

std::array<std::uint8_t, 8> EncodeDouble(double value) {
  constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
  std::uint64_t raw = std::bit_cast<std::uint64_t>(value);
  raw = (raw & kSign) != 0 ? ~raw : raw | kSign;
  std::array<std::uint8_t, 8> bytes{};
  for (int i = 7; i >= 0; --i) {
    bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(raw);
    raw >>= 8;
  }
  return bytes;
}

}  // namespace brivasto::dbf
