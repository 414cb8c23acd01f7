// Reading a table: the file is found without regard to letter case, held
// exclusively, read whole (or, for a table read once from start to end, a
// window of records at a time), and its fields decoded on demand.
#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "files/files.h"
#include "tables/dbf_format.h"
#include "tables/decoding.h"
#include "tables/numbers.h"
#include "tables/tables.h"

namespace brivasto {
namespace {

// The table's name without a ".DBF" ending.
std::string_view BaseName(std::string_view name) {
  constexpr std::string_view kExtension = ".DBF";
  if (name.size() > kExtension.size() &&
      EqualAsciiIgnoringCase(name.substr(name.size() - kExtension.size()), kExtension)) {
    name.remove_suffix(kExtension.size());
  }
  return name;
}

bool IsPad(std::uint8_t byte) { return byte == ' ' || byte == 0; }

// A Julian day number and milliseconds since midnight as "YYYYMMDD hh:mm:ss"
// (the form of a date field, then the time); std::nullopt outside years 1
// to 9999.
std::optional<std::u16string> DateTimeText(std::int64_t julianDay, std::int64_t milliseconds) {
  if (milliseconds < 0 || milliseconds >= 86400000) {
    julianDay += milliseconds / 86400000 - (milliseconds % 86400000 < 0 ? 1 : 0);
    milliseconds = ((milliseconds % 86400000) + 86400000) % 86400000;
  }
  // Julian day 1721426 is 0001-01-01 and 5373484 is 9999-12-31 (Gregorian).
  if (julianDay < 1721426 || julianDay > 5373484) return std::nullopt;
  // The Gregorian calendar date of a Julian day number (Fliegel and Van
  // Flandern).
  std::int64_t l = julianDay + 68569;
  const std::int64_t n = 4 * l / 146097;
  l -= (146097 * n + 3) / 4;
  const std::int64_t i = 4000 * (l + 1) / 1461001;
  l = l - 1461 * i / 4 + 31;
  const std::int64_t j = 80 * l / 2447;
  const std::int64_t day = l - 2447 * j / 80;
  l = j / 11;
  const std::int64_t month = j + 2 - 12 * l;
  const std::int64_t year = 100 * (n - 49) + i + l;
  const std::int64_t seconds = milliseconds / 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d %02d:%02d:%02d", static_cast<int>(year),
                static_cast<int>(month), static_cast<int>(day), static_cast<int>(seconds / 3600),
                static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  return std::u16string(text, text + std::strlen(text));
}

// FoxPro's currency, an integer of ten-thousandths, as exact decimal text:
// "12.5", "-0.0001", "3".
std::u16string CurrencyText(std::int64_t tenThousandths) {
  const bool negative = tenThousandths < 0;
  // The magnitude as unsigned, so that the smallest int64 has one too.
  const std::uint64_t magnitude =
      negative ? std::uint64_t{0} - static_cast<std::uint64_t>(tenThousandths)
               : static_cast<std::uint64_t>(tenThousandths);
  std::string text = (negative ? "-" : "") + std::to_string(magnitude / 10000);
  std::string fraction = std::to_string(magnitude % 10000);
  fraction.insert(0, 4 - fraction.size(), '0');
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (!fraction.empty()) text += "." + fraction;
  return std::u16string(text.begin(), text.end());
}

// The code page that the .cpg file beside `table` (same name, any letter
// case) names; 0 when there is no such file, or when it names no code page
// we know, and then `unknown` says what it names.
int CodePageOfCpgBeside(const std::filesystem::path& table, std::string& unknown) {
  const std::vector<std::filesystem::path> found =
      files::FindIgnoringAsciiCase(table.parent_path(), table.stem().string() + ".cpg");
  if (found.empty()) return 0;
  std::ifstream in(found.front(), std::ios::binary);
  std::string text(256, '\0');  // a code page name, not a file to read whole
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  const int codePage = decoding::CodePageOfCpg(text);
  if (codePage == 0) {
    std::string shown = text.substr(0, text.find_first_of("\r\n"));
    for (char& c : shown) {
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    }
    unknown = "en " + found.front().filename().string() + " la página de códigos \"" + shown + "\"";
  }
  return codePage;
}

// The number that the digits of a numeric field write in the commonest
// form, blank-padded "-12.50": at most 15 digits, so that the digits and
// the power of ten are exact doubles and one division rounds as a full
// parse of the text does; nullopt for any other form (read the long way).
std::optional<double> PlainDecimal(const std::uint8_t* begin, const std::uint8_t* end) {
  while (begin != end && IsPad(*begin)) ++begin;
  while (end != begin && IsPad(end[-1])) --end;
  const bool negative = begin != end && *begin == '-';
  if (negative) ++begin;
  std::int64_t digits = 0;
  int count = 0;
  int decimals = -1;  // digits after the point; -1 before it
  for (; begin != end; ++begin) {
    if (*begin >= '0' && *begin <= '9') {
      if (++count > 15) return std::nullopt;  // before the digits could overflow
      digits = digits * 10 + (*begin - '0');
      if (decimals >= 0) ++decimals;
    } else if (*begin == '.' && decimals < 0) {
      decimals = 0;
    } else {
      return std::nullopt;
    }
  }
  if (count == 0) return std::nullopt;
  constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                     1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  double value = static_cast<double>(digits);
  if (decimals > 0) value /= kPowersOfTen[decimals];
  return negative ? -value : value;
}

bool AllZero(const std::uint8_t* bytes, std::size_t count) {
  return std::all_of(bytes, bytes + count, [](std::uint8_t b) { return b == 0; });
}

}  // namespace

struct Table::Impl {
  std::string name;       // as asked for
  std::string tableName;  // without ".DBF", for messages
  std::filesystem::path path;
  files::UniqueFd hold;  // open while the handle lives: the exclusive hold
  // The records read: the whole file, or for a streamed table a window of
  // whole records starting at file position `windowFirst`.
  std::vector<std::uint8_t> data;
  bool streamed = false;
  std::size_t fileSize = 0;
  mutable std::vector<std::uint8_t> window;
  mutable std::size_t windowFirst = 0;
  mutable std::size_t windowCount = 0;
  mutable std::u16string scratch;  // the text of a field read as a number
  dbf::Header header;
  std::vector<std::uint32_t> live;  // file positions (0-based) of the live records
  std::optional<decoding::Decoder> decoder;
  std::string codePageNotice;  // a language driver or .cpg file that is not known
  char16_t decimalSeparator = u'.';

