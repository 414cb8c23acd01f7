#include "bench/bench.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "testsupport/test_support.h"

namespace brivasto::bench {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;

struct SizeCase {
  double scale;
  SchoolSize want;
};
const SizeCase kSizeCases[] = {
    {1, {400, 250, 120, 100, 3000, 3000}},
    {100, {40000, 25000, 12000, 10000, 300000, 300000}},
    {0.05, {20, 13, 6, 5, 150, 150}},  // 12.5 rounds away from zero
    {0.0001, {1, 1, 1, 1, 1, 1}},      // never an empty catalogue
};

TEST(SizeForScale, MultipliesTheLargeSchool) {
  for (const SizeCase& c : kSizeCases) {
    SCOPED_TRACE(c.scale);
    const SchoolSize size = SizeForScale(c.scale);
    EXPECT_EQ(size.subjects, c.want.subjects);
    EXPECT_EQ(size.teachers, c.want.teachers);
    EXPECT_EQ(size.rooms, c.want.rooms);
    EXPECT_EQ(size.groups, c.want.groups);
    EXPECT_EQ(size.assignments, c.want.assignments);
    EXPECT_EQ(size.solutionRows, c.want.solutionRows);
  }
  for (const double bad : {0.0, -1.0, 1000.5}) {
    EXPECT_THROW(SizeForScale(bad), TransferError) << bad;
  }
}

// The measurements reuse generated schools: a scale and a seed must always
// give the same files.
TEST(GenerateSchool, SameScaleAndSeedGiveTheSameFiles) {
  TempDir first, second, other;
  GenerateSchool(first.Path(), 0.1, 5);
  GenerateSchool(second.Path(), 0.1, 5);
  GenerateSchool(other.Path(), 0.1, 6);
  for (const char* file : {"saga.xml", "zwork/SOLUC.DBF", "zwork/DIASHORAST.DBF"}) {
    EXPECT_EQ(ReadFile(first / file), ReadFile(second / file)) << file;
  }
  EXPECT_NE(ReadFile(first / "saga.xml"), ReadFile(other / "saga.xml"));
}

std::set<std::u16string> Codes(const fs::path& directory, std::string_view table,
                               std::string_view field) {
  const Table opened = Table::Open(directory, table, u'.');
  std::set<std::u16string> codes;
  for (std::size_t r = 0; r < opened.RecordCount(); ++r) {
    codes.insert(opened.Text(r, opened.FieldIndex(field)));
  }
  return codes;
}

// SOLUC names what the export wrote, with the rows Talvenor also leaves:
// lessons not placed, in rooms without a record and without a room.
TEST(GenerateSchool, SolutionNamesTheExportedCodes) {
  TempDir dir;
  GenerateSchool(dir.Path(), 0.2, 3);
  const fs::path zwork = dir / "zwork";
  const auto groups = Codes(zwork, kGrupost.name, field::kAbrev);
  const auto subjects = Codes(zwork, kAsignomt.name, field::kCod);
  const auto teachers = Codes(zwork, kProft.name, field::kAbrev);
  const auto rooms = Codes(zwork, kAulat.name, field::kAbrev);

  const Table soluc = Table::Open(zwork, kSolucName, u'.');
  ASSERT_EQ(soluc.RecordCount(), SizeForScale(0.2).solutionRows);
  std::size_t notPlaced = 0, roomWithoutRecord = 0, withoutRoom = 0, halfSessions = 0;
  for (std::size_t r = 0; r < soluc.RecordCount(); ++r) {
    SCOPED_TRACE("SOLUC row " + std::to_string(r + 1));
    const auto text = [&](std::string_view name) { return soluc.Text(r, soluc.FieldIndex(name)); };
    EXPECT_TRUE(groups.contains(text(field::kCodGrupo)));
    EXPECT_TRUE(subjects.contains(text(field::kAsig)));
    EXPECT_TRUE(text(field::kProf).empty() || teachers.contains(text(field::kProf)));
    const std::u16string room = text(field::kAula);
    if (room.empty()) {
      ++withoutRoom;
    } else if (!rooms.contains(room)) {
      ++roomWithoutRecord;
    }
    const std::int32_t day = soluc.Integer(r, soluc.FieldIndex(field::kDia));
    EXPECT_TRUE(day >= 0 && day <= 5);
    if (day == 0) ++notPlaced;
    const std::int32_t hour = soluc.Integer(r, soluc.FieldIndex(field::kHora));
    EXPECT_TRUE(hour >= 1 && hour <= 8);
    if (soluc.Real(r, soluc.FieldIndex(field::kSesiones)) == 0.5) ++halfSessions;
  }
  EXPECT_GT(notPlaced, 0u);
  EXPECT_GT(roomWithoutRecord, 0u);
  EXPECT_GT(withoutRoom, 0u);
  EXPECT_GT(halfSessions, 0u);
  EXPECT_EQ(Table::Open(zwork, kDiashorast.name, u'.').RecordCount(), 40u);
}

}  // namespace
}  // namespace brivasto::bench
