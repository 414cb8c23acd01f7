// tables/code_page.h (private): the 8-bit code pages of table texts,
// converted with ICU.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace brivasto::code_page {

// The character of every byte of the single-byte code page `codePage`
// (437, 850, 852, 866, 1250, 1251 or 1252); U+FFFD for bytes the code page
// leaves undefined. Throws TransferError when ICU lacks the code page.
std::array<char16_t, 256> DecodingTable(int codePage);

}  // namespace brivasto::code_page