  // The bytes of the record at file position `position` (0-based).
  const std::uint8_t* RecordAt(std::size_t position) const {
    if (!streamed) return data.data() + header.headerLength + position * header.recordLength;
    if (position < windowFirst || position >= windowFirst + windowCount) ReadWindow(position);
    return window.data() + (position - windowFirst) * header.recordLength;
  }
  void ReadWindow(std::size_t position) const;

  const std::uint8_t* FieldBytes(std::size_t record, std::size_t field) const {
    if (record >= live.size()) {
      throw TransferError("La tabla " + tableName + " no tiene el registro " +
                          std::to_string(record + 1) + " (tiene " + std::to_string(live.size()) +
                          ").");
    }
    if (field >= header.fields.size()) {
      throw TransferError("La tabla " + tableName + " no tiene el campo número " +
                          std::to_string(field + 1) + ".");
    }
    return RecordAt(live[record]) + header.fields[field].offset;
  }

  void Decode(std::size_t record, std::size_t field, const std::uint8_t* begin,
              const std::uint8_t* end, std::u16string& text) const {
    text.clear();
    if (!decoder->Decode(begin, end, text)) {
      throw TransferError(
          "La tabla " + tableName + ", registro " + std::to_string(live[record] + 1) + ", campo " +
          header.fields[field].name + ": el texto no es válido en la página de códigos " +
          decoding::CodePageName(codePage) + " que declara la tabla.");
    }
  }

  // Whether the field holds no value: a null Visual FoxPro field, or a level
  // 7 binary field of zero bytes (its numbers are stored with the sign bit
  // flipped, so zero bytes are no number).
  bool IsEmpty(std::size_t record, std::size_t field) const;
  // The field's text into `out`, replacing what it held.
  void Text(std::size_t record, std::size_t field, std::u16string& out) const;
  double Number(std::size_t record, std::size_t field) const;
  // Reads the open file whole, with its header; a streamed table reads its
  // header and passes once over its records.
  void Read();
  // The file's bytes from `offset` into `bytes` (as many as it holds);
  // throws when the file is shorter than `bytes` must be.
  void ReadAt(std::size_t offset, std::vector<std::uint8_t>& bytes) const;

