// tests/faults/fault_injection.h: makes one chosen file system call fail.
//
// A test program linked with fault_injection.cpp has its own definitions of
// the libc calls through which files change (write, pwrite, sendfile, fsync,
// fdatasync, close of a file open for writing, rename, renameat, unlink,
// remove, link, mkdir, rmdir, fchmod, fchown, fsetxattr, ftruncate, mkstemp, mkostemp, and
// open/openat when they create or open for writing), used by our libraries and by the
// C++ library's std::filesystem alike. While armed, each such call is counted, and the n-th one
// fails with a plausible errno (ENOSPC for writes and creation, EIO for
// fsync, close, rename and rmdir, EPERM for permission and attribute changes) without doing
// anything, except a failing close, which still closes the descriptor.
// Calls made while disarmed pass straight through and are not counted.
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>

namespace brivasto::faults {

struct InjectedFailure {
  std::size_t number = 0;  // 1-based, among the counted calls
  std::string call;        // "write", "rename", ...
  std::string path;        // the file it was about (a descriptor's file found via /proc)
  int error = 0;           // the errno given
};

// Starts counting; the `failAt`-th counted call fails (0: none fails).
// The calls named in `unsupported` fail every time with EPERM and are not
// counted (a file system without hard links: {"link"}).
void Arm(std::size_t failAt, std::set<std::string> unsupported = {});
// Stops counting; returns how many calls were counted since Arm.
std::size_t Disarm();
// The failure injected since the last Arm, if the count reached it.
std::optional<InjectedFailure> Injected();

// Stops counting for its lifetime (for the test's own file work while armed).
class Paused {
 public:
  Paused();
  ~Paused();
  Paused(const Paused&) = delete;
  Paused& operator=(const Paused&) = delete;

 private:
  bool wasArmed_;
};

}  // namespace brivasto::faults
