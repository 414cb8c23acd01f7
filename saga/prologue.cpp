// The byte order and XML declaration at the start of a SAGA document.
#include "saga/prologue.h"

#include <cctype>

namespace brivasto::sagadoc {

namespace {

// The value of `encoding` in the declaration `text` ("<?xml ... ?>" in
// ASCII, possibly cut short); empty when it has none.
std::string DeclaredEncoding(std::string_view text) {
  const std::size_t end = text.find("?>");
  if (end != std::string_view::npos) text = text.substr(0, end);
  const std::size_t key = text.find("encoding");
  if (key == std::string_view::npos) return {};
  std::size_t at = key + 8;
  const auto skipBlanks = [&] {
    while (at < text.size() &&
           (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n')) {
      ++at;
    }
  };
  skipBlanks();
  if (at >= text.size() || text[at] != '=') return {};
  ++at;
  skipBlanks();
  if (at >= text.size() || (text[at] != '"' && text[at] != '\'')) return {};
  const char quote = text[at];
  const std::size_t close = text.find(quote, at + 1);
  if (close == std::string_view::npos) return {};
  return std::string(text.substr(at + 1, close - at - 1));
}

}  // namespace

ByteOrder SniffByteOrder(std::string_view bytes) {
  const auto byte = [&](std::size_t at) {
    return at < bytes.size() ? static_cast<unsigned char>(bytes[at]) : 0x100u;
  };
  ByteOrder order;
  if (byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
    order.utf8Mark = true;
  } else if (byte(0) == 0xFF && byte(1) == 0xFE) {
    order.utf16Mark = true;
    order.units = Units::kUtf16LE;
  } else if (byte(0) == 0xFE && byte(1) == 0xFF) {
    order.utf16Mark = true;
    order.units = Units::kUtf16BE;
  } else if (byte(0) == '<' && byte(1) == 0) {
    order.units = Units::kUtf16LE;
  } else if (byte(0) == 0 && byte(1) == '<') {
    order.units = Units::kUtf16BE;
  }
  return order;
}

Prologue ReadPrologue(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  Prologue prologue;
  prologue.order = SniffByteOrder(text);
  const std::size_t at = prologue.order.MarkSize();
  const int step = prologue.order.units == Units::kByte ? 1 : 2;  // bytes per character
  // Where the ASCII byte sits within a character.
  const int lowOffset = prologue.order.units == Units::kUtf16BE ? 1 : 0;
  static constexpr char kDeclaration[] = "<?xml";
  const std::size_t needed = 6;  // "<?xml" and one white-space character
  if (size < at + needed * static_cast<std::size_t>(step)) return prologue;
  for (std::size_t i = 0; i < needed; ++i) {
    const std::size_t base = at + i * static_cast<std::size_t>(step);
    const unsigned char c = bytes[base + static_cast<std::size_t>(lowOffset)];
    if (step == 2 && bytes[base + static_cast<std::size_t>(1 - lowOffset)] != 0) return prologue;
    if (i < 5 ? c != static_cast<unsigned char>(kDeclaration[i])
              : !(c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
      return prologue;
    }
  }
  prologue.hasDeclaration = true;
  // The declaration in ASCII, as far as the bytes read ahead go.
  std::string declaration;
  for (std::size_t base = at; base + static_cast<std::size_t>(step) <= size;
       base += static_cast<std::size_t>(step)) {
    const unsigned char c = bytes[base + static_cast<std::size_t>(lowOffset)];
    if (step == 2 && bytes[base + static_cast<std::size_t>(1 - lowOffset)] != 0) break;
    if (c == 0 || c >= 0x80) break;
    declaration.push_back(static_cast<char>(c));
    if (declaration.ends_with("?>")) break;
  }
  prologue.declaredEncoding = DeclaredEncoding(declaration);
  return prologue;
}

bool DeclarationAgreesWithMark(const Prologue& prologue) {
  if (prologue.declaredEncoding.empty()) return true;
  std::string name = prologue.declaredEncoding;
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (prologue.order.utf8Mark) return name == "UTF-8" || name == "UTF8";
  if (prologue.order.utf16Mark) {
    return name == "UTF-16" || name == "UTF16" || name == "ISO-10646-UCS-2" || name == "UCS-2" ||
           name == (prologue.order.units == Units::kUtf16BE ? "UTF-16BE" : "UTF-16LE");
  }
  return true;
}

}  // namespace brivasto::sagadoc
