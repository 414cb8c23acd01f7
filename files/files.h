// files/files.h: the one way the program writes files. A new version of a
// file is written into a temporary file beside it, held (flock) while it is
// written, flushed to disk, and then renamed over the file in one step that
// keeps what the file was: its mode, owner, group, POSIX ACL and extended
// attributes; a symbolic link is followed and the file it names replaced.
// Until that rename the old file is untouched. A temporary file is always
// named ".NAME.tmp-XXXXXX" beside NAME; one that no live process holds is
// a leftover of an interrupted run, and RemoveLeftovers clears it.
// Every failure throws TransferError naming the file, with the system's
// reason in Spanish (ErrnoText); no English system text reaches the user.
//
// Steps of one replace, which may be apart in time (a set of files is
// staged first, then renamed one after another):
//   TemporaryFile temp = TemporaryFile::Beside(target, {"el archivo X"});
//   temp.Write(bytes) ...;  temp.Finish();   // complete and on disk
//   temp.Replace();                         // in place of the target
//   SyncDirectory(temp.Directory()) ...     // the renames made durable
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace brivasto::files {

// What went wrong, in Spanish, for an errno value ("el disco está lleno");
// an errno without words of its own is "error del sistema N".
std::string ErrnoText(int error);

// Owns a file descriptor; closes it quietly when destroyed.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  ~UniqueFd();

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release();
  // Closes the descriptor; returns the errno of a failed close, else 0.
  int Close();

 private:
  int fd_ = -1;
};

// Writes all of `bytes` to `fd`, through short writes and interruptions.
// Returns 0, or the errno of the write that failed.
int WriteAll(int fd, std::string_view bytes) noexcept;

// Which file a name stood for when it was read: a file saved again by
// another program since then is another file (other inode, size or time).
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modifiedSeconds = 0;
  std::int64_t modifiedNanoseconds = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};
// The identity of the open file `fd`; false when it cannot be read.
bool IdentityOf(int fd, FileIdentity& identity);

// The file a path names once symbolic links are followed (the path itself
// when it is no link); the link's target need not exist. Throws for a
// chain of links that does not end (ELOOP).
std::filesystem::path FollowLinks(const std::filesystem::path& path);

// How the failures of one temporary file are worded: "No se puede <verb>
// <object>: <reason>.", the verb after the step that failed.
struct Wording {
  std::string object;              // "la tabla ASIGT (/zwork/ASIGT.DBF)", "el archivo /x/saga.xml"
  const char* create = "crear";    // making the temporary file
  const char* write = "escribir";  // writing, flushing, giving it metadata
  const char* replace = "reemplazar";  // putting it in place of the target
};

// The new version of `Target()`, being written beside it. Move-only; the
// destructor removes the file unless it has replaced the target.
class TemporaryFile {
 public:
  // Creates ".NAME.tmp-XXXXXX" beside the file `target` names (links
  // followed) with the mode of a new file, and holds it. `wording` names the
  // file in failure messages.
  static TemporaryFile Beside(const std::filesystem::path& target, Wording wording);
  // A temporary name beside `target` for the file `source` (links followed)
  // as it is: a second hard link, so that `source` may be replaced and the
  // old content stays under `target` after Replace. Throws with the reason
  // when the file system has no hard links (EPERM, EXDEV, EMLINK, ...);
  // then the caller copies into Beside(target) instead.
  static TemporaryFile LinkBeside(const std::filesystem::path& source,
                                  const std::filesystem::path& target, Wording wording);

  TemporaryFile(TemporaryFile&& other) noexcept;
  TemporaryFile& operator=(TemporaryFile&& other) noexcept;
  ~TemporaryFile();

