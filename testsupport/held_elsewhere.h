// testsupport/held_elsewhere.h: another process that holds a file the way
// other programs do (Talvenor's database engine with flock, a Windows
// program under Wine with record locks), for as long as the object lives.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace brivasto::testing {

enum class LockKind {
  kFlock,        // flock(LOCK_EX)
  kRecordRead,   // fcntl(F_SETLK) with a read lock over the whole file
  kRecordWrite,  // fcntl(F_SETLK) with a write lock over the whole file
  kOfdWrite,     // an open file description write lock (F_OFD_SETLK)
};

inline const char* LockName(LockKind kind) {
  switch (kind) {
    case LockKind::kFlock:
      return "flock";
    case LockKind::kRecordRead:
      return "fcntl read lock";
    case LockKind::kRecordWrite:
      return "fcntl write lock";
    case LockKind::kOfdWrite:
      return "OFD write lock";
  }
  return "";
}

// A child process that opens `file` (creating it when `create`), tries once
// to take the lock without waiting and keeps it until destroyed. Held()
// says whether it got it.
class HeldElsewhere {
 public:
  HeldElsewhere(const std::filesystem::path& file, LockKind kind, bool create = false) {
    int ready[2];
    if (::pipe(ready) != 0 || ::pipe(release_) != 0) throw std::runtime_error("pipe");
    child_ = ::fork();
    if (child_ < 0) throw std::runtime_error("fork");
    if (child_ == 0) {
      ::close(ready[0]);
      ::close(release_[1]);
      const int fd = ::open(file.c_str(), O_RDWR | (create ? O_CREAT : 0), 0644);
      bool taken = false;
      if (fd >= 0) {
        struct flock lock {};
        lock.l_whence = SEEK_SET;
        switch (kind) {
          case LockKind::kFlock:
            taken = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
            break;
          case LockKind::kRecordRead:
            lock.l_type = F_RDLCK;
            taken = ::fcntl(fd, F_SETLK, &lock) == 0;
            break;
          case LockKind::kRecordWrite:
            lock.l_type = F_WRLCK;
            taken = ::fcntl(fd, F_SETLK, &lock) == 0;
            break;
          case LockKind::kOfdWrite:
            lock.l_type = F_WRLCK;
            taken = ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
            break;
        }
      }
      const char answer = taken ? 'y' : 'n';
      if (::write(ready[1], &answer, 1) == 1) {
        char c;
        static_cast<void>(::read(release_[0], &c, 1));  // until the parent closes it
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release_[0]);
    char answer = 'n';
    if (::read(ready[0], &answer, 1) != 1) throw std::runtime_error("no answer from the child");
    ::close(ready[0]);
    held_ = answer == 'y';
  }
  HeldElsewhere(const HeldElsewhere&) = delete;
  HeldElsewhere& operator=(const HeldElsewhere&) = delete;
  ~HeldElsewhere() {
    ::close(release_[1]);
    int status = 0;
    ::waitpid(child_, &status, 0);
  }

  bool Held() const { return held_; }

 private:
  int release_[2] = {-1, -1};
  pid_t child_ = -1;
  bool held_ = false;
};

}  // namespace brivasto::testing
