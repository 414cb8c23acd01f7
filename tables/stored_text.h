// tables/stored_text.h (private): the bytes a text field stores, by the
// rule that tables.h describes with StoredText.
#pragma once

#include <cstddef>
#include <string_view>

namespace brivasto::stored_text {

// The text in Windows 1252 as StoredText keeps it, before the trailing
// blanks go: at most `width` bytes, padded with blanks to `width`, written
// to `bytes`. Never throws for a text.
void Put(std::u16string_view text, std::size_t width, char* bytes);

}  // namespace brivasto::stored_text
