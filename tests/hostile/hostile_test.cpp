// The hostile-input catalogue (catalogue.tsv): each malformed input goes
// through brivasto-cli in a child process, over a copy of the base (the
// sample SAGA document, its export and the sample Talvenor solution). The
// run must end with the exit code and message listed, change no file when
// it fails (and only its output when it succeeds), and stay within bounded
// memory: the child's address space is limited (except under the
// sanitizers, which reserve vast address space) and its peak resident size
// is checked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli.h"
#include "tests/support/snapshot.h"
#include "testsupport/test_support.h"

#ifndef BRIVASTO_CLI
#error "BRIVASTO_CLI must name the brivasto-cli program"
#endif

namespace brivasto {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::Snapshot;
using testing::SourceDir;
using testing::TakeSnapshot;
using testing::TempDir;
using testing::WriteFile;

#ifdef BRIVASTO_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
// Peak resident size allowed to one run; the sanitizers add their shadow
// memory and quarantine.
constexpr long kMaxResidentKb = kSanitized ? 1024 * 1024 : 256 * 1024;
constexpr rlim_t kAddressSpace = rlim_t{1} << 30;
constexpr unsigned kTimeLimitSeconds = 60;

struct Case {
  std::string name;
  std::string direction;
  std::vector<std::string> setup;
  int exitCode = 0;
  std::string message;  // empty: none expected
  int line = 0;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name << " (" << c.direction << ")"; }

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
  return parts;
}

std::vector<Case> ReadCatalogue() {
  std::vector<Case> cases;
  std::ifstream in(SourceDir() / "tests/hostile/catalogue.tsv");
  int lineNumber = 0;
  for (std::string line; std::getline(in, line);) {
    ++lineNumber;
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> columns = Split(line, '\t');
    if (columns.size() != 5) {
      ADD_FAILURE() << "catalogue.tsv line " << lineNumber << " has " << columns.size()
                    << " columns";
      continue;
    }
    Case c;
    c.name = columns[0];
    c.direction = columns[1];
    if (columns[2] != "-") c.setup = Split(columns[2], ',');
    c.exitCode = std::stoi(columns[3]);
    if (columns[4] != "-") c.message = columns[4];
    c.line = lineNumber;
    cases.push_back(c);
  }
  return cases;
}

// ---------------------------------------------------------------------------
// Inputs made by the test: too large to keep in the repository.

const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string School(const std::string& subjectId, const std::string& subjectName,
                   const std::string& teacherName) {
  return kDeclaration + "<document><subjects><subject id=\"" + subjectId + "\" name=\"" +
         subjectName + "\" hours=\"3\"/></subjects><teachers><teacher id=\"2\">" + teacherName +
         "</teacher></teachers><groups><group id=\"3\" name=\"1ESO A\"><assigned-subjects>"
         "<assigned-subject id=\"" +
         subjectId +
         "\"><assigned-teachers><assigned-teacher id=\"2\"/></assigned-teachers>"
         "</assigned-subject></assigned-subjects></group></groups></document>\n";
}

std::string Repeated(const std::string& piece, std::size_t characters) {
  std::string text;
  while (text.size() < characters) text += piece;
  return text;
}

// A dBase III table of text fields.
struct TextField {
  std::string name;
  std::size_t width;
};

std::string DbaseTable(const std::vector<TextField>& fields,
                       const std::vector<std::vector<std::string>>& rows) {
  const std::size_t headerLength = 32 + 32 * fields.size() + 1;
  std::size_t recordLength = 1;
  for (const TextField& f : fields) recordLength += f.width;
  std::string bytes(32, '\0');
  bytes[0] = 0x03;
  const auto put = [&](std::size_t at, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i)
      bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
  };
  put(4, static_cast<std::uint32_t>(rows.size()), 4);
  put(8, static_cast<std::uint32_t>(headerLength), 2);
  put(10, static_cast<std::uint32_t>(recordLength), 2);
  bytes[29] = 0x58;
  for (const TextField& f : fields) {
    std::string descriptor(32, '\0');
    descriptor.replace(0, f.name.size(), f.name);
    descriptor[11] = 'C';
    descriptor[16] = static_cast<char>(f.width);
    bytes += descriptor;
  }
  bytes += '\r';
  for (const auto& row : rows) {
    bytes += ' ';
    for (std::size_t i = 0; i < fields.size(); ++i) {
      std::string value = i < row.size() ? row[i] : "";
      value.resize(fields[i].width, ' ');
      bytes += value;
    }
  }
  bytes += '\x1a';
  return bytes;
}

