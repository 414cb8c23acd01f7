// bench/bench.h: synthetic schools for measuring the transfers. For a scale
// and a seed it writes a SAGA document of a school of that size and the
// timetable solution Talvenor would leave for it (DIASHORAST and SOLUC) in an
// exchange directory. The same scale and seed always give the same files.
//
// Scale 1 is a large secondary school: 400 subjects, 250 teachers, 120
// rooms, 100 groups, 3,000 assigned subjects with one or two teachers each,
// a week of five days of eight periods and a SOLUC of 3,000 rows. Scale k
// multiplies every count but the week by k. Names are Spanish, with accents,
// and many of them give colliding codes; a few elements carry what real
// documents carry too (blanks around ids, subjects without hours, an id
// given twice, a teacher id that names nobody). SOLUC holds, besides
// ordinary lessons, some not placed (day 0), some in rooms without a room
// record and some without a room. Failures throw TransferError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "saga/saga.h"
#include "tables/tables.h"

namespace brivasto::bench {

struct SchoolSize {
  std::size_t subjects = 0;
  std::size_t teachers = 0;
  std::size_t rooms = 0;
  std::size_t groups = 0;
  std::size_t assignments = 0;  // assigned subjects, over all groups
  std::size_t solutionRows = 0;
};

// The counts of scale 1 times `scale`, rounded, at least 1 each. Throws for
// a scale that is not above 0 or above 1000.
SchoolSize SizeForScale(double scale);

// Writes the SAGA document of a school of `size` to `file` (UTF-8).
void WriteSagaDocument(const std::filesystem::path& file, const SchoolSize& size,
                       std::uint64_t seed);

// Talvenor's day/hour frame: five days of eight periods, 8:00 to 15:50.
void WriteDayHourFrame(const std::filesystem::path& exchangeDirectory);

// Talvenor's solution for `document`, one row per assigned subject (cycling
// when `rows` is larger), naming groups, subjects, teachers and rooms by the
// codes that the catalogue tables in `exchangeDirectory` give their ids (the
// tables an export of `document` wrote there).
void WriteSolution(const SagaDocument& document, const std::filesystem::path& exchangeDirectory,
                   std::size_t rows, std::uint64_t seed);

// The whole school in `directory`: "saga.xml", and "zwork" holding what an
// export of it writes together with DIASHORAST and SOLUC, ready for an import.
void GenerateSchool(const std::filesystem::path& directory, double scale, std::uint64_t seed);

}  // namespace brivasto::bench
