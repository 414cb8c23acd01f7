// The dBase reader on arbitrary bytes: the bytes become T.DBF, and every
// field of every record is read as text, integer and real. A damaged table
// must end in TransferError, never in a crash or an unbounded allocation.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "tables/tables.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const brivasto::fuzz::ScratchDir scratch;
  brivasto::fuzz::WriteBytes(scratch.Path() / "T.DBF", data, size);
  // Both decimal separators: text fields read as numbers use the user's.
  for (const char16_t separator : {u'.', u','}) {
    try {
      const brivasto::Table table = brivasto::Table::Open(scratch.Path(), "T", separator);
      (void)table.HasField("SOLUC");
      for (std::size_t record = 0; record < table.RecordCount(); ++record) {
        (void)table.RecordNumber(record);
        for (std::size_t field = 0;; ++field) {
          try {
            (void)table.Text(record, field);
          } catch (const brivasto::TransferError&) {
            break;  // past the last field
          }
          try {
            (void)table.Integer(record, field);
          } catch (const brivasto::TransferError&) {
          }
          try {
            (void)table.Real(record, field);
          } catch (const brivasto::TransferError&) {
          }
        }
      }
    } catch (const brivasto::TransferError&) {
    }
  }
  return 0;
}