void Make(const std::string& input, const fs::path& run) {
  const fs::path saga = run / "saga/saga.xml";
  if (input == "long-root-name") {
    WriteFile(saga, kDeclaration + "<" + std::string(100'000, 'R') + "/>\n");
  } else if (input == "long-subject-name") {
    WriteFile(saga, School("1", Repeated("Matemáticas ", 100'000), "Ana Gil"));
  } else if (input == "long-subject-id") {
    WriteFile(saga, School(std::string(100'000, '7'), "Física", "Ana Gil"));
  } else if (input == "long-teacher-name") {
    WriteFile(saga, School("1", "Física", Repeated("Íñigo Núñez ", 100'000)));
  } else if (input == "deep-nesting") {
    WriteFile(saga, kDeclaration + "<document>" + Repeated("<a>", 300'000) +
                        Repeated("</a>", 400'000) + "</document>\n");
  } else if (input == "soluc-many-fields") {
    // Two thousand fields Talvenor would not write, then the ones the import reads.
    std::vector<TextField> fields;
    for (int i = 1; i <= 2000; ++i) {
      std::string name = std::to_string(i);
      fields.push_back({"F" + std::string(5 - name.size(), '0') + name, 1});
    }
    const std::vector<TextField> solution = {{"CODGRUPO", 10}, {"ASIG", 10}, {"PROF", 10},
                                             {"AULA", 10},     {"DIA", 2},   {"HORA", 3},
                                             {"SESIONES", 5}};
    fields.insert(fields.end(), solution.begin(), solution.end());
    std::vector<std::string> row(2000, "x");
    for (const char* value : {"1ESO A", "LCL", "MJGL", "A1", "1", "1", "1"}) row.push_back(value);
    WriteFile(run / "zwork/SOLUC.DBF", DbaseTable(fields, {row, row}));
  } else {
    FAIL() << "no input is made under the name " << input;
  }
}

// ---------------------------------------------------------------------------
// The child process.

struct Outcome {
  bool exited = false;
  int exitCode = -1;
  int signal = 0;
  long maxResidentKb = 0;
  std::string output;
  std::string errors;
};

bool UnshareWorks() {
  static const bool works = std::system("unshare -m true >/dev/null 2>&1") == 0;
  return works;
}

Outcome RunCli(const std::vector<std::string>& arguments, const fs::path& readOnly,
               const fs::path& errorFile, const fs::path& outputFile) {
  std::vector<std::string> command;
  if (!readOnly.empty()) {
    // A private mount namespace where the folder is a read-only bind mount:
    // permission bits do not stop root, a read-only mount does.
    command = {"unshare",
               "-m",
               "sh",
               "-c",
               "mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\" \"$1\" && shift && "
               "exec \"$@\"",
               "sh",
               readOnly.string()};
  }
  command.push_back(BRIVASTO_CLI);
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid == 0) {
    const int err = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (err < 0 || out < 0 || ::dup2(err, 2) < 0 || ::dup2(out, 1) < 0) ::_exit(126);
    if (!kSanitized) {
      const rlimit limit{kAddressSpace, kAddressSpace};
      ::setrlimit(RLIMIT_AS, &limit);
    }
    ::alarm(kTimeLimitSeconds);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  Outcome outcome;
  int status = 0;
  rusage usage{};
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) {
    ADD_FAILURE() << "cannot run " << BRIVASTO_CLI;
    return outcome;
  }
  outcome.exited = WIFEXITED(status);
  outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  outcome.maxResidentKb = usage.ru_maxrss;
  outcome.errors = ReadFile(errorFile);
  outcome.output = ReadFile(outputFile);
  return outcome;
}

// Whether `check`, run before, said that a run in `direction` would stop:
// it listed what stops it, or (for the import) found no timetable, or it
// could not read the document at all.
bool CheckForesawAStop(const Outcome& check, const std::string& direction) {
  if (check.exitCode != 0 && check.output.empty()) return true;
  if (direction == "export") return check.output.find("Impide la exportación") != std::string::npos;
  return check.output.find("Impide la importación") != std::string::npos ||
         check.output.find("no tiene horario de Talvenor") != std::string::npos;
}

// ---------------------------------------------------------------------------

// The base every case starts from, made once per process.
const fs::path& Base() {
  static TempDir base;
  static const bool made = [] {
    fs::create_directories(base / "saga");
    fs::create_directories(base / "zwork");
    fs::copy_file(SourceDir() / "samples/saga-ejemplo.xml", base / "saga/saga.xml");
    std::ostringstream out;
    std::ostringstream err;
    const std::vector<std::string> arguments = {"--zwork", (base / "zwork").string(), "export",
                                                (base / "saga/saga.xml").string()};
    if (RunFromCommandLine(arguments, out, err) != 0) ADD_FAILURE() << err.str();
    for (const char* table : {"DIASHORAST.DBF", "SOLUC.DBF"}) {
      fs::copy_file(SourceDir() / "samples/talvenor" / table, base / "zwork" / table,
                    fs::copy_options::overwrite_existing);
    }
    return true;
  }();
  (void)made;
  return base.Path();
}

// The files a run may change when it succeeds.
bool IsOutput(const std::string& direction, const std::string& file) {
  if (direction == "export") return file.starts_with("zwork/");
  return file == "saga/saga.xml" || file == "saga/saga.xml.bak";
}

class HostileInput : public ::testing::TestWithParam<Case> {};

TEST_P(HostileInput, EndsAsListedAndChangesNothingElse) {
  const Case& c = GetParam();
  SCOPED_TRACE("catalogue.tsv line " + std::to_string(c.line) + ": " + c.name + " (" + c.direction +
               ")");
  TempDir temp;
  const fs::path run = temp / "run";
  fs::copy(Base(), run, fs::copy_options::recursive);
  const fs::path caseDir = SourceDir() / "tests/hostile/cases" / c.name;
  if (fs::exists(caseDir / "saga.xml")) {
    fs::copy_file(caseDir / "saga.xml", run / "saga/saga.xml",
                  fs::copy_options::overwrite_existing);
  }
  if (fs::is_directory(caseDir / "zwork")) {
    fs::copy(caseDir / "zwork", run / "zwork",
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  }

  fs::path zwork = run / "zwork";
  fs::path readOnly;
  for (const std::string& step : c.setup) {
    if (step.starts_with("make:")) {
      Make(step.substr(5), run);
    } else if (step.starts_with("remove:")) {
      ASSERT_TRUE(fs::remove(run / step.substr(7))) << step;
    } else if (step == "no-saga") {
      fs::remove(run / "saga/saga.xml");
    } else if (step == "saga-is-folder") {
      fs::remove(run / "saga/saga.xml");
      fs::create_directory(run / "saga/saga.xml");
    } else if (step == "no-zwork") {
      zwork = run / "no-existe";
    } else if (step == "zwork-is-file") {
      zwork = run / "saga/saga.xml";
    } else if (step.starts_with("read-only:")) {
      if (!UnshareWorks()) GTEST_SKIP() << "unshare -m is not available here";
      readOnly = run / step.substr(10);
    } else {
      FAIL() << "unknown setup " << step;
    }
  }
  if (::testing::Test::HasFatalFailure()) return;

  const Snapshot before = TakeSnapshot(run);
  const Outcome check =
      RunCli({"--zwork", zwork.string(), "check", (run / "saga/saga.xml").string()}, readOnly,
             temp / "stderr.txt", temp / "stdout.txt");
  EXPECT_EQ(testing::Differences(before, TakeSnapshot(run)), "") << "the check changed files";
  const Outcome outcome =
      RunCli({"--zwork", zwork.string(), c.direction, (run / "saga/saga.xml").string()}, readOnly,
             temp / "stderr.txt", temp / "stdout.txt");
  const Snapshot after = TakeSnapshot(run);

  // The check reads; it does not write the document, so it cannot know
  // that libxml2 writes UTF-7 back unreadably.
  const bool checkCannotKnow = c.name == "xml-utf7" && c.direction == "import";
  if (outcome.exited && !checkCannotKnow) {
    EXPECT_EQ(CheckForesawAStop(check, c.direction), outcome.exitCode != 0)
        << "check said:\n"
        << check.output << check.errors << "the run said:\n"
        << outcome.errors;
  }

  ASSERT_TRUE(outcome.exited) << "ended by signal " << outcome.signal << "\n" << outcome.errors;
  EXPECT_EQ(outcome.exitCode, c.exitCode) << outcome.errors;
  if (!c.message.empty()) {
    EXPECT_NE(outcome.errors.find(c.message), std::string::npos)
        << "message: " << outcome.errors << "\nexpected within it: " << c.message;
  }
  EXPECT_LE(outcome.maxResidentKb, kMaxResidentKb) << "peak resident size in KiB";

  if (outcome.exitCode != 0) {
    Snapshot changed = after;
    // The import keeps the document as its .bak just before it saves it.
    const auto backup = changed.find("saga/saga.xml.bak");
    if (c.direction == "import" && backup != changed.end() &&
        backup->second == before.at("saga/saga.xml")) {
      changed.erase(backup);
    }
    EXPECT_EQ(testing::Differences(before, changed), "") << "a failed run changed files";
    return;
  }
  for (const auto& [file, content] : after) {
    if (IsOutput(c.direction, file)) continue;
    const auto old = before.find(file);
    EXPECT_TRUE(old != before.end() && old->second == content) << "changed: " << file;
  }
  for (const auto& [file, content] : before) {
    EXPECT_TRUE(after.contains(file) || IsOutput(c.direction, file)) << "gone: " << file;
  }
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  std::string name = info.param.name + "_" + info.param.direction;
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Catalogue, HostileInput, ::testing::ValuesIn(ReadCatalogue()), CaseName);

}  // namespace
}  // namespace brivasto
