#include "files/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "testsupport/test_support.h"

namespace brivasto::files {
namespace {

using testing::ErrorOf;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

struct ReasonCase {
  int error;
  const char* want;
};

TEST(ErrnoText, EveryReasonInSpanishAndNeverTheSystemsEnglish) {
  const ReasonCase cases[] = {
      {ENOSPC, "el disco está lleno"},
      {EDQUOT, "se ha agotado la cuota de disco"},
      {EFBIG, "el archivo supera el tamaño permitido"},
      {EACCES, "no hay permiso de acceso"},
      {EPERM, "la operación no está permitida"},
      {EROFS, "el sistema de archivos es de solo lectura"},
      {EIO, "error de entrada/salida del disco"},
      {ENAMETOOLONG, "el nombre es demasiado largo"},
      {ELOOP, "hay demasiados enlaces simbólicos seguidos"},
      {EXDEV, "no está en el mismo sistema de archivos"},
      {EISDIR, "es un directorio"},
      {ENOTDIR, "una parte de la ruta no es un directorio"},
      {EBUSY, "el archivo está ocupado"},
      {ETXTBSY, "el archivo está en uso como programa"},
      {EMFILE, "hay demasiados archivos abiertos"},
      {EPROTO, "error del sistema 71"},
      {0, "error del sistema 0"},
  };
  for (const ReasonCase& c : cases) EXPECT_EQ(ErrnoText(c.error), c.want) << c.error;
  for (int error = 0; error < 140; ++error) {
    const std::string english = std::strerror(error);
    EXPECT_EQ(ErrnoText(error).find(english), std::string::npos) << error << ": " << english;
  }
}

bool SetAttribute(const std::filesystem::path& file, const char* name, std::string_view value) {
  return ::setxattr(file.c_str(), name, value.data(), value.size(), 0) == 0;
}

std::string Attribute(const std::filesystem::path& file, const char* name) {
  char value[256];
  const ssize_t size = ::getxattr(file.c_str(), name, value, sizeof value);
  return size < 0 ? "(none)" : std::string(value, static_cast<std::size_t>(size));
}

struct stat StatusOf(const std::filesystem::path& file) {
  struct stat status {};
  EXPECT_EQ(::stat(file.c_str(), &status), 0) << file;
  return status;
}

void WriteThrough(const std::filesystem::path& target, std::string_view content) {
  TemporaryFile temp = TemporaryFile::Beside(target, {"el archivo " + PathText(target)});
  temp.Write(content);
  temp.Finish();
  temp.Replace();
}

TEST(TemporaryFile, ReplaceKeepsOwnerGroupModeAclAndAttributesThroughALink) {
  TempDir dir;
  const auto file = dir / "saga.xml";
  WriteFile(file, "old");
  ASSERT_EQ(::chown(file.c_str(), 4321, 4322), 0);
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  if (!SetAttribute(file, "user.origin", "SAGA") ||
      std::system(("setfacl -m u:4323:rw " + file.string()).c_str()) != 0) {
    GTEST_SKIP() << "no ACLs or user attributes on " << dir.Path();
  }
  const std::string acl = Attribute(file, "system.posix_acl_access");
  const mode_t mode = StatusOf(file).st_mode;  // the ACL's mask in the group bits
  std::filesystem::create_symlink("saga.xml", dir / "link.xml");

  WriteThrough(dir / "link.xml", "new");

  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.xml"));
  EXPECT_EQ(ReadFile(file), "new");
  const struct stat now = StatusOf(file);
  EXPECT_EQ(now.st_uid, 4321u);
  EXPECT_EQ(now.st_gid, 4322u);
  EXPECT_EQ(now.st_mode, mode);
  EXPECT_EQ(Attribute(file, "system.posix_acl_access"), acl);
  EXPECT_EQ(Attribute(file, "user.origin"), "SAGA");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                          std::filesystem::directory_iterator()),
            2);
}

