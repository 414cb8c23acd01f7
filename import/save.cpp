// Saving the SAGA document over its file, keeping the previous version.

#include <optional>
#include <string>
#include <system_error>

#include "files/files.h"
#include "import/lookups.h"
#include "import/steps.h"

namespace brivasto {
namespace {

namespace fs = std::filesystem;

std::string Quoted(const fs::path& path) { return "\"" + path.string() + "\""; }

// A copy of `file` in a temporary file beside `backup`, with `file`'s
// owner, mode, ACL and attributes: a backup is as private as its document.
files::TemporaryFile CopyBeside(const fs::path& file, const fs::path& backup,
                                const files::Wording& wording) {
  files::TemporaryFile temporary = files::TemporaryFile::Beside(backup, wording);
  if (const int error = files::CopyFileTo(file, temporary.Descriptor()); error != 0) {
    temporary.Fail(error);
  }
  temporary.TakeMetadataOf(file);
  temporary.Finish();
  return temporary;
}

// Keeps the present content of `file` (links followed) as `backup`,
// replacing an older backup in one rename: a second name for the same file
// when the file system allows it (the document is saved by replacing the
// file, so the old content stays under that name), else a copy. `file`
// itself is not touched.
void KeepBackup(const fs::path& file, const fs::path& backup) {
  std::error_code error;
  if (!fs::exists(file, error)) return;  // nothing to keep
  const files::Wording wording{
      "la copia de seguridad " + Quoted(backup) + " del documento SAGA " + Quoted(file), "guardar",
      "guardar", "guardar"};
  std::optional<files::TemporaryFile> temporary;
  try {
    temporary.emplace(files::TemporaryFile::LinkBeside(file, backup, wording));
  } catch (const TransferError&) {
    temporary.emplace(CopyBeside(file, backup, wording));  // no hard links here
  }
  temporary->Replace();
  if (const int failed = files::SyncDirectory(temporary->Directory()); failed == EIO) {
    temporary->Fail(failed);
  }
}

}  // namespace

fs::path BackupPath(const fs::path& file) {
  fs::path backup = file;
  backup += ".bak";
  return backup;
}

void SaveSagaDocument(const SagaDocument& document, const fs::path& file,
                      const std::function<void(XmlSectionWriter&)>& writeSection) {
  const auto writeTimetables = [&](XmlSectionWriter& out) {
    out.Open("time-tables");
    writeSection(out);
    out.Close();
  };
  SaveWithNewRootSection(document, file, "time-tables", writeTimetables,
                         [&] { KeepBackup(file, BackupPath(file)); });
}

void CheckCanSave(const fs::path& sagaFile) {
  const fs::path folder = sagaFile.has_parent_path() ? sagaFile.parent_path() : fs::path(".");
  try {
    CheckDirectoryWritable(folder);
  } catch (const TransferError& error) {
    throw TransferError("No se puede guardar el documento " + Quoted(sagaFile) + ": " +
                        error.what());
  }
}

}  // namespace brivasto
