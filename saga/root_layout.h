// saga/root_layout.h (private to saga/): where the root element, its end
// tag and the root's sections of one name stand in the bytes of a
// well-formed document, found by a scan of the markup that builds nothing.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "saga/prologue.h"

namespace brivasto::sagadoc {

// The file's bytes seen as a sequence of characters of markup: only ASCII
// characters are ever compared, so a byte or a UTF-16 unit is one position.
class UnitView {
 public:
  UnitView(std::string_view bytes, Units units) : bytes_(bytes), units_(units) {}
  std::size_t Width() const { return units_ == Units::kByte ? 1 : 2; }
  std::size_t Size() const { return bytes_.size() / Width(); }
  char32_t operator[](std::size_t i) const {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(bytes_[at]); };
    switch (units_) {
      case Units::kByte:
        return byte(i);
      case Units::kUtf16LE:
        return byte(2 * i) | (static_cast<char32_t>(byte(2 * i + 1)) << 8);
      case Units::kUtf16BE:
        return (static_cast<char32_t>(byte(2 * i)) << 8) | byte(2 * i + 1);
    }
    return 0;
  }
  // The first position from `at` holding the ASCII character `c`, or Size().
  std::size_t FindChar(std::size_t at, char c) const {
    if (units_ == Units::kByte) {  // the common case, at memchr's speed
      if (at >= bytes_.size()) return Size();
      const std::size_t found = bytes_.find(c, at);
      return found == std::string_view::npos ? Size() : found;
    }
    while (at < Size() && (*this)[at] != static_cast<unsigned char>(c)) ++at;
    return at < Size() ? at : Size();
  }
  // The first position from `at` whose character `stop` accepts, or Size().
  template <typename Stop>
  std::size_t FindIf(std::size_t at, Stop stop) const {
    if (units_ == Units::kByte) {  // the common case, a byte at a time
      const auto* bytes = reinterpret_cast<const unsigned char*>(bytes_.data());
      while (at < bytes_.size() && !stop(static_cast<char32_t>(bytes[at]))) ++at;
      return at;
    }
    while (at < Size() && !stop((*this)[at])) ++at;
    return at;
  }
  bool StartsWith(std::size_t at, std::string_view text) const {
    if (at + text.size() > Size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if ((*this)[at + i] != static_cast<unsigned char>(text[i])) return false;
    }
    return true;
  }

 private:
  std::string_view bytes_;
  Units units_;
};

// Where things are in a well-formed document, in positions of a UnitView.
struct RootLayout {
  std::size_t nameBegin = 0;  // the root's name in its start tag
  std::size_t nameEnd = 0;
  // The root written as <name .../>: the position of its "/>".
  std::optional<std::size_t> emptyTagSlash;
  std::size_t endTag = 0;                                    // the "</" of the root's end tag
  std::vector<std::pair<std::size_t, std::size_t>> removed;  // [begin, end) of old sections
};

// The layout of the document whose markup starts at `start` (after a byte
// order mark), with every child of the root named `sectionName` in
// `removed`. Throws TransferError when the bytes end before the markup does.
RootLayout ScanRootLayout(const UnitView& units, std::size_t start, std::string_view sectionName);

// Widens [begin, end) to whole lines when nothing but blanks shares its
// first and last line with it, so that taking it out leaves no empty line.
std::pair<std::size_t, std::size_t> WholeLines(const UnitView& u, std::size_t begin,
                                               std::size_t end, std::size_t start);

// The line end the file uses (the first one in it), else a line feed.
std::u16string NewlineOf(const UnitView& u, std::size_t start);

}  // namespace brivasto::sagadoc
