// The SAGA document's whole tree written back in its own encoding, and the
// atomic replace of the document's file shared with the save of a new
// section.
#include <libxml/xmlreader.h>
#include <libxml/xmlsave.h>

#include <cerrno>
#include <functional>
#include <string>
#include <system_error>

#include "files/files.h"
#include "saga/document_impl.h"
#include "saga/saga.h"
#include "saga/save_file.h"
#include "saga/xml_library.h"

namespace brivasto {
namespace fs = std::filesystem;
using namespace xmllib;
using files::ErrnoText;

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
  writer->error =
      files::WriteAll(writer->fd, std::string_view(buffer, static_cast<std::size_t>(length)));
  return writer->error == 0 ? length : -1;
}

}  // namespace

const files::FileIdentity* SagaDocumentSave::Expected(const SagaDocument& document,
                                                      const fs::path& file) {
  std::error_code error;
  if (file == document.File() || fs::equivalent(file, document.File(), error)) {
    return &document.impl_->identity;
  }
  return nullptr;
}

void SagaDocumentSave::Saved(const SagaDocument& document, const fs::path& file,
                             const files::FileIdentity& identity) {
  if (Expected(document, file) != nullptr) document.impl_->identity = identity;
}

namespace savefile {

// Every step of a document's save is, to the user, its saving.
constexpr const char* kSave = "guardar";

void ThrowError(const fs::path& file, const std::string& reason) { ThrowSaveError(file, reason); }

files::FileIdentity ReplaceAtomically(const fs::path& file,
                                      const std::function<void(int fd)>& write,
                                      const std::string& checkedEncoding,
                                      const files::FileIdentity* expected,
                                      const std::function<void()>& beforeReplace) {
  files::TemporaryFile temporary = files::TemporaryFile::Beside(
      file, {"el archivo " + files::PathText(file), kSave, kSave, kSave});
  write(temporary.Descriptor());
  temporary.Finish();
  if (!checkedEncoding.empty() && !ParsesAgain(temporary.Path().string())) {
    ThrowSaveError(file, "el documento no se puede escribir de forma legible en su codificación " +
                             checkedEncoding);
  }
  // A version another program saved since the document was read is not
  // thrown away: not even the backup is touched for it.
  if (expected != nullptr) temporary.CheckTargetIs(*expected);
  if (beforeReplace) beforeReplace();
  temporary.Replace(expected);
  // Make the rename itself durable.
  if (files::SyncDirectory(temporary.Directory()) == EIO) ThrowSaveError(file, ErrnoText(EIO));
  return temporary.Identity();
}

}  // namespace savefile

void SagaDocument::Save(const fs::path& file, const std::function<void()>& beforeReplace) const {
  SagaDocumentSave::Save(*this, file, beforeReplace, SagaDocumentSave::Expected(*this, file));
}

files::FileIdentity SagaDocumentSave::Save(const SagaDocument& document, const fs::path& file,
                                           const std::function<void()>& beforeReplace,
                                           const files::FileIdentity* expected) {
  const SagaDocument::Impl& impl = *document.impl_;
  const auto write = [&](int fd) {
    CapturedErrors errors;
    FileWriter writer{fd, 0};
    LibraryErrorsCaptured libraryErrors(errors);
    int options = XML_SAVE_FORMAT;
    if (!impl.hasDeclaration) options |= XML_SAVE_NO_DECL;
    if (impl.utf8Mark) WriteChunk(&writer, "\xEF\xBB\xBF", 3);
    XmlSaveContext context(
        xmlSaveToIO(WriteChunk, CloseNothing, &writer, impl.encoding.c_str(), options));
    if (context.get() == nullptr) {
      ThrowSaveError(file, "codificación no admitida: " + impl.encoding);
    }
    const long saved = xmlSaveDoc(context.get(), impl.doc.get());
    const int closed = context.Close();
    if (writer.error != 0) ThrowSaveError(file, ErrnoText(writer.error));
    if (saved < 0 || closed < 0 || errors.haveError) {
      ThrowSaveError(file, errors.haveError ? errors.message : "error al escribir el documento");
    }
  };
  // Some encodings the library reads it cannot write back as XML (UTF-7
  // escapes the markup itself): the file is replaced only by a document
  // that loads again.
  const files::FileIdentity identity =
      savefile::ReplaceAtomically(file, write, impl.encoding, expected, beforeReplace);
  Saved(document, file, identity);
  return identity;
}

}  // namespace brivasto