  // The descriptor to write to (-1 for a linked one or once finished).
  int Descriptor() const { return file_.Get(); }
  void Write(std::string_view bytes);
  // Flushes the content to disk and closes the writing descriptor; the
  // hold stays until Replace or destruction.
  void Finish();
  // Gives the new file `source`'s owner, group, mode, ACL and extended
  // attributes instead of the target's (a copy of another file).
  void TakeMetadataOf(const std::filesystem::path& source);
  // Throws "El archivo X ha cambiado ..." unless the target is still the
  // file `expected` (not replaced, moved or rewritten by another program).
  void CheckTargetIs(const FileIdentity& expected) const;
  // Renames the finished file over the target, with the target's metadata
  // (or that of TakeMetadataOf) unless it is a link of its source. When
  // `expected` is given, the target must still be that file: else it
  // throws "El archivo X ha cambiado ..." and the target keeps the other
  // program's version (see CheckTargetIs). The directory is not synced
  // (SyncDirectory).
  void Replace(const FileIdentity* expected = nullptr);

  const std::filesystem::path& Path() const { return path_; }
  const std::filesystem::path& Target() const { return target_; }
  // The folder the target and the temporary file are in ("." for a bare name).
  std::filesystem::path Directory() const {
    return target_.has_parent_path() ? target_.parent_path() : std::filesystem::path(".");
  }
  // The identity the target has once replaced (valid after Finish).
  const FileIdentity& Identity() const { return identity_; }

  // Throws TransferError "No se puede <write verb> <object>: <reason>.".
  [[noreturn]] void Fail(int error) const;

 private:
  TemporaryFile() = default;
  void Discard() noexcept;
  [[noreturn]] void Fail(const char* verb, int error) const;

  std::filesystem::path target_;
  std::filesystem::path path_;  // empty once renamed or removed
  Wording wording_;
  UniqueFd file_;  // open for writing until Finish
  UniqueFd hold_;  // the flock that tells the file is in use
  FileIdentity identity_;
  bool linked_ = false;
  bool metadataTaken_ = false;
};

// Removes the temporary files of `target` (".NAME.tmp-XXXXXX" beside the
// file it names) that no live process holds: leftovers of a run that was
// cut short. Returns the paths removed; a file that cannot be removed is
// left and not reported.
std::vector<std::filesystem::path> RemoveLeftovers(const std::filesystem::path& target);

// The entries of `directory` whose names equal `fileName` ignoring the
// letter case of ASCII letters only, sorted by name (table names are
// ASCII: "ſ" is no "s"). Empty when there are none or the directory
// cannot be listed.
std::vector<std::filesystem::path> FindIgnoringAsciiCase(const std::filesystem::path& directory,
                                                         std::string_view fileName);

// Takes an exclusive hold on the open file `fd` without waiting: a flock,
// and a record lock that keeps others from write-locking it. False when
// another open file holds it, by flock or by any POSIX record lock (fcntl or
// open file description lock: another program, or another handle of ours);
// true when the hold is taken, and on a file system without locks, where
// nobody can hold a file. Called again on a file it holds, it checks afresh
// for record locks that others took meanwhile (read locks can still come).
bool TryHoldExclusively(int fd);

// Flushes the directory entry changes of `directory` to disk. Returns the
// errno of a failure, else 0 (file systems that cannot sync directories are
// no failure).
int SyncDirectory(const std::filesystem::path& directory);

// Copies the bytes of the file `from` to the open file `to` (at its end);
// flushing them to disk is the caller's (a temporary file's Finish does it).
// Returns the errno of a failure, else 0.
int CopyFileTo(const std::filesystem::path& from, int to);

// Makes `to` (which must not exist) the same file as `from`: a hard link,
// or a copy where the file system cannot link the two. Returns the errno of
// a failure, else 0; a failed copy leaves no `to` behind.
int LinkOrCopy(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes `path` and, for a folder, everything in it. Returns the errno of
// the first failure, else 0; a missing path is no failure.
int RemoveTree(const std::filesystem::path& path);

// The path as UTF-8 text for messages.
std::string PathText(const std::filesystem::path& path);

}  // namespace brivasto::files
