// tables/decoding.h (private): the text of tables that other programs wrote,
// decoded with ICU in the code page the table declares: its language driver
// byte, its level 7 driver name, or the .cpg file beside it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct UConverter;

namespace brivasto::decoding {

// Code pages are numbered as Windows numbers them: 850, 1252, 10000 (Mac
// Roman), 28591 (ISO-8859-1), 65001 (UTF-8).
inline constexpr int kWindows1252 = 1252;

// The code page of a dBase language driver byte; 0 for 0 (none declared) and
// for a byte no driver list knows.
int CodePageOfDriver(std::uint8_t driver);
// The code page of a level 7 language driver name ("DBWINUS0" is 1252,
// "DB850ES0" is 850); 0 when it names none we know.
int CodePageOfDriverName(std::string_view name);
// The code page a .cpg file names ("UTF-8", "CP850", "1252", "ANSI 1252",
// "ISO-8859-1", "88591", "LATIN1"); 0 when it names none we know.
int CodePageOfCpg(std::string_view text);
// How messages name a code page: "850", "UTF-8", "ISO-8859-1", "Mac Roman".
std::string CodePageName(int codePage);

// Decodes the bytes of a code page that CodePageOf... gave.
class Decoder {
 public:
  // Throws TransferError when ICU lacks the code page.
  explicit Decoder(int codePage);
  Decoder(Decoder&&) noexcept;
  Decoder& operator=(Decoder&&) noexcept;
  ~Decoder();

  // Appends the text of [begin, end) to `out`; false (with `out` as it was)
  // when the bytes are not a valid text in the code page: a byte the code
  // page leaves undefined, an invalid or cut UTF-8 sequence.
  bool Decode(const std::uint8_t* begin, const std::uint8_t* end, std::u16string& out) const;

 private:
  struct Close {
    void operator()(UConverter* converter) const;
  };
  // Single-byte code pages decode through a table; 0xFFFF marks a byte
  // the code page leaves undefined.
  bool singleByte_ = true;
  std::array<char16_t, 256> table_{};
  std::unique_ptr<UConverter, Close> converter_;  // multi-byte code pages
};

}  // namespace brivasto::decoding
