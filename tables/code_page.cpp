#include "tables/code_page.h"

#include <unicode/ucnv.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <string>

#include "text/text.h"

namespace brivasto::code_page {
namespace {

// ICU's converter for Windows 1252, the code page of the tables we write.
constexpr const char* kWindows1252 = "windows-1252";

[[noreturn]] void MissingCodePage(int codePage, UErrorCode status) {
  throw TransferError("No se puede usar la página de códigos " + std::to_string(codePage) +
                      " para las tablas: " + u_errorName(status) + ".");
}

}  // namespace

void Encoder1252::Close::operator()(UConverter* converter) const { ucnv_close(converter); }

Encoder1252::Encoder1252() {
  UErrorCode status = U_ZERO_ERROR;
  converter_.reset(ucnv_open(kWindows1252, &status));
  if (U_FAILURE(status) || !converter_) MissingCodePage(1252, status);
  ucnv_setSubstChars(converter_.get(), "?", 1, &status);
  if (U_FAILURE(status)) MissingCodePage(1252, status);
}

Encoder1252::Encoder1252(Encoder1252&&) noexcept = default;
Encoder1252& Encoder1252::operator=(Encoder1252&&) noexcept = default;
Encoder1252::~Encoder1252() = default;

std::string Encoder1252::Encode(std::u16string_view text, std::size_t width) {
  // Most texts of the exchange tables (codes, ids, numbers) are ASCII, which
  // Windows 1252 holds as it is: the converter is not needed for them.
  const std::u16string_view stored = text.substr(0, std::min(text.size(), width));
  if (std::all_of(stored.begin(), stored.end(), [](char16_t c) { return c < 0x80; })) {
    std::string bytes(width, ' ');
    std::transform(stored.begin(), stored.end(), bytes.begin(),
                   [](char16_t c) { return static_cast<char>(c); });
    return bytes;
  }
  // The first `width` characters, an unpaired surrogate made U+FFFD so that
  // every character becomes exactly one byte.
  std::u16string kept;
  kept.reserve(std::min(text.size(), 2 * width));
  std::size_t characters = 0;
  std::size_t i = 0;
  while (i < text.size() && characters < width) {
    UChar32 c;
    U16_NEXT(text.data(), i, text.size(), c);
    if (U_IS_SURROGATE(c)) c = 0xFFFD;
    if (U_IS_BMP(c)) {
      kept.push_back(static_cast<char16_t>(c));
    } else {
      kept.push_back(static_cast<char16_t>(U16_LEAD(c)));
      kept.push_back(static_cast<char16_t>(U16_TRAIL(c)));
    }
    ++characters;
  }
  std::string bytes(width + 1, ' ');
  UErrorCode status = U_ZERO_ERROR;
  ucnv_resetFromUnicode(converter_.get());
  const int32_t length =
      ucnv_fromUChars(converter_.get(), bytes.data(), static_cast<int32_t>(bytes.size()),
                      kept.data(), static_cast<int32_t>(kept.size()), &status);
  if (U_FAILURE(status) || static_cast<std::size_t>(length) != characters) {
    throw TransferError(
        std::string("No se puede convertir un texto a la página de códigos 1252: ") +
        u_errorName(status) + ".");
  }
  // ucnv_fromUChars ends the text with a NUL when there is room: pad instead.
  bytes.resize(width);
  for (std::size_t k = characters; k < width; ++k) bytes[k] = ' ';
  return bytes;
}

}  // namespace brivasto::code_page
