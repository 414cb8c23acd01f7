// saga/save_file.h (private to saga/): replacing the document's file
// atomically with new content, shared by the document's save and the save
// with a new section.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "files/files.h"
#include "saga/saga.h"

namespace brivasto {

// The saves that need a document's inner state.
struct SagaDocumentSave {
  // SagaDocument::Save, replacing `file` only while it is still `expected`
  // (when given). Returns the identity of the new file.
  static files::FileIdentity Save(const SagaDocument& document, const std::filesystem::path& file,
                                  const std::function<void()>& beforeReplace,
                                  const files::FileIdentity* expected);
  // The identity `file` must still have when `document` is saved over it:
  // the one read, when `file` is the file the document came from; else null.
  static const files::FileIdentity* Expected(const SagaDocument& document,
                                             const std::filesystem::path& file);
  // After a save over the document's own file, that file is the one it read.
  static void Saved(const SagaDocument& document, const std::filesystem::path& file,
                    const files::FileIdentity& identity);
};

namespace savefile {

// TransferError "No se puede guardar el archivo FILE: REASON".
[[noreturn]] void ThrowError(const std::filesystem::path& file, const std::string& reason);

// Writes the new content through `write(fd)` into a temporary file beside
// `file` (following a symbolic link), flushes it to disk, checks that it
// parses as XML when `checkedEncoding` (the encoding it was written in) is
// not empty, checks that `file` is still `expected` (when given), runs
// `beforeReplace` (when set) and renames it over `file` with `file`'s
// owner, group, mode, ACL and extended attributes. On any failure `file` is
// unchanged, the temporary file is gone and TransferError names `file`.
// Returns the identity of the new file.
files::FileIdentity ReplaceAtomically(const std::filesystem::path& file,
                                      const std::function<void(int fd)>& write,
                                      const std::string& checkedEncoding,
                                      const files::FileIdentity* expected,
                                      const std::function<void()>& beforeReplace);

}  // namespace savefile
}  // namespace brivasto