  [[noreturn]] void Fail(const char* what, int error) const {
    throw TransferError("No se puede " + std::string(what) + " la tabla " + tableName + " (" +
                        files::PathText(path) + "): " + files::ErrnoText(error) + ".");
  }
  int codePage = decoding::kWindows1252;
  void ChooseCodePage();
  bool TextLooksLikeUtf8() const;
  void ChooseNullBits(const std::string& where);
  // The first live record (1-based position in the file) in which a set
  // bit of _NullFlags does not name a null value when each field's bit is
  // `bitOf`; 0 when there is none.
  std::size_t FirstRecordAgainst(const std::vector<int>& bitOf) const;

  [[noreturn]] void NotANumber(std::size_t record, std::size_t field, const std::u16string& text,
                               const std::string& problem) const {
    throw TransferError("La tabla " + tableName + ", registro " + std::to_string(live[record] + 1) +
                        ", campo " + header.fields[field].name + ": \"" + ToUtf8(text) + "\" " +
                        problem + ".");
  }
};

bool Table::Impl::IsEmpty(std::size_t record, std::size_t field) const {
  const std::uint8_t* bytes = FieldBytes(record, field);
  const dbf::Field& f = header.fields[field];
  switch (f.storage) {
    case dbf::Storage::kLevel7Long:
    case dbf::Storage::kLevel7Double:
    case dbf::Storage::kLevel7Time:
      return AllZero(bytes, f.width);
    case dbf::Storage::kFoxTime:  // FoxPro's empty date and time: zeros or blanks
      return AllZero(bytes, 4) ||
             std::all_of(bytes, bytes + f.width, [](std::uint8_t b) { return b == ' '; });
    default:
      break;
  }
  if (f.nullBit < 0) return false;
  const std::uint8_t* flags = RecordAt(live[record]) + header.nullFlagsOffset;
  return (flags[f.nullBit / 8] >> (f.nullBit % 8) & 1) != 0;
}

void Table::Impl::Text(std::size_t record, std::size_t field, std::u16string& out) const {
  const std::uint8_t* begin = FieldBytes(record, field);
  if (IsEmpty(record, field)) {
    out.clear();
    return;
  }
  const dbf::Field& f = header.fields[field];
  const std::uint8_t* end = begin + f.width;
  const auto dateTime = [&](std::optional<std::u16string> text) {
    if (!text) NotANumber(record, field, u"", "no es una fecha y hora válida");
    return *text;
  };
  switch (f.storage) {
    case dbf::Storage::kText:
      // Only the blanks that pad the text to the width go.
      while (end != begin && IsPad(end[-1])) --end;
      Decode(record, field, begin, end, out);
      return;
    case dbf::Storage::kLogical:
      switch (*begin) {
        case 'T':
        case 't':
        case 'Y':
        case 'y':
          out = u"T";
          return;
        case 'F':
        case 'f':
        case 'N':
        case 'n':
          out = u"F";
          return;
        default:
          out = u"";
          return;
      }
    case dbf::Storage::kLevel7Long:
      out = DecimalText(dbf::DecodeLong(begin));
      return;
    case dbf::Storage::kLittleLong:
      out = DecimalText(static_cast<std::int32_t>(dbf::ReadU32(begin)));
      return;
    case dbf::Storage::kLevel7Double:
    case dbf::Storage::kLittleDouble:
      out = numbers::ShortestText(Number(record, field));
      return;
    case dbf::Storage::kCurrency:
      out = CurrencyText(static_cast<std::int64_t>(dbf::ReadU64(begin)));
      return;
    case dbf::Storage::kLevel7Time: {
      // Milliseconds from 0001-01-01, which is day 1 (Julian day 1721426).
      const double ms = dbf::DecodeBigEndianDouble(begin);
      if (!std::isfinite(ms) || std::fabs(ms) > 1e18) dateTime(std::nullopt);
      const auto whole = static_cast<std::int64_t>(std::floor(ms));
      out = dateTime(DateTimeText(1721425 + whole / 86400000, whole % 86400000));
      return;
    }
    case dbf::Storage::kFoxTime: {
      const std::uint32_t day = dbf::ReadU32(begin);
      out = dateTime(DateTimeText(static_cast<std::int32_t>(day),
                                  static_cast<std::int32_t>(dbf::ReadU32(begin + 4))));
      return;
    }
    case dbf::Storage::kLittleMemo: {
      const std::uint32_t block = dbf::ReadU32(begin);
      out = block == 0 ? u"" : DecimalText(static_cast<std::int64_t>(block));
      return;
    }
    case dbf::Storage::kDigits:
      break;
  }
  // N, F, D, and memo block numbers: digits, blank-padded on either side.
  while (begin != end && IsPad(*begin)) ++begin;
  while (end != begin && IsPad(end[-1])) --end;
  Decode(record, field, begin, end, out);
}

double Table::Impl::Number(std::size_t record, std::size_t field) const {
  const std::uint8_t* bytes = FieldBytes(record, field);
  if (IsEmpty(record, field)) return 0;  // an empty field is 0
  const dbf::Field& f = header.fields[field];
  const auto finite = [&](double value) {
    // A double field can hold NaN or an infinity: no number of a table.
    if (!std::isfinite(value)) {
      NotANumber(record, field, numbers::ShortestText(value), "no es un número");
    }
    return value;
  };
  switch (f.storage) {
    case dbf::Storage::kLevel7Long:
      return dbf::DecodeLong(bytes);
    case dbf::Storage::kLittleLong:
      return static_cast<std::int32_t>(dbf::ReadU32(bytes));
    case dbf::Storage::kLevel7Double:
      return finite(dbf::DecodeDouble(bytes));
    case dbf::Storage::kLittleDouble: {
      std::uint64_t raw = dbf::ReadU64(bytes);
      return finite(std::bit_cast<double>(raw));
    }
    case dbf::Storage::kCurrency:
      return static_cast<double>(static_cast<std::int64_t>(dbf::ReadU64(bytes))) / 10000.0;
    default:
      break;
  }
  if (f.storage == dbf::Storage::kDigits && (f.type == 'N' || f.type == 'F')) {
    if (const std::optional<double> value = PlainDecimal(bytes, bytes + f.width)) return *value;
  }
  Text(record, field, scratch);
  const std::u16string& text = scratch;
  if (f.type == 'N' || f.type == 'F') {
    if (text.empty()) return 0;  // an empty numeric field is 0
    const std::optional<double> value = numbers::Parse(text, u'.');
    if (!value) NotANumber(record, field, text, "no es un número");
    return *value;
  }
  const std::optional<double> value = numbers::Parse(text, decimalSeparator);
  if (!value) NotANumber(record, field, text, "no es un número");
  return *value;
}

std::size_t Table::Impl::FirstRecordAgainst(const std::vector<int>& bitOf) const {
  std::vector<int> fieldOfBit(8 * header.nullFlagsWidth, -1);
  for (std::size_t i = 0; i < bitOf.size(); ++i) {
    if (bitOf[i] >= 0) fieldOfBit[static_cast<std::size_t>(bitOf[i])] = static_cast<int>(i);
  }
  for (const std::uint32_t position : live) {
    const std::uint8_t* record = RecordAt(position);
    const std::uint8_t* flags = record + header.nullFlagsOffset;
    for (std::size_t bit = 0; bit < fieldOfBit.size(); ++bit) {
      if ((flags[bit / 8] >> (bit % 8) & 1) == 0) continue;
      if (fieldOfBit[bit] < 0) return position + std::size_t{1};
      // A null value's bytes are blanks or zeros.
      const dbf::Field& f = header.fields[static_cast<std::size_t>(fieldOfBit[bit])];
      const std::uint8_t* bytes = record + f.offset;
      if (!AllZero(bytes, f.width) &&
          !std::all_of(bytes, bytes + f.width, [](std::uint8_t b) { return b == ' '; })) {
        return position + std::size_t{1};
      }
    }
  }
  return 0;
}

// Visual FoxPro gives each field that can be null the next bit of
// _NullFlags; python3-dbf gives it the bit of its position among all the
// fields. Where the two differ, the records tell which rule wrote them: the
// bits of null values name fields whose bytes are blanks or zeros.
void Table::Impl::ChooseNullBits(const std::string& where) {
  std::vector<int> foxPro, byPosition;
  for (std::size_t i = 0; i < header.fields.size(); ++i) {
    foxPro.push_back(header.fields[i].nullBit);
    byPosition.push_back(header.fields[i].nullBit >= 0 ? static_cast<int>(i) : -1);
  }
  if (foxPro == byPosition ||
      header.fields.size() > 8 * header.nullFlagsWidth) {  // no room for python3-dbf's rule
    return;
  }
  const std::size_t against = FirstRecordAgainst(foxPro);
  if (against == 0) return;
  if (FirstRecordAgainst(byPosition) == 0) {
    for (std::size_t i = 0; i < header.fields.size(); ++i) header.fields[i].nullBit = byPosition[i];
    return;
  }
  throw TransferError(where + " está dañada: en el registro " + std::to_string(against) +
                      ", los indicadores de valores nulos (_NullFlags) no corresponden a los "
                      "campos.");
}

// The code page of the table's text: the language driver byte, else the
// level 7 driver name, else (byte 29 = 0 on the 32-byte layout) the .cpg
// file beside the table, else Windows 1252. A driver or .cpg file we do not
// know is read as 1252 too, with a notice that names it.
// Whether the text fields hold bytes beyond ASCII, all of them in valid
// UTF-8 sequences (which text in an 8-bit code page hardly ever does).
bool Table::Impl::TextLooksLikeUtf8() const {
  bool beyondAscii = false;
  for (const std::uint32_t position : live) {
    const std::uint8_t* record = RecordAt(position);
    for (const dbf::Field& f : header.fields) {
      if (f.storage != dbf::Storage::kText) continue;
      const std::uint8_t* bytes = record + f.offset;
      const auto width = static_cast<std::int32_t>(f.width);
      for (std::int32_t i = 0; i < width;) {
        if (bytes[i] < 0x80) {
          ++i;
          continue;
        }
        UChar32 c;
        U8_NEXT(bytes, i, width, c);
        if (c < 0) return false;
        beyondAscii = true;
      }
    }
  }
  return beyondAscii;
}

void Table::Impl::ChooseCodePage() {
  const std::uint8_t driver = header.languageDriver;
  codePage = decoding::CodePageOfDriver(driver);
  if (codePage == 0 && !header.driverName.empty()) {
    codePage = decoding::CodePageOfDriverName(header.driverName);
  }
  std::string unknown;  // what the table declares, when that is not known
  if (codePage == 0) {
    if (driver != 0) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      unknown =
          std::string("el controlador de idioma 0x") + kHex[driver >> 4] + kHex[driver & 0x0F];
    } else if (!header.driverName.empty()) {
      unknown = "el controlador de idioma \"" + header.driverName + "\"";
    } else if (!header.level7) {
      codePage = CodePageOfCpgBeside(path, unknown);
    }
  }
  if (!unknown.empty()) {
    codePageNotice = "La tabla " + tableName + " declara " + unknown +
                     ", que no se conoce: su texto se ha leído como Windows 1252 y puede tener "
                     "caracteres equivocados.";
  } else if (codePage == 0 && TextLooksLikeUtf8()) {
    // Some writers (LibreOffice among them) store UTF-8 without saying so.
    codePageNotice = "La tabla " + tableName +
                     " no declara su página de códigos y su texto parece UTF-8: se ha leído como "
                     "Windows 1252 y puede tener caracteres equivocados. Si es UTF-8, ponga junto "
                     "a ella un archivo " +
                     tableName + ".cpg que diga UTF-8.";
  }
  if (codePage == 0) codePage = decoding::kWindows1252;
  decoder.emplace(codePage);
}

