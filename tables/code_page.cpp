#include "tables/code_page.h"

#include <unicode/ucnv.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <string>

#include "text/text.h"

namespace brivasto::code_page {
namespace {

const char* IcuName(int codePage) {
  switch (codePage) {
    case 437:
      return "ibm-437";
    case 850:
      return "ibm-850";
    case 852:
      return "ibm-852";
    case 866:
      return "ibm-866";
    case 1250:
      return "windows-1250";
    case 1251:
      return "windows-1251";
    case 1252:
      return "windows-1252";
    default:
      return nullptr;
  }
}

[[noreturn]] void MissingCodePage(int codePage, UErrorCode status) {
  throw TransferError("No se puede usar la página de códigos " + std::to_string(codePage) +
                      " para las tablas: " + u_errorName(status) + ".");
}

}  // namespace

std::array<char16_t, 256> DecodingTable(int codePage) {
  const char* name = IcuName(codePage);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UConverter, decltype(&ucnv_close)> converter(
      name != nullptr ? ucnv_open(name, &status) : nullptr, &ucnv_close);
  if (name == nullptr) status = U_UNSUPPORTED_ERROR;
  if (U_FAILURE(status) || !converter) MissingCodePage(codePage, status);
  // Undefined bytes come back as U+FFFD rather than as a control character.
  const UChar replacement[] = {0xFFFD};
  ucnv_setSubstString(converter.get(), replacement, 1, &status);
  std::array<char16_t, 256> table{};
  for (int byte = 0; byte < 256; ++byte) {
    const char in = static_cast<char>(byte);
    UChar out[4];
    status = U_ZERO_ERROR;
    const int32_t length = ucnv_toUChars(converter.get(), out, 4, &in, 1, &status);
    table[static_cast<std::size_t>(byte)] =
        U_SUCCESS(status) && length == 1 ? static_cast<char16_t>(out[0]) : u'\uFFFD';
  }
  return table;
}

}  // namespace brivasto::code_page
