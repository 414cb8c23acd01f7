// tables/code_page.h (private): the 8-bit code pages of table texts,
// converted with ICU.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

struct UConverter;

namespace brivasto::code_page {

// The character of every byte of the single-byte code page `codePage`
// (437, 850, 852, 866, 1250, 1251 or 1252); U+FFFD for bytes the code page
// leaves undefined. Throws TransferError when ICU lacks the code page.
std::array<char16_t, 256> DecodingTable(int codePage);

// Converts texts to Windows 1252 for storing them in fields.
class Encoder1252 {
 public:
  Encoder1252();
  Encoder1252(Encoder1252&&) noexcept;
  Encoder1252& operator=(Encoder1252&&) noexcept;
  ~Encoder1252();

  // The text in 1252, cut to its first `width` characters (a surrogate pair
  // is one character) and padded with blanks to `width` bytes. A character
  // 1252 cannot hold, an unpaired surrogate included, becomes '?'.
  std::string Encode(std::u16string_view text, std::size_t width);

 private:
  struct Close {
    void operator()(UConverter* converter) const;
  };
  std::unique_ptr<UConverter, Close> converter_;
};

}  // namespace brivasto::code_page