TEST(TemporaryFile, ANewFileHasTheModeOfANewFileAndAHardLinkKeepsTheOldContent) {
  TempDir dir;
  const mode_t mask = ::umask(022);
  WriteThrough(dir / "new.dbf", "table");
  ::umask(mask);
  EXPECT_EQ(StatusOf(dir / "new.dbf").st_mode & 07777, 0644u);

  std::filesystem::create_hard_link(dir / "new.dbf", dir / "other.dbf");
  WriteThrough(dir / "new.dbf", "second");
  EXPECT_EQ(ReadFile(dir / "new.dbf"), "second");
  EXPECT_EQ(ReadFile(dir / "other.dbf"), "table");
}

TEST(TemporaryFile, AFileChangedSinceItWasReadIsNotReplaced) {
  TempDir dir;
  const auto file = dir / "saga.xml";
  WriteFile(file, "read");
  FileIdentity read;
  {
    const UniqueFd fd(::open(file.c_str(), O_RDONLY));
    ASSERT_TRUE(IdentityOf(fd.Get(), read));
  }
  // Another program saves the file its own way: a new file renamed over it.
  WriteFile(dir / "other", "theirs");
  std::filesystem::rename(dir / "other", file);

  TemporaryFile temp = TemporaryFile::Beside(file, {"el archivo " + PathText(file)});
  temp.Write("ours");
  const std::string message = ErrorOf([&] { temp.Replace(&read); });
  EXPECT_NE(message.find("El archivo " + file.string() + " ha cambiado"), std::string::npos)
      << message;
  EXPECT_EQ(ReadFile(file), "theirs");
}

TEST(TemporaryFile, FailuresNameTheFileWithTheReason) {
  TempDir dir;
  const auto file = dir / "missing" / "T.DBF";
  EXPECT_EQ(ErrorOf([&] { TemporaryFile::Beside(file, {"la tabla T (" + PathText(file) + ")"}); }),
            "No se puede crear la tabla T (" + file.string() +
                "): no existe el archivo o el directorio.");
}

TEST(RemoveLeftovers, RemovesUnheldTemporariesOfTheTargetOnly) {
  TempDir dir;
  const auto target = dir / "ASIGT.DBF";
  WriteFile(target, "table");
  for (const char* name : {".ASIGT.DBF.tmp-Ab12Cd", ".ASIGT.DBF.tmp-abc", "ASIGT.DBF.tmp-Ab12Cd",
                           ".PROFT.DBF.tmp-Ab12Cd", ".ASIGT.DBF.tmp-Ab12C_"}) {
    WriteFile(dir / name, "partial");
  }
  TemporaryFile live = TemporaryFile::Beside(target, {"la tabla ASIGT"});
  live.Write("being written");

  EXPECT_EQ(RemoveLeftovers(target),
            std::vector<std::filesystem::path>{dir / ".ASIGT.DBF.tmp-Ab12Cd"});
  EXPECT_TRUE(std::filesystem::exists(live.Path()));
  for (const char* name : {".ASIGT.DBF.tmp-abc", "ASIGT.DBF.tmp-Ab12Cd", ".PROFT.DBF.tmp-Ab12Cd",
                           ".ASIGT.DBF.tmp-Ab12C_", "ASIGT.DBF"}) {
    EXPECT_TRUE(std::filesystem::exists(dir / name)) << name;
  }
}

TEST(FindIgnoringAsciiCase, OnlyAsciiLettersFoldTableNamesAreAscii) {
  TempDir dir;
  for (const char* name : {"asignomt.dbf", "AſIGNOMT.DBF", "GRUPOﬅ.DBF", "grupost.DBF"}) {
    WriteFile(dir / name, "");
  }
  EXPECT_EQ(FindIgnoringAsciiCase(dir.Path(), "ASIGNOMT.DBF"),
            std::vector<std::filesystem::path>{dir / "asignomt.dbf"});
  EXPECT_EQ(FindIgnoringAsciiCase(dir.Path(), "GRUPOST.DBF"),
            std::vector<std::filesystem::path>{dir / "grupost.DBF"});
}

}  // namespace
}  // namespace brivasto::files
