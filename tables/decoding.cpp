#include "tables/decoding.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

#include <algorithm>
#include <string>

#include "text/text.h"

namespace brivasto::decoding {
namespace {

constexpr int kMacRoman = 10000;
constexpr int kMacGreek = 10006;
constexpr int kMacCyrillic = 10007;
constexpr int kMacLatin2 = 10029;
constexpr int kIso8859 = 28590;  // + the part number: 28591 is ISO-8859-1
constexpr int kUtf8 = 65001;

struct DriverCodePage {
  std::uint8_t driver;
  int codePage;
};

// The language drivers of dBase, FoxPro and the drivers lists of other
// dBase readers, by the byte at offset 29 of the header.
constexpr DriverCodePage kDrivers[] = {
    {0x01, 437},       {0x02, 850},  {0x03, 1252}, {0x04, kMacRoman},    {0x08, 865},
    {0x09, 437},       {0x0A, 850},  {0x0B, 437},  {0x0D, 437},          {0x0E, 850},
    {0x0F, 437},       {0x10, 850},  {0x11, 437},  {0x12, 850},          {0x13, 932},
    {0x14, 850},       {0x15, 437},  {0x16, 850},  {0x17, 865},          {0x18, 437},
    {0x19, 437},       {0x1A, 850},  {0x1B, 437},  {0x1C, 863},          {0x1D, 850},
    {0x1F, 852},       {0x22, 852},  {0x23, 852},  {0x24, 860},          {0x25, 850},
    {0x26, 866},       {0x37, 850},  {0x40, 852},  {0x4D, 936},          {0x4E, 949},
    {0x4F, 950},       {0x50, 874},  {0x57, 1252}, {0x58, 1252},         {0x59, 1252},
    {0x64, 852},       {0x65, 866},  {0x66, 865},  {0x67, 861},          {0x6A, 737},
    {0x6B, 857},       {0x78, 950},  {0x79, 949},  {0x7A, 936},          {0x7B, 932},
    {0x7C, 874},       {0x7D, 1255}, {0x7E, 1256}, {0x96, kMacCyrillic}, {0x97, kMacLatin2},
    {0x98, kMacGreek}, {0xC8, 1250}, {0xC9, 1251}, {0xCA, 1254},         {0xCB, 1253},
    {0xCC, 1257},
};

// The ICU converter of a code page; nullptr for one we do not read.
const char* IcuName(int codePage) {
  switch (codePage) {
    case 437:
      return "ibm-437";
    case 737:
      return "ibm-737";
    case 850:
      return "ibm-850";
    case 852:
      return "ibm-852";
    case 857:
      return "ibm-857";
    case 860:
      return "ibm-860";
    case 861:
      return "ibm-861";
    case 863:
      return "ibm-863";
    case 865:
      return "ibm-865";
    case 866:
      return "ibm-866";
    case 874:
      return "windows-874";
    case 932:
      return "windows-932";
    case 936:
      return "windows-936";
    case 949:
      return "windows-949";
    case 950:
      return "windows-950";
    case 1250:
      return "windows-1250";
    case 1251:
      return "windows-1251";
    case 1252:
      return "windows-1252";
    case 1253:
      return "windows-1253";
    case 1254:
      return "windows-1254";
    case 1255:
      return "windows-1255";
    case 1256:
      return "windows-1256";
    case 1257:
      return "windows-1257";
    case kMacRoman:
      return "macintosh";
    case kMacGreek:
      return "x-mac-greek";
    case kMacCyrillic:
      return "x-mac-cyrillic";
    case kMacLatin2:
      return "x-mac-centraleurroman";
    case kIso8859 + 1:
      return "ISO-8859-1";
    case kIso8859 + 2:
      return "ISO-8859-2";
    case kIso8859 + 5:
      return "ISO-8859-5";
    case kIso8859 + 7:
      return "ISO-8859-7";
    case kIso8859 + 9:
      return "ISO-8859-9";
    case kIso8859 + 15:
      return "ISO-8859-15";
    case kUtf8:
      return "UTF-8";
    default:
      return nullptr;
  }
}

std::string Upper(std::string_view text) {
  std::string upper;
  for (const char c : text) upper.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c);
  return upper;
}

// The number that `text` is made of, digits only; 0 for anything else.
int DigitsValue(std::string_view text) {
  if (text.empty() || text.size() > 5) return 0;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

int Known(int codePage) { return IcuName(codePage) != nullptr ? codePage : 0; }

}  // namespace

int CodePageOfDriver(std::uint8_t driver) {
  const auto found = std::find_if(std::begin(kDrivers), std::end(kDrivers),
                                  [&](const DriverCodePage& d) { return d.driver == driver; });
  return found != std::end(kDrivers) ? found->codePage : 0;
}

int CodePageOfDriverName(std::string_view name) {
  // "DB" + "WIN" (Windows 1252) or the code page's digits + a locale.
  if (name.size() < 3 || name.substr(0, 2) != "DB") return 0;
  name.remove_prefix(2);
  if (name.substr(0, 3) == "WIN") return kWindows1252;
  std::size_t digits = 0;
  while (digits < name.size() && digits < 4 && name[digits] >= '0' && name[digits] <= '9') {
    ++digits;
  }
  return Known(DigitsValue(name.substr(0, digits)));
}

int CodePageOfCpg(std::string_view text) {
  // The first line, without blanks around it; GDAL writes "UTF-8", "CP850"
  // or the bare number, other tools "ANSI 1252" or "ISO-8859-1".
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // a UTF-8 byte-order mark
  text = text.substr(0, text.find_first_of("\r\n"));
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return 0;
  text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
  std::string name = Upper(text);
  if (name == "UTF-8" || name == "UTF8") return kUtf8;
  if (name == "LATIN1" || name == "LATIN-1") return kIso8859 + 1;
  for (const std::string_view prefix : {"ISO-8859-", "ISO8859-", "ISO_8859-", "ISO8859_"}) {
    if (name.starts_with(prefix)) return Known(kIso8859 + DigitsValue(name.substr(prefix.size())));
  }
  if (name.starts_with("8859") && name.size() > 4) {
    const std::string_view part = std::string_view(name).substr(name[4] == '-' ? 5 : 4);
    return Known(kIso8859 + DigitsValue(part));
  }
  for (const std::string_view prefix : {"ANSI ", "OEM ", "CP", "WINDOWS-", "IBM", "IBM-"}) {
    if (name.starts_with(prefix)) {
      name.erase(0, prefix.size());
      break;
    }
  }
  const int codePage = DigitsValue(name);
  // A bare 28591 names ISO-8859-1 too.
  return Known(codePage);
}

std::string CodePageName(int codePage) {
  switch (codePage) {
    case kUtf8:
      return "UTF-8";
    case kMacRoman:
      return "Mac Roman";
    case kMacGreek:
      return "Mac griego";
    case kMacCyrillic:
      return "Mac cirílico";
    case kMacLatin2:
      return "Mac Europa central";
    default:
      if (codePage > kIso8859 && codePage < kIso8859 + 20) {
        return "ISO-8859-" + std::to_string(codePage - kIso8859);
      }
      return std::to_string(codePage);
  }
}

void Decoder::Close::operator()(UConverter* converter) const { ucnv_close(converter); }

Decoder::Decoder(int codePage) {
  const char* name = IcuName(codePage);
  UErrorCode status = name != nullptr ? U_ZERO_ERROR : U_UNSUPPORTED_ERROR;
  if (name != nullptr) converter_.reset(ucnv_open(name, &status));
  if (U_SUCCESS(status) && converter_) {
    // Bytes that are no text stop the conversion instead of becoming U+FFFD.
    ucnv_setToUCallBack(converter_.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                        &status);
  }
  if (U_FAILURE(status) || !converter_) {
    throw TransferError("No se puede leer la página de códigos " + CodePageName(codePage) +
                        " de las tablas: " + u_errorName(status) + ".");
  }
  singleByte_ = ucnv_getMaxCharSize(converter_.get()) == 1;
  if (!singleByte_) return;
  for (int byte = 0; byte < 256; ++byte) {
    const char in = static_cast<char>(byte);
    UChar out[4];
    status = U_ZERO_ERROR;
    ucnv_resetToUnicode(converter_.get());
    const int32_t length = ucnv_toUChars(converter_.get(), out, 4, &in, 1, &status);
    table_[static_cast<std::size_t>(byte)] = U_SUCCESS(status) && length == 1 && out[0] != 0xFFFF
                                                 ? static_cast<char16_t>(out[0])
                                                 : u'\uFFFF';
  }
  converter_.reset();
}

Decoder::Decoder(Decoder&&) noexcept = default;
Decoder& Decoder::operator=(Decoder&&) noexcept = default;
Decoder::~Decoder() = default;

bool Decoder::Decode(const std::uint8_t* begin, const std::uint8_t* end,
                     std::u16string& out) const {
  const std::size_t start = out.size();
  if (singleByte_) {
    out.resize(start + static_cast<std::size_t>(end - begin));
    char16_t* to = out.data() + start;
    for (const std::uint8_t* p = begin; p != end; ++p) {
      const char16_t c = table_[*p];
      if (c == u'\uFFFF') {
        out.resize(start);
        return false;
      }
      *to++ = c;
    }
    return true;
  }
  // Every code page read here keeps ASCII as it is.
  if (std::all_of(begin, end, [](std::uint8_t b) { return b < 0x80; })) {
    out.append(begin, end);
    return true;
  }
  const auto length = static_cast<int32_t>(end - begin);
  // Never more UTF-16 units than bytes; one more for the NUL ICU adds.
  out.resize(start + static_cast<std::size_t>(length) + 1);
  UErrorCode status = U_ZERO_ERROR;
  ucnv_resetToUnicode(converter_.get());
  const int32_t written = ucnv_toUChars(converter_.get(), out.data() + start, length + 1,
                                        reinterpret_cast<const char*>(begin), length, &status);
  if (U_FAILURE(status) || written > length) {
    out.resize(start);
    return false;
  }
  out.resize(start + static_cast<std::size_t>(written));
  return true;
}

}  // namespace brivasto::decoding
