// What whole runs do to the files they replace: the document's and the
// tables' owner, group, mode, ACL and attributes stay; a document another
// program saved during the import stays; leftovers of an interrupted run go;
// links are written through; only the tables' own names are tables.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/run.h"
#include "files/files.h"
#include "tests/support/one_file_prompter.h"
#include "tests/support/sample_school.h"
#include "testsupport/test_support.h"

namespace brivasto {
namespace {

namespace fs = std::filesystem;
using testing::ErrorOf;
using testing::OneFilePrompter;
using testing::PrepareSampleSchool;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

std::pair<int, std::string> Cli(const std::vector<std::string>& arguments) {
  std::ostringstream out;
  std::ostringstream err;
  const int code = RunFromCommandLine(arguments, out, err);
  return {code, out.str() + err.str()};
}

std::pair<int, std::string> RunCli(const fs::path& root, const char* direction) {
  return Cli({"--zwork", (root / "zwork").string(), direction, (root / "saga/saga.xml").string()});
}

// Owner, group, mode, ACL and a user attribute of a file.
struct Kept {
  uid_t owner;
  gid_t group;
  mode_t mode;
  std::string acl;
  std::string origin;
  friend bool operator==(const Kept&, const Kept&) = default;
};

std::string Attribute(const fs::path& file, const char* name) {
  char value[512];
  const ssize_t size = ::getxattr(file.c_str(), name, value, sizeof value);
  return size < 0 ? "(none)" : std::string(value, static_cast<std::size_t>(size));
}

Kept KeptOf(const fs::path& file) {
  struct stat status {};
  EXPECT_EQ(::stat(file.c_str(), &status), 0) << file;
  return {status.st_uid, status.st_gid, status.st_mode, Attribute(file, "system.posix_acl_access"),
          Attribute(file, "user.origin")};
}

// Another owner, a private mode, an ACL entry and an attribute, with the
// tools a user would use; false where the file system has neither.
bool GiveOwnMetadata(const fs::path& file) {
  return ::chown(file.c_str(), 4321, 4322) == 0 && ::chmod(file.c_str(), 0640) == 0 &&
         std::system(("setfacl -m u:4323:rw '" + file.string() + "'").c_str()) == 0 &&
         std::system(("setfattr -n user.origin -v SAGA '" + file.string() + "'").c_str()) == 0;
}

TEST(FilesKept, ImportAndExportKeepOwnerGroupModeAclAndAttributes) {
  TempDir temp;
  const fs::path root = temp.Path();
  PrepareSampleSchool(root);
  const fs::path document = root / "saga/saga.xml";
  const fs::path table = root / "zwork/ASIGT.DBF";
  if (!GiveOwnMetadata(document) || !GiveOwnMetadata(table)) {
    GTEST_SKIP() << "setfacl/setfattr do not work in " << root;
  }
  const Kept documentBefore = KeptOf(document);
  const Kept tableBefore = KeptOf(table);
  ASSERT_EQ(documentBefore.mode & 070, 060u) << "the ACL's mask shows in the group bits";

  const std::string oldTable = ReadFile(table);
  const auto [exported, exportMessage] = RunCli(root, "export");
  ASSERT_EQ(exported, 0) << exportMessage;
  EXPECT_EQ(KeptOf(table), tableBefore);

  const std::string oldDocument = ReadFile(document);
  const auto [imported, importMessage] = RunCli(root, "import");
  ASSERT_EQ(imported, 0) << importMessage;
  EXPECT_NE(ReadFile(document), oldDocument);
  EXPECT_EQ(KeptOf(document), documentBefore);
  EXPECT_EQ(KeptOf(root / "saga/saga.xml.bak"), documentBefore);
}

TEST(FilesKept, ADocumentSavedByAnotherProgramDuringTheImportStays) {
  TempDir temp;
  const fs::path root = temp.Path();
  PrepareSampleSchool(root);
  const fs::path document = root / "saga/saga.xml";
  WriteFile(root / "saga/saga.xml.bak", "the backup of an earlier import");
  const std::string theirs = ReadFile(document) + "<!-- guardado por SAGA -->\n";

  // The import's steps run on the document as read; before they save,
  // another program saves its own version in place.
  TransferSteps steps;
  steps.importTimetable = [&](const SagaDocument& read, const fs::path& file,
                              const RunContext& context) {
    WriteFile(file, theirs);
    return ImportTimetable(read, file, context);
  };
  OneFilePrompter prompter(document);
  RunFrame frame(prompter, RunContext{root / "zwork"}, 0, steps);
  const std::string message = ErrorOf([&] { frame.RunImport(); });

  EXPECT_NE(message.find("El archivo " + document.string() + " ha cambiado"), std::string::npos)
      << message;
  EXPECT_EQ(ReadFile(document), theirs);
  EXPECT_EQ(ReadFile(root / "saga/saga.xml.bak"), "the backup of an earlier import");
  EXPECT_EQ(frame.TransferStatus(), 0);
  for (const auto& entry : fs::directory_iterator(root / "saga")) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
  }
}

TEST(FilesKept, LeftoversOfAnInterruptedRunGoAndAreSaidHeldOnesStay) {
  TempDir temp;
  const fs::path root = temp.Path();
  PrepareSampleSchool(root);
  const fs::path killedDocument = root / "saga/.saga.xml.tmp-K1ll3d";
  const fs::path killedTable = root / "zwork/.ASIGT.DBF.tmp-K1ll3d";
  WriteFile(killedDocument, "<?xml version=\"1.0\"?><document><part");
  WriteFile(killedTable, "half a table");
  // A run still writing PROFT elsewhere holds its temporary file.
  files::TemporaryFile live =
      files::TemporaryFile::Beside(root / "zwork/PROFT.DBF", {"la tabla PROFT"});
  live.Write("being written");

  const auto [code, message] = RunCli(root, "import");
  ASSERT_EQ(code, 0) << message;
  EXPECT_FALSE(fs::exists(killedDocument));
  EXPECT_FALSE(fs::exists(killedTable));
  EXPECT_NE(
      message.find("Borrados los archivos temporales que dejó una ejecución interrumpida:\n  " +
                   killedTable.string() + "\n  " + killedDocument.string() + "\n"),
      std::string::npos)
      << message;
  EXPECT_TRUE(fs::exists(live.Path()));
  EXPECT_EQ(message.find(live.Path().string()), std::string::npos);
}

TEST(FilesKept, ExportWritesThroughATableLinkAndLeavesLookalikeNames) {
  TempDir temp;
  const fs::path root = temp.Path();
  PrepareSampleSchool(root);
  fs::create_directories(root / "elsewhere");
  fs::rename(root / "zwork/ASIGT.DBF", root / "elsewhere/asigt.dbf");
  fs::create_symlink("../elsewhere/asigt.dbf", root / "zwork/ASIGT.DBF");
  WriteFile(root / "elsewhere/asigt.dbf", "an old table");
  // Not tables: "ſ" and "ﬅ" are no "S" and "ST" to a table name.
  WriteFile(root / "zwork/AſIGNOMT.DBF", "a user's file");
  WriteFile(root / "zwork/GRUPOﬅ.DBF", "another user's file");
  WriteFile(root / "zwork/GRUPOﬅ.MDX", "its index");

  const auto [code, message] = RunCli(root, "export");
  ASSERT_EQ(code, 0) << message;
  EXPECT_TRUE(fs::is_symlink(root / "zwork/ASIGT.DBF"));
  const std::string table = ReadFile(root / "elsewhere/asigt.dbf");
  EXPECT_EQ(table.substr(0, 1), "\x03") << "a new dBase table through the link";
  EXPECT_EQ(ReadFile(root / "zwork/AſIGNOMT.DBF"), "a user's file");
  EXPECT_EQ(ReadFile(root / "zwork/GRUPOﬅ.DBF"), "another user's file");
  EXPECT_EQ(ReadFile(root / "zwork/GRUPOﬅ.MDX"), "its index");
}

// The files of a folder tree, by relative path; links as "name -> target".
std::vector<std::string> Names(const fs::path& root) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string name = entry.path().lexically_relative(root).string();
    if (entry.is_symlink()) name += " -> " + fs::read_symlink(entry.path()).string();
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FilesKept, EveryBackupArrangementEndsWithoutTemporaryFiles) {
  struct BackupCase {
    const char* arrangement;
    std::function<void(const fs::path& saga)> prepare;
    int code;
    std::vector<std::string> names;  // below saga/ afterwards
    const char* backup;              // what saga.xml.bak holds: "old", "new", "" (nothing)
  };
  const BackupCase cases[] = {
      {"no backup yet", [](const fs::path&) {}, 0, {"saga.xml", "saga.xml.bak"}, "old"},
      {"an older backup",
       [](const fs::path& saga) { WriteFile(saga / "saga.xml.bak", "older"); },
       0,
       {"saga.xml", "saga.xml.bak"},
       "old"},
      {"a hard link of the document",
       [](const fs::path& saga) { fs::create_hard_link(saga / "saga.xml", saga / "saga.xml.bak"); },
       0,
       {"saga.xml", "saga.xml.bak"},
       "old"},
      {"a symbolic link to a backup elsewhere",
       [](const fs::path& saga) {
         fs::create_directories(saga / "copias");
         fs::create_symlink("copias/saga.xml", saga / "saga.xml.bak");
       },
       0,
       {"copias", "copias/saga.xml", "saga.xml", "saga.xml.bak -> copias/saga.xml"},
       "old"},
      {"a symbolic link to the document itself",
       [](const fs::path& saga) { fs::create_symlink("saga.xml", saga / "saga.xml.bak"); },
       0,
       {"saga.xml", "saga.xml.bak -> saga.xml"},
       "new"},
      {"a folder",
       [](const fs::path& saga) { fs::create_directories(saga / "saga.xml.bak/x"); },
       1,
       {"saga.xml", "saga.xml.bak", "saga.xml.bak/x"},
       ""},
  };
  for (const BackupCase& c : cases) {
    SCOPED_TRACE(c.arrangement);
    TempDir temp;
    const fs::path root = temp.Path();
    PrepareSampleSchool(root);
    const std::string old = ReadFile(root / "saga/saga.xml");
    c.prepare(root / "saga");

    const auto [code, message] = RunCli(root, "import");
    EXPECT_EQ(code, c.code) << message;
    EXPECT_EQ(Names(root / "saga"), c.names);
    const std::string now = ReadFile(root / "saga/saga.xml");
    EXPECT_EQ(now != old, c.code == 0);
    if (*c.backup != '\0') {
      EXPECT_EQ(ReadFile(root / "saga/saga.xml.bak"), std::string(c.backup) == "old" ? old : now);
    }
  }
}

}  // namespace
}  // namespace brivasto
