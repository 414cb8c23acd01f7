// bench/reference_scans.h (tests only): the lookups of the transfers done the
// straightforward way, as slow as the rules read: every lookup a scan from the
// first record in record order where the first match wins, the days and
// intervals in 7 + 7 x 40 passes over DIASHORAST, SOLUC scanned once per
// catalogue record, the activity found by a linear search ignoring case. The
// transfers use indexes instead; their output must be byte for byte the
// output of these scans.
#pragma once

#include <filesystem>

#include "saga/saga.h"
#include "tables/tables.h"

namespace brivasto::reference {

// Writes ASIGT into `outputDirectory` for `document`, looking the ids up in
// the catalogue tables GRUPOST, ASIGNOMT and PROFT of `catalogueDirectory`.
void WriteAssignments(const SagaDocument& document, const std::filesystem::path& catalogueDirectory,
                      const std::filesystem::path& outputDirectory, char16_t decimalSeparator);

// Writes the `time-tables` section the tables of `exchangeDirectory` give.
void WriteTimetableSection(XmlSectionWriter& out, const std::filesystem::path& exchangeDirectory,
                           char16_t decimalSeparator);

}  // namespace brivasto::reference
