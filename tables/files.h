// tables/files.h (private): the file system services of the table engine.
// Files found by name without regard to letter case, file descriptors owned
// by RAII, exclusive holds on files, and errno turned into Spanish text.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace brivasto::files {

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

// What went wrong, in Spanish, for an errno value ("el disco está lleno").
std::string ErrnoText(int error);

// The entries of `directory` whose names equal `fileName` ignoring letter
// case, sorted by name. Empty when there are none or the directory cannot be
// listed.
std::vector<std::filesystem::path> FindIgnoringCase(const std::filesystem::path& directory,
                                                    std::string_view fileName);

// Takes an exclusive hold (flock) on the open file `fd` without waiting.
// False when another open file holds it (another program, or another handle
// of ours); true when the hold is taken, and on a file system without locks,
// where nobody can hold a file.
bool TryHoldExclusively(int fd);

// Flushes the directory entry changes of `directory` to disk. Returns the
// errno of a failure, else 0 (file systems that cannot sync directories are
// no failure).
int SyncDirectory(const std::filesystem::path& directory);

// Copies the bytes of the file `from` to the open file `to` (at its end)
// and flushes them to disk. Returns the errno of a failure, else 0.
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
