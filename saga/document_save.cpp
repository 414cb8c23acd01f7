// The SAGA document's whole tree written back in its own encoding, and the
// atomic replace of the document's file shared with the save of a new
// section.
#include <fcntl.h>
#include <libxml/xmlreader.h>
#include <libxml/xmlsave.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <system_error>

#include "saga/document_impl.h"
#include "saga/saga.h"
#include "saga/save_file.h"
#include "saga/xml_library.h"

namespace brivasto {
namespace fs = std::filesystem;
using namespace xmllib;

namespace {

[[noreturn]] void ThrowSaveError(const fs::path& file, const std::string& reason) {
  throw TransferError("No se puede guardar el archivo " + file.string() + ": " + reason);
}

// Whether a file we wrote parses again as well-formed XML. It is read as a
// stream, node by node, so the check needs no second tree of the document.
bool ParsesAgain(const std::string& file) {
  CapturedErrors errors;
  const LibraryErrorsCaptured quiet(errors);
  const ExternalEntitiesRefused refused;
  TextReaderPtr reader(xmlReaderForFile(file.c_str(), nullptr, XML_PARSE_NONET));
  if (reader == nullptr) return false;
  xmlTextReaderSetStructuredErrorHandler(reader.get(), OnLibraryError, &errors);
  int status = 1;
  while (status == 1) status = xmlTextReaderRead(reader.get());
  return status == 0 && !errors.haveError && !errors.haveFatal;
}

struct FileWriter {
  int fd = -1;
  int error = 0;
};

int WriteChunk(void* context, const char* buffer, int length) {
  auto* writer = static_cast<FileWriter*>(context);
  std::size_t done = 0;
  const auto wanted = static_cast<std::size_t>(length);
  while (done < wanted) {
    const ssize_t put = ::write(writer->fd, buffer + done, wanted - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      writer->error = errno;
      return -1;
    }
    done += static_cast<std::size_t>(put);
  }
  return length;
}

mode_t CurrentUmask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

}  // namespace

namespace savefile {

std::string ReasonText(int error) { return ErrnoText(error); }

void ThrowError(const fs::path& file, const std::string& reason) { ThrowSaveError(file, reason); }

void ReplaceAtomically(const fs::path& file, const std::function<void(int fd)>& write,
                       const std::string& checkedEncoding,
                       const std::function<void()>& beforeReplace) {
  // Replace the file a link points at, not the link.
  fs::path target = file;
  std::error_code ignored;
  if (fs::is_symlink(file, ignored)) {
    std::error_code failed;
    const fs::path resolved = fs::canonical(file, failed);
    if (!failed) target = resolved;
  }
  const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");

  std::string pattern = (directory / ("." + target.filename().string() + ".XXXXXX")).string();
  FileDescriptor fd(::mkstemp(pattern.data()));
  if (!fd.valid()) {
    ThrowSaveError(file, "no se puede crear un archivo temporal en " + directory.string() + ": " +
                             ErrnoText(errno));
  }
  const std::string temporary = pattern;
  // Removes the temporary file unless it has become the target.
  struct TemporaryFile {
    const std::string& path;
    bool renamed = false;
    ~TemporaryFile() {
      if (!renamed) ::unlink(path.c_str());
    }
  } guard{temporary};

  struct stat original {};
  if (::stat(target.c_str(), &original) == 0) {
    if (::fchmod(fd.get(), original.st_mode & 07777) != 0) {
      ThrowSaveError(file, "no se pueden copiar los permisos: " + ErrnoText(errno));
    }
    // Keeping the owner needs privileges; without them the file becomes ours.
    if (::fchown(fd.get(), original.st_uid, original.st_gid) != 0) {
      [[maybe_unused]] const int unused =
          ::fchown(fd.get(), static_cast<uid_t>(-1), original.st_gid);
    }
  } else if (::fchmod(fd.get(), 0666 & ~CurrentUmask()) != 0) {
    ThrowSaveError(file, "no se pueden fijar los permisos: " + ErrnoText(errno));
  }

  write(fd.get());
  if (::fsync(fd.get()) != 0) ThrowSaveError(file, ErrnoText(errno));
  if (const int closeError = fd.Close(); closeError != 0) {
    ThrowSaveError(file, ErrnoText(closeError));
  }
  if (!checkedEncoding.empty() && !ParsesAgain(temporary)) {
    ThrowSaveError(file, "el documento no se puede escribir de forma legible en su codificación " +
                             checkedEncoding);
  }
  if (beforeReplace) beforeReplace();
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    ThrowSaveError(file, ErrnoText(errno));
  }
  guard.renamed = true;
  // Make the rename itself durable.
  FileDescriptor directoryFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directoryFd.valid() && ::fsync(directoryFd.get()) != 0 && errno == EIO) {
    ThrowSaveError(file, ErrnoText(EIO));
  }
}

}  // namespace savefile

void SagaDocument::Save(const fs::path& file, const std::function<void()>& beforeReplace) const {
  const auto write = [&](int fd) {
    CapturedErrors errors;
    FileWriter writer{fd, 0};
    LibraryErrorsCaptured libraryErrors(errors);
    int options = XML_SAVE_FORMAT;
    if (!impl_->hasDeclaration) options |= XML_SAVE_NO_DECL;
    if (impl_->utf8Mark) WriteChunk(&writer, "\xEF\xBB\xBF", 3);
    XmlSaveContext context(
        xmlSaveToIO(WriteChunk, CloseNothing, &writer, impl_->encoding.c_str(), options));
    if (context.get() == nullptr) {
      ThrowSaveError(file, "codificación no admitida: " + impl_->encoding);
    }
    const long saved = xmlSaveDoc(context.get(), impl_->doc.get());
    const int closed = context.Close();
    if (writer.error != 0) ThrowSaveError(file, ErrnoText(writer.error));
    if (saved < 0 || closed < 0 || errors.haveError) {
      ThrowSaveError(file, errors.haveError ? errors.message : "error al escribir el documento");
    }
  };
  // Some encodings the library reads it cannot write back as XML (UTF-7
  // escapes the markup itself): the file is replaced only by a document
  // that loads again.
  savefile::ReplaceAtomically(file, write, impl_->encoding, beforeReplace);
}

}  // namespace brivasto
