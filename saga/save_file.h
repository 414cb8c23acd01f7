// saga/save_file.h (private to saga/): replacing a file atomically with new
// content, shared by the document's save and the save with a new section.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace brivasto::savefile {

// The user's words for a system error number.
std::string ReasonText(int error);

// TransferError "No se puede guardar el archivo FILE: REASON".
[[noreturn]] void ThrowError(const std::filesystem::path& file, const std::string& reason);

// Writes the new content through `write(fd)` into a temporary file beside
// `file` (following a symbolic link), with `file`'s permissions and owner,
// flushes it to disk, checks that it parses as XML when `checkedEncoding`
// (the encoding it was written in) is not empty, runs
// `beforeReplace` (when set) and renames it over `file`. On any failure
// `file` is unchanged, the temporary file is gone and TransferError names
// `file`.
void ReplaceAtomically(const std::filesystem::path& file, const std::function<void(int fd)>& write,
                       const std::string& checkedEncoding,
                       const std::function<void()>& beforeReplace);

}  // namespace brivasto::savefile
