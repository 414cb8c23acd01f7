// The functions behind fault_injection.h. The test program defines the libc
// calls itself, so that its own definitions take the place of libc's for
// every caller: our libraries and the C++ library's std::filesystem alike.
// Each one counts the call while armed and either fails it or hands it to
// the next definition of that name (libc's), found with dlsym.
#include "tests/faults/fault_injection.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace brivasto::faults {
namespace {

bool armed = false;
std::size_t counted = 0;
std::size_t failAtCall = 0;
std::optional<InjectedFailure> injected;
std::set<std::string> unsupportedCalls;

std::string PathOfDescriptor(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  const ssize_t length = ::readlink(link, target, sizeof target - 1);
  if (length < 0) return "(descriptor " + std::to_string(fd) + ")";
  return std::string(target, static_cast<std::size_t>(length));
}

}  // namespace

void Arm(std::size_t failAt, std::set<std::string> unsupported) {
  unsupportedCalls = std::move(unsupported);
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
  if (unsupportedCalls.contains(call)) {
    errno = EPERM;
    return true;
  }
  ++counted;
  if (counted != failAtCall) return false;
  injected = InjectedFailure{counted, call, path, error};
  errno = error;
  return true;
}

bool Fails(const char* call, int fd, int error) {
  if (!armed) return false;
  if (unsupportedCalls.contains(call)) return Fails(call, std::string(), error);
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

// The next definition of a libc function, looked up once.
template <typename Function>
Function* Next(Function*& cached, const char* name) {
  if (cached == nullptr) {
    cached = reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
    if (cached == nullptr) {
      std::fprintf(stderr, "fault_injection: no libc function %s\n", name);
      std::abort();
    }
  }
  return cached;
}

}  // namespace wrapped
}  // namespace brivasto::faults

using brivasto::faults::wrapped::Fails;
using brivasto::faults::wrapped::Next;
using brivasto::faults::wrapped::OpenForWriting;
using brivasto::faults::wrapped::WritesOrCreates;

extern "C" {

#define BRIVASTO_NEXT(name) Next(next_##name, #name)

namespace {
using WriteFn = ssize_t(int, const void*, size_t);
using PwriteFn = ssize_t(int, const void*, size_t, off_t);
using FdFn = int(int);
using PathsFn = int(const char*, const char*);
using RenameatFn = int(int, const char*, int, const char*);
using PathFn = int(const char*);
using FchmodFn = int(int, mode_t);
using FchownFn = int(int, uid_t, gid_t);
using FtruncateFn = int(int, off_t);
using MkstempFn = int(char*);
using MkostempFn = int(char*, int);
using OpenFn = int(const char*, int, ...);
using OpenatFn = int(int, const char*, int, ...);
using SendfileFn = ssize_t(int, int, off_t*, size_t);
using MkdirFn = int(const char*, mode_t);
using FsetxattrFn = int(int, const char*, const void*, size_t, int);

WriteFn* next_write = nullptr;
PwriteFn* next_pwrite = nullptr;
FdFn* next_fsync = nullptr;
FdFn* next_fdatasync = nullptr;
FdFn* next_close = nullptr;
PathsFn* next_rename = nullptr;
RenameatFn* next_renameat = nullptr;
PathFn* next_unlink = nullptr;
PathFn* next_remove = nullptr;
PathsFn* next_link = nullptr;
FchmodFn* next_fchmod = nullptr;
FchownFn* next_fchown = nullptr;
FtruncateFn* next_ftruncate = nullptr;
MkstempFn* next_mkstemp = nullptr;
MkostempFn* next_mkostemp = nullptr;
OpenFn* next_open = nullptr;
OpenatFn* next_openat = nullptr;
SendfileFn* next_sendfile = nullptr;
MkdirFn* next_mkdir = nullptr;
PathFn* next_rmdir = nullptr;
FsetxattrFn* next_fsetxattr = nullptr;

mode_t ModeArgument(int flags, va_list arguments) {
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    return static_cast<mode_t>(va_arg(arguments, unsigned int));
  }
  return 0;
}
}  // namespace