Table Table::Open(const std::filesystem::path& directory, std::string_view name,
                  char16_t decimalSeparator) {
  return OpenHeld(directory, name, decimalSeparator, false);
}

Table Table::OpenStreamed(const std::filesystem::path& directory, std::string_view name,
                          char16_t decimalSeparator) {
  return OpenHeld(directory, name, decimalSeparator, true);
}

Table Table::OpenHeld(const std::filesystem::path& directory, std::string_view name,
                      char16_t decimalSeparator, bool streamed) {
  auto impl = std::make_unique<Impl>();
  impl->streamed = streamed;
  impl->name = std::string(name);
  impl->tableName = AsciiUpper(BaseName(name));
  impl->decimalSeparator = decimalSeparator;
  const std::string fileName = impl->tableName + ".DBF";
  const std::string missing = "No existe la tabla " + impl->tableName + " (" + fileName + ") en " +
                              files::PathText(directory);

  std::error_code ignored;
  if (!std::filesystem::is_directory(directory, ignored)) {
    throw TransferError(missing + ": no existe el directorio.");
  }
  const std::vector<std::filesystem::path> found =
      files::FindIgnoringAsciiCase(directory, fileName);
  if (found.empty()) throw TransferError(missing + ".");
  // The name in the catalogue's letter case wins over other spellings.
  const auto exact = std::find_if(found.begin(), found.end(),
                                  [&](const auto& p) { return p.filename() == fileName; });
  impl->path = exact != found.end() ? *exact : found.front();
  impl->hold = files::UniqueFd(::open(impl->path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!impl->hold.Valid()) impl->Fail("abrir", errno);
  if (!files::TryHoldExclusively(impl->hold.Get())) {
    throw TransferError("La tabla " + impl->tableName +
                        " está en uso por otro programa: " + files::PathText(impl->path) + ".");
  }
  impl->Read();
  return Table(std::move(impl));
}

void Table::Impl::ReadAt(std::size_t offset, std::vector<std::uint8_t>& bytes) const {
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::pread(hold.Get(), bytes.data() + got, bytes.size() - got,
                              static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("leer", errno);
    if (n == 0) break;  // shorter than it was a moment ago
    got += static_cast<std::size_t>(n);
  }
  if (got == bytes.size()) return;
  if (!streamed) {
    bytes.resize(got);
    return;
  }
  throw TransferError("No se puede leer la tabla " + tableName + " (" + files::PathText(path) +
                      "): el archivo se ha acortado mientras se leía.");
}

void Table::Impl::ReadWindow(std::size_t position) const {
  // About 256 KB of whole records.
  constexpr std::size_t kWindowBytes = std::size_t{1} << 18;
  const std::size_t physical = (fileSize - header.headerLength) / header.recordLength;
  windowFirst = position;
  windowCount =
      std::min(std::max<std::size_t>(1, kWindowBytes / header.recordLength), physical - position);
  window.resize(windowCount * header.recordLength);
  ReadAt(header.headerLength + position * header.recordLength, window);
}

void Table::Impl::Read() {
  struct stat status {};
  if (::fstat(hold.Get(), &status) != 0) Fail("leer", errno);
  fileSize = static_cast<std::size_t>(status.st_size);
  // The file is read in one go, or for a streamed table its header; the
  // file's size, not the header, sets what is read.
  constexpr std::size_t kLongestHeader = 0xFFFF;
  data.resize(streamed ? std::min(fileSize, kLongestHeader) : fileSize);
  ReadAt(0, data);
  if (!streamed) fileSize = data.size();

  const std::string where = "La tabla " + tableName + " (" + files::PathText(path) + ")";
  header = dbf::ParseHeader(data, where);
  // Whole records only: the header's count, unless the file ends before.
  const std::size_t physical = (fileSize - header.headerLength) / header.recordLength;
  const std::size_t count = std::min<std::size_t>(header.recordCount, physical);
  live.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint8_t flag = *RecordAt(k);
    if (flag == dbf::kFileEnd) break;
    if (flag == dbf::kDeletedRecord) continue;
    live.push_back(static_cast<std::uint32_t>(k));
  }
  ChooseNullBits(where);
  ChooseCodePage();
}

