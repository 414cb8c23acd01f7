// saga/prologue.h (private to saga/): what a document's first bytes say,
// read once for the load and the save alike: how its characters of markup
// are stored (a byte order mark, or the order of the bytes of its first
// "<"), and whether an XML declaration opens it and which encoding it names.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace brivasto::sagadoc {

// How the document's characters of markup are stored: one byte each (UTF-8
// and the encodings that keep ASCII as it is), or UTF-16 in either order.
enum class Units { kByte, kUtf16LE, kUtf16BE };

struct ByteOrder {
  Units units = Units::kByte;
  bool utf8Mark = false;
  bool utf16Mark = false;
  // The bytes of the byte order mark, if any.
  std::size_t MarkSize() const { return utf8Mark ? 3 : utf16Mark ? 2 : 0; }
};

ByteOrder SniffByteOrder(std::string_view bytes);

// The byte order and whether an XML declaration opens the document
// (libxml2 does not record the latter).
struct Prologue {
  ByteOrder order;
  bool hasDeclaration = false;
  std::string declaredEncoding;  // as the declaration spells it; empty: none
};

// The bytes a load reads ahead for the prologue: a byte order mark and an
// XML declaration with any encoding name fit.
constexpr std::size_t kPrologueBytes = 512;

Prologue ReadPrologue(std::string_view bytes);

// Whether the encoding a declaration names agrees with the byte order mark.
// With a mark, the XML standard makes a contradicting declaration an
// error; libxml2 would follow the declaration and misread every character
// beyond ASCII.
bool DeclarationAgreesWithMark(const Prologue& prologue);

}  // namespace brivasto::sagadoc
