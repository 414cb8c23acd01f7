// While another program holds a table a run needs (an exclusive flock taken
// in a child process, as Talvenor's database engine holds an open table),
// the run stops with the table's name in its message and no file changes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/cli.h"
#include "tests/support/sample_school.h"
#include "tests/support/snapshot.h"
#include "testsupport/test_support.h"

namespace brivasto {
namespace {

namespace fs = std::filesystem;
using testing::PrepareSampleSchool;
using testing::Snapshot;
using testing::SourceDir;
using testing::TakeSnapshot;
using testing::TempDir;

// Another process holding a file exclusively until destroyed.
class HeldElsewhere {
 public:
  explicit HeldElsewhere(const fs::path& file) {
    int ready[2];
    if (::pipe(ready) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      const int fd = ::open(file.c_str(), O_RDONLY);
      const char held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
      if (::write(ready[1], &held, 1) != 1) ::_exit(1);
      ::pause();
      ::_exit(0);
    }
    ::close(ready[1]);
    char held = 'n';
    if (::read(ready[0], &held, 1) != 1 || held != 'y') ADD_FAILURE() << "no hold on " << file;
    ::close(ready[0]);
  }
  ~HeldElsewhere() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  HeldElsewhere(const HeldElsewhere&) = delete;
  HeldElsewhere& operator=(const HeldElsewhere&) = delete;

 private:
  pid_t pid_ = -1;
};

std::pair<int, std::string> Cli(const std::vector<std::string>& arguments) {
  std::ostringstream out;
  std::ostringstream err;
  const int code = RunFromCommandLine(arguments, out, err);
  return {code, err.str()};
}

TEST(HeldTables, EachTableARunNeedsStopsItNamingTheTableAndNothingChanges) {
  struct HeldCase {
    const char* direction;
    const char* table;
  };
  const HeldCase cases[] = {
      {"export", "ASIGNOMT"},   {"export", "PROFT"}, {"export", "AULAT"},
      {"export", "GRUPOST"},    {"export", "ASIGT"}, {"export", "DIASHORAST"},
      {"import", "DIASHORAST"}, {"import", "SOLUC"}, {"import", "GRUPOST"},
      {"import", "PROFT"},      {"import", "AULAT"}, {"import", "ASIGNOMT"},
  };
  TempDir temp;
  const fs::path root = temp.Path();
  PrepareSampleSchool(root);
  // The export runs on a changed document, so that it would change every table.
  const fs::path changed = root / "saga/otro.xml";
  fs::copy_file(SourceDir() / "saga/testdata/example.xml", changed);
  for (const HeldCase& c : cases) {
    SCOPED_TRACE(std::string(c.direction) + " while " + c.table + " is held");
    const Snapshot before = TakeSnapshot(root);
    const fs::path document =
        std::string(c.direction) == "export" ? changed : root / "saga/saga.xml";
    std::pair<int, std::string> result;
    {
      HeldElsewhere hold(root / "zwork" / (std::string(c.table) + ".DBF"));
      result = Cli({"--zwork", (root / "zwork").string(), c.direction, document.string()});
    }
    EXPECT_EQ(result.first, 1) << result.second;
    EXPECT_NE(
        result.second.find(std::string("La tabla ") + c.table + " está en uso por otro programa"),
        std::string::npos)
        << result.second;
    EXPECT_EQ(testing::Differences(before, TakeSnapshot(root)), "");
  }
  // Once nobody holds them, both runs go through.
  EXPECT_EQ(Cli({"--zwork", (root / "zwork").string(), "import", (root / "saga/saga.xml").string()})
                .first,
            0);
  const auto exported = Cli({"--zwork", (root / "zwork").string(), "export", changed.string()});
  EXPECT_EQ(exported.first, 0) << exported.second;
}

}  // namespace
}  // namespace brivasto