Table::Table(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Table::Table(Table&&) noexcept = default;
Table& Table::operator=(Table&&) noexcept = default;
Table::~Table() = default;

const std::string& Table::Name() const { return impl_->name; }
const std::string& Table::CodePageNotice() const { return impl_->codePageNotice; }
std::size_t Table::RecordCount() const { return impl_->live.size(); }

std::size_t LiveRecordCount(const std::filesystem::path& directory, std::string_view name) {
  return Table::OpenStreamed(directory, name, u'.').RecordCount();
}

bool Table::HasField(std::string_view field) const {
  return std::any_of(impl_->header.fields.begin(), impl_->header.fields.end(),
                     [&](const dbf::Field& f) { return EqualAsciiIgnoringCase(f.name, field); });
}

std::size_t Table::FieldIndex(std::string_view field) const {
  const auto& fields = impl_->header.fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (EqualAsciiIgnoringCase(fields[i].name, field)) return i;
  }
  throw TransferError("La tabla " + impl_->tableName + " (" + files::PathText(impl_->path) +
                      ") no tiene el campo " + std::string(field) + ".");
}

std::u16string Table::Text(std::size_t record, std::size_t field) const {
  std::u16string text;
  impl_->Text(record, field, text);
  return text;
}

void Table::ReadText(std::size_t record, std::size_t field, std::u16string& out) const {
  impl_->Text(record, field, out);
}

double Table::Real(std::size_t record, std::size_t field) const {
  return impl_->Number(record, field);
}

std::int32_t Table::Integer(std::size_t record, std::size_t field) const {
  const double value = impl_->Number(record, field);
  const std::optional<std::int32_t> integer = numbers::RoundToInt32(value);
  if (!integer) {
    impl_->NotANumber(record, field, Text(record, field), "no cabe en un entero de 32 bits");
  }
  return *integer;
}

std::size_t Table::RecordNumber(std::size_t record) const {
  impl_->FieldBytes(record, 0);  // checks the record
  return impl_->live[record] + std::size_t{1};
}

}  // namespace brivasto
