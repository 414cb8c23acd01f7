// tables/code_page.h (private): the Windows 1252 text of the tables we
// write, converted with ICU.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

struct UConverter;

namespace brivasto::code_page {

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
