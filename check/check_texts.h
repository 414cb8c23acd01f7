// check/check_texts.h (private): how the check names what it reports.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "tables/tables.h"

namespace brivasto {

// "\"text\"" in UTF-8.
std::string Quoted(std::u16string_view text);
// "subject nº 3 (id=\"11\", name=\"Música\")": the element, its 1-based
// position and what identifies it, as far as it has it.
std::string ElementText(std::string_view element, std::size_t position,
                        const std::optional<std::u16string>& id,
                        const std::optional<std::u16string>& name);
// The width of a text field of `table`; 0 when it has no such field.
std::size_t TextFieldWidth(const ExchangeTable& table, std::string_view field);
// Characters, a surrogate pair counting as one.
std::size_t CodePointCount(std::u16string_view text);
// Each character of `text` that Windows 1252 cannot hold, once, in order.
std::u16string CharactersOutside1252(std::u16string_view text);
// A number of hours as the user reads it: "3", "2,5".
std::string HoursText(double hours);

}  // namespace brivasto
