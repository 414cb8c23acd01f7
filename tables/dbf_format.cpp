#include "tables/dbf_format.h"

#include <bit>
#include <cstring>
#include <string>

#include "text/text.h"

namespace brivasto::dbf {
namespace {

// Memo fields (M, B, G) hold only a block number in the table itself: they
// are read as that text, so a table with a memo column we never use still opens.
constexpr std::string_view kKnownTypes = "CNFLDIO+MBG";

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

}  // namespace

int CodePageOfDriver(std::uint8_t driver) {
  switch (driver) {
    case 0x01:
      return 437;
    case 0x02:
      return 850;
    case 0x03:
    case 0x57:
    case 0x58:
    case 0x59:
      return 1252;
    case 0x64:
      return 852;
    case 0x65:
      return 866;
    case 0xC8:
      return 1250;
    case 0xC9:
      return 1251;
    default:
      return 0;
  }
}

int CodePageOfDriverName(std::string_view name) {
  // "DB" + "WIN" (Windows 1252) or the code page's digits + a locale.
  if (name.size() < 3 || name.substr(0, 2) != "DB") return 0;
  name.remove_prefix(2);
  if (name.substr(0, 3) == "WIN") return 1252;
  int codePage = 0;
  std::size_t digits = 0;
  while (digits < name.size() && digits < 4 && name[digits] >= '0' && name[digits] <= '9') {
    codePage = codePage * 10 + (name[digits] - '0');
    ++digits;
  }
  switch (codePage) {
    case 437:
    case 850:
    case 852:
    case 866:
    case 1250:
    case 1251:
    case 1252:
      return codePage;
    default:
      return 0;
  }
}

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
    if (kKnownTypes.find(static_cast<char>(type)) == std::string_view::npos || type == 0) {
      Damaged(where, label + " es de un tipo desconocido o no admitido: " + TypeText(type));
    }
    field.type = static_cast<char>(type);
    const bool fixed4 = type == 'I' || type == '+';
    if (width == 0 || (fixed4 && width != 4) || (type == 'O' && width != 8)) {
      Damaged(where, label + " tiene una anchura imposible para su tipo " + TypeText(type) + ": " +
                         std::to_string(width));
    }
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

  header.codePage = CodePageOfDriver(file[29]);
  if (header.codePage == 0 && header.level7) {
    header.codePage = CodePageOfDriverName(NameAt(&file[32], 32));
  }
  if (header.codePage == 0) header.codePage = 1252;
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
