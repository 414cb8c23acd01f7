// The --wrap functions behind fault_injection.h. Each __wrap_X counts the
// call while armed and either fails it or hands it to __real_X (the libc
// function; under the sanitizers, their interceptor).
#include "tests/faults/fault_injection.h"

#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

namespace brivasto::faults {
namespace {

bool armed = false;
std::size_t counted = 0;
std::size_t failAtCall = 0;
std::optional<InjectedFailure> injected;

std::string PathOfDescriptor(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  const ssize_t length = ::readlink(link, target, sizeof target - 1);
  if (length < 0) return "(descriptor " + std::to_string(fd) + ")";
  return std::string(target, static_cast<std::size_t>(length));
}

}  // namespace

void Arm(std::size_t failAt) {
  armed = true;
  counted = 0;
  failAtCall = failAt;
  injected.reset();
}

std::size_t Disarm() {
  armed = false;
  return counted;
}

std::optional<InjectedFailure> Injected() { return injected; }

Paused::Paused() : wasArmed_(armed) { armed = false; }
Paused::~Paused() { armed = wasArmed_; }

// What the wrappers below use.
namespace wrapped {

// True when this call is the one that fails; errno is then set.
bool Fails(const char* call, const std::string& path, int error) {
  if (!armed) return false;
  ++counted;
  if (counted != failAtCall) return false;
  injected = InjectedFailure{counted, call, path, error};
  errno = error;
  return true;
}

bool Fails(const char* call, int fd, int error) {
  if (!armed) return false;
  // The path is looked up only for the call that fails.
  if (counted + 1 != failAtCall) {
    ++counted;
    return false;
  }
  return Fails(call, PathOfDescriptor(fd), error);
}

bool WritesOrCreates(int flags) {
  return (flags & (O_CREAT | O_TRUNC)) != 0 || (flags & O_ACCMODE) != O_RDONLY;
}

bool OpenForWriting(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
}

}  // namespace wrapped
}  // namespace brivasto::faults

using brivasto::faults::wrapped::Fails;
using brivasto::faults::wrapped::OpenForWriting;
using brivasto::faults::wrapped::WritesOrCreates;

extern "C" {

ssize_t __real_write(int fd, const void* buffer, size_t size);
ssize_t __real_pwrite(int fd, const void* buffer, size_t size, off_t offset);
int __real_fsync(int fd);
int __real_fdatasync(int fd);
int __real_close(int fd);
int __real_rename(const char* from, const char* to);
int __real_renameat(int fromDir, const char* from, int toDir, const char* to);
int __real_unlink(const char* path);
int __real_link(const char* from, const char* to);
int __real_fchmod(int fd, mode_t mode);
int __real_fchown(int fd, uid_t owner, gid_t group);
int __real_ftruncate(int fd, off_t length);
int __real_mkstemp(char* pattern);
int __real_mkostemp(char* pattern, int flags);
int __real_open(const char* path, int flags, ...);
int __real_openat(int dir, const char* path, int flags, ...);

ssize_t __wrap_write(int fd, const void* buffer, size_t size) {
  if (Fails("write", fd, ENOSPC)) return -1;
  return __real_write(fd, buffer, size);
}

ssize_t __wrap_pwrite(int fd, const void* buffer, size_t size, off_t offset) {
  if (Fails("pwrite", fd, ENOSPC)) return -1;
  return __real_pwrite(fd, buffer, size, offset);
}

int __wrap_fsync(int fd) {
  if (Fails("fsync", fd, EIO)) return -1;
  return __real_fsync(fd);
}

int __wrap_fdatasync(int fd) {
  if (Fails("fdatasync", fd, EIO)) return -1;
  return __real_fdatasync(fd);
}

int __wrap_close(int fd) {
  if (OpenForWriting(fd) && Fails("close", fd, EIO)) {
    __real_close(fd);  // a failed close still frees the descriptor
    errno = EIO;
    return -1;
  }
  return __real_close(fd);
}

int __wrap_rename(const char* from, const char* to) {
  if (Fails("rename", std::string(to), EIO)) return -1;
  return __real_rename(from, to);
}

int __wrap_renameat(int fromDir, const char* from, int toDir, const char* to) {
  if (Fails("renameat", std::string(to), EIO)) return -1;
  return __real_renameat(fromDir, from, toDir, to);
}

int __wrap_unlink(const char* path) {
  if (Fails("unlink", std::string(path), EIO)) return -1;
  return __real_unlink(path);
}

int __wrap_link(const char* from, const char* to) {
  if (Fails("link", std::string(to), ENOSPC)) return -1;
  return __real_link(from, to);
}

int __wrap_fchmod(int fd, mode_t mode) {
  if (Fails("fchmod", fd, EPERM)) return -1;
  return __real_fchmod(fd, mode);
}

int __wrap_fchown(int fd, uid_t owner, gid_t group) {
  if (Fails("fchown", fd, EPERM)) return -1;
  return __real_fchown(fd, owner, group);
}

int __wrap_ftruncate(int fd, off_t length) {
  if (Fails("ftruncate", fd, ENOSPC)) return -1;
  return __real_ftruncate(fd, length);
}

int __wrap_mkstemp(char* pattern) {
  if (Fails("mkstemp", std::string(pattern), ENOSPC)) return -1;
  return __real_mkstemp(pattern);
}

int __wrap_mkostemp(char* pattern, int flags) {
  if (Fails("mkostemp", std::string(pattern), ENOSPC)) return -1;
  return __real_mkostemp(pattern, flags);
}

int __wrap_open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, unsigned int));
    va_end(arguments);
  }
  if (WritesOrCreates(flags) && Fails("open", std::string(path), ENOSPC)) return -1;
  return __real_open(path, flags, mode);
}

int __wrap_openat(int dir, const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, unsigned int));
    va_end(arguments);
  }
  if (WritesOrCreates(flags) && Fails("openat", std::string(path), ENOSPC)) return -1;
  return __real_openat(dir, path, flags, mode);
}

}  // extern "C"