ssize_t write(int fd, const void* buffer, size_t size) {
  if (Fails("write", fd, ENOSPC)) return -1;
  return BRIVASTO_NEXT(write)(fd, buffer, size);
}

ssize_t pwrite(int fd, const void* buffer, size_t size, off_t offset) {
  if (Fails("pwrite", fd, ENOSPC)) return -1;
  return BRIVASTO_NEXT(pwrite)(fd, buffer, size, offset);
}

ssize_t sendfile(int out, int in, off_t* offset, size_t count) {
  if (Fails("sendfile", out, ENOSPC)) return -1;
  return BRIVASTO_NEXT(sendfile)(out, in, offset, count);
}

int fsync(int fd) {
  if (Fails("fsync", fd, EIO)) return -1;
  return BRIVASTO_NEXT(fsync)(fd);
}

int fdatasync(int fd) {
  if (Fails("fdatasync", fd, EIO)) return -1;
  return BRIVASTO_NEXT(fdatasync)(fd);
}

int close(int fd) {
  if (OpenForWriting(fd) && Fails("close", fd, EIO)) {
    BRIVASTO_NEXT(close)(fd);  // a failed close still frees the descriptor
    errno = EIO;
    return -1;
  }
  return BRIVASTO_NEXT(close)(fd);
}

int rename(const char* from, const char* to) {
  if (Fails("rename", std::string(to), EIO)) return -1;
  return BRIVASTO_NEXT(rename)(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  if (Fails("renameat", std::string(to), EIO)) return -1;
  return BRIVASTO_NEXT(renameat)(fromDir, from, toDir, to);
}

int unlink(const char* path) {
  if (Fails("unlink", std::string(path), EIO)) return -1;
  return BRIVASTO_NEXT(unlink)(path);
}

int remove(const char* path) {
  if (Fails("remove", std::string(path), EIO)) return -1;
  return BRIVASTO_NEXT(remove)(path);
}

int link(const char* from, const char* to) {
  if (Fails("link", std::string(to), ENOSPC)) return -1;
  return BRIVASTO_NEXT(link)(from, to);
}

int mkdir(const char* path, mode_t mode) {
  if (Fails("mkdir", std::string(path), ENOSPC)) return -1;
  return BRIVASTO_NEXT(mkdir)(path, mode);
}

int rmdir(const char* path) {
  if (Fails("rmdir", std::string(path), EIO)) return -1;
  return BRIVASTO_NEXT(rmdir)(path);
}

int fchmod(int fd, mode_t mode) {
  if (Fails("fchmod", fd, EPERM)) return -1;
  return BRIVASTO_NEXT(fchmod)(fd, mode);
}

int fchown(int fd, uid_t owner, gid_t group) {
  if (Fails("fchown", fd, EPERM)) return -1;
  return BRIVASTO_NEXT(fchown)(fd, owner, group);
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) noexcept {
  if (Fails("fsetxattr", fd, EPERM)) return -1;
  return BRIVASTO_NEXT(fsetxattr)(fd, name, value, size, flags);
}

int ftruncate(int fd, off_t length) {
  if (Fails("ftruncate", fd, ENOSPC)) return -1;
  return BRIVASTO_NEXT(ftruncate)(fd, length);
}

int mkstemp(char* pattern) {
  if (Fails("mkstemp", std::string(pattern), ENOSPC)) return -1;
  return BRIVASTO_NEXT(mkstemp)(pattern);
}

int mkostemp(char* pattern, int flags) {
  if (Fails("mkostemp", std::string(pattern), ENOSPC)) return -1;
  return BRIVASTO_NEXT(mkostemp)(pattern, flags);
}

int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = ModeArgument(flags, arguments);
  va_end(arguments);
  if (WritesOrCreates(flags) && Fails("open", std::string(path), ENOSPC)) return -1;
  return BRIVASTO_NEXT(open)(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const mode_t mode = ModeArgument(flags, arguments);
  va_end(arguments);
  if (WritesOrCreates(flags) && Fails("openat", std::string(path), ENOSPC)) return -1;
  return BRIVASTO_NEXT(openat)(dir, path, flags, mode);
}

}  // extern "C"
