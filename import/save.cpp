// Saving the SAGA document over its file, keeping the previous version.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <system_error>

#include "import/lookups.h"
#include "import/steps.h"

namespace brivasto {
namespace {

namespace fs = std::filesystem;

std::string Quoted(const fs::path& path) { return "\"" + path.string() + "\""; }

// What went wrong with a file, in the user's words.
std::string Reason(const std::error_code& error) {
  if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted) {
    return "permiso denegado";
  }
  if (error == std::errc::no_space_on_device) return "no queda espacio en el disco";
  if (error == std::errc::read_only_file_system) return "el disco es de solo lectura";
  if (error == std::errc::is_a_directory || error == std::errc::directory_not_empty) {
    return "hay una carpeta con ese nombre";
  }
  if (error == std::errc::no_such_file_or_directory) return "no existe";
  return "error del sistema " + std::to_string(error.value()) + " (" + error.message() + ")";
}

// A file beside the backup that is removed unless it was renamed into place.
class TemporaryBackup {
 public:
  explicit TemporaryBackup(fs::path path) : path_(std::move(path)) {}
  TemporaryBackup(const TemporaryBackup&) = delete;
  TemporaryBackup& operator=(const TemporaryBackup&) = delete;
  ~TemporaryBackup() {
    if (!path_.empty()) {
      std::error_code ignored;
      fs::remove(path_, ignored);
    }
  }
  const fs::path& Path() const { return path_; }
  void Release() { path_.clear(); }

 private:
  fs::path path_;
};

// Flushes a copied file to disk, so that the backup is complete before the
// document replaces the original.
bool FlushToDisk(const fs::path& path) {
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return false;
  const bool flushed = ::fsync(descriptor) == 0;
  return ::close(descriptor) == 0 && flushed;
}

// Puts the present content of `file` under a new temporary name beside
// `backup`: a second name for the same file when the file system allows it
// (the document is saved by replacing the file, so the old content stays
// under that name), else a copy. Returns the temporary's path.
fs::path LinkOrCopyToTemporary(const fs::path& file, const fs::path& backup) {
  const std::string base = backup.filename().string() + ".tmp-" + std::to_string(::getpid());
  // A symbolic link is followed: the backup holds the document's content.
  std::error_code resolveError;
  fs::path source = fs::canonical(file, resolveError);
  if (resolveError) source = file;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path temporary = backup.parent_path() / (base + "-" + std::to_string(attempt));
    std::error_code error;
    fs::create_hard_link(source, temporary, error);
    if (!error) return temporary;
    if (error == std::errc::file_exists) continue;
    error.clear();
    fs::copy_file(source, temporary, fs::copy_options::none, error);
    if (!error && FlushToDisk(temporary)) return temporary;
    if (error == std::errc::file_exists) continue;
    TemporaryBackup leftover(temporary);
    throw TransferError("No se pudo guardar la copia de seguridad " + Quoted(backup) +
                        " del documento SAGA " + Quoted(file) + ": " +
                        (error ? Reason(error) : std::string("error al escribir")) + ".");
  }
  throw TransferError("No se pudo crear un archivo temporal para la copia de seguridad " +
                      Quoted(backup) + ".");
}

// Keeps the present content of `file` as `backup`, replacing an older backup
// in one rename. `file` itself is not touched.
void KeepBackup(const fs::path& file, const fs::path& backup) {
  std::error_code error;
  if (!fs::exists(file, error)) return;  // nothing to keep
  TemporaryBackup temporary(LinkOrCopyToTemporary(file, backup));
  fs::rename(temporary.Path(), backup, error);
  if (error) {
    throw TransferError("No se pudo guardar la copia de seguridad " + Quoted(backup) +
                        " del documento SAGA " + Quoted(file) + ": " + Reason(error) + ".");
  }
  temporary.Release();
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
