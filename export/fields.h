// export/fields.h (private): widths of exchange table fields, from the
// catalogue.
#pragma once

#include <cstddef>
#include <string_view>

#include "tables/tables.h"

namespace brivasto {

// The width of a text field of `table`; 0 when the table has no such field.
inline std::size_t FieldWidth(const ExchangeTable& table, std::string_view name) {
  for (const FieldDef& def : table.fields) {
    if (def.name == name) return static_cast<std::size_t>(def.width);
  }
  return 0;
}

}  // namespace brivasto
