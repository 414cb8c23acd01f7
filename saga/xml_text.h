// saga/xml_text.h (private to saga/): which characters an XML attribute value
// can hold, and the error for one it cannot, shared by the tree and the
// section written as text.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "text/text.h"

namespace brivasto::xmltext {

// Whether XML can hold the character (surrogate pairs are joined before).
inline bool IsXmlChar(char32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// A character XML cannot hold would make the saved file unreadable.
[[noreturn]] inline void ThrowNotXmlChar(std::string_view attribute, std::string_view element,
                                         char32_t c) {
  char code[16];
  std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
  throw TransferError("El valor del atributo \"" + std::string(attribute) + "\" del elemento \"" +
                      std::string(element) + "\" contiene un carácter no admitido en XML (" + code +
                      ")");
}

}  // namespace brivasto::xmltext
