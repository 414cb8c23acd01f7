#include "files/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <random>
#include <system_error>
#include <utility>

#include "text/text.h"

namespace brivasto::files {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kTemporaryMark = ".tmp-";
constexpr std::size_t kTemporarySuffix = 6;  // the XXXXXX of mkstemp
// Links followed before a chain counts as endless (the kernel's own limit).
constexpr int kMaxLinks = 40;

struct Reason {
  int error;
  const char* text;
};

// One table of reasons: each errno a file operation may give, in Spanish.
constexpr Reason kReasons[] = {
    {ENOSPC, "el disco está lleno"},
    {EDQUOT, "se ha agotado la cuota de disco"},
    {EFBIG, "el archivo supera el tamaño permitido"},
    {EACCES, "no hay permiso de acceso"},
    {EPERM, "la operación no está permitida"},
    {EROFS, "el sistema de archivos es de solo lectura"},
    {EIO, "error de entrada/salida del disco"},
    {ENAMETOOLONG, "el nombre es demasiado largo"},
    {ELOOP, "hay demasiados enlaces simbólicos seguidos"},
    {EXDEV, "no está en el mismo sistema de archivos"},
    {EISDIR, "es un directorio"},
    {ENOTDIR, "una parte de la ruta no es un directorio"},
    {EBUSY, "el archivo está ocupado"},
    {ETXTBSY, "el archivo está en uso como programa"},
    {EMFILE, "hay demasiados archivos abiertos"},
    {ENFILE, "hay demasiados archivos abiertos en el sistema"},
    {ENOENT, "no existe el archivo o el directorio"},
    {EEXIST, "ya existe un archivo con ese nombre"},
    {EMLINK, "el archivo tiene demasiados enlaces"},
    {ENOTSUP, "el sistema de archivos no admite la operación"},
    {ESTALE, "el archivo ya no está disponible en el servidor"},
    {ENOMEM, "no queda memoria"},
};

mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

FileIdentity IdentityFrom(const struct stat& status) {
  return {status.st_dev, status.st_ino, static_cast<std::int64_t>(status.st_size),
          static_cast<std::int64_t>(status.st_mtim.tv_sec),
          static_cast<std::int64_t>(status.st_mtim.tv_nsec)};
}

// Follows `path`'s links; 0, or ELOOP for a chain that does not end.
int Follow(const fs::path& path, fs::path& resolved) {
  resolved = path;
  for (int hops = 0; hops <= kMaxLinks; ++hops) {
    std::error_code error;
    if (!fs::is_symlink(resolved, error)) return 0;
    const fs::path next = fs::read_symlink(resolved, error);
    if (error) return 0;
    resolved = next.is_absolute() ? next : resolved.parent_path() / next;
  }
  return ELOOP;
}

fs::path DirectoryOf(const fs::path& file) {
  return file.has_parent_path() ? file.parent_path() : fs::path(".");
}

std::string TemporaryPrefix(const fs::path& target) {
  return "." + target.filename().string() + std::string(kTemporaryMark);
}

// Copies the extended attributes of `source` (the POSIX ACL among them,
// as "system.posix_acl_access") onto the open file `fd`. Returns 0 or the
// errno of a failure. Attributes that only the system may set (security,
// trusted) are copied where allowed and otherwise left to the system.
int CopyAttributes(const fs::path& source, int fd) {
  ssize_t size = ::listxattr(source.c_str(), nullptr, 0);
  if (size < 0) return errno == ENOTSUP ? 0 : errno;
  std::string names(static_cast<std::size_t>(size), '\0');
  size = ::listxattr(source.c_str(), names.data(), names.size());
  if (size < 0) return errno;
  names.resize(static_cast<std::size_t>(size));
  for (std::size_t at = 0; at < names.size();) {
    const std::string name = names.c_str() + at;
    at += name.size() + 1;
    if (name.empty()) continue;
    const ssize_t length = ::getxattr(source.c_str(), name.c_str(), nullptr, 0);
    if (length < 0 && errno == ENODATA) continue;  // removed since it was listed
    if (length < 0) return errno;
    std::string value(static_cast<std::size_t>(length), '\0');
    const ssize_t got = ::getxattr(source.c_str(), name.c_str(), value.data(), value.size());
    if (got < 0 && errno == ENODATA) continue;
    if (got < 0) return errno;
    if (::fsetxattr(fd, name.c_str(), value.data(), static_cast<std::size_t>(got), 0) != 0) {
      const bool systemOnly = name.starts_with("security.") || name.starts_with("trusted.");
      if (systemOnly && (errno == EPERM || errno == ENOTSUP)) continue;
      return errno;
    }
  }
  return 0;
}

// A name ".NAME.tmp-XXXXXX" beside `target` that is not taken yet, for a
// hard link (mkstemp would create the file itself).
fs::path FreshTemporaryName(const fs::path& target) {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
  std::string name = TemporaryPrefix(target);
  for (std::size_t i = 0; i < kTemporarySuffix; ++i) name += kLetters[pick(generator)];
  return DirectoryOf(target) / name;
}

bool IsAsciiLetterOrDigit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace

std::string ErrnoText(int error) {
  for (const Reason& reason : kReasons) {
    if (reason.error == error) return reason.text;
  }
  return "error del sistema " + std::to_string(error);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.Release();
  }
  return *this;
}

UniqueFd::~UniqueFd() { Close(); }

int UniqueFd::Release() { return std::exchange(fd_, -1); }

int UniqueFd::Close() {
  if (fd_ < 0) return 0;
  const int result = ::close(std::exchange(fd_, -1));
  return result == 0 ? 0 : errno;
}

int WriteAll(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return ENOSPC;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

bool IdentityOf(int fd, FileIdentity& identity) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return false;
  identity = IdentityFrom(status);
  return true;
}

fs::path FollowLinks(const fs::path& path) {
  fs::path resolved;
  if (const int error = Follow(path, resolved); error != 0) {
    throw TransferError("No se puede seguir el enlace " + PathText(path) + ": " + ErrnoText(error) +
                        ".");
  }
  return resolved;
}

// --- TemporaryFile -----------------------------------------------------------

TemporaryFile TemporaryFile::Beside(const fs::path& target, Wording wording) {
  TemporaryFile temp;
  temp.wording_ = std::move(wording);
  const char* create = temp.wording_.create;
  if (const int error = Follow(target, temp.target_); error != 0) temp.Fail(create, error);
  std::string pattern =
      PathText(DirectoryOf(temp.target_) / (TemporaryPrefix(temp.target_) + "XXXXXX"));
  for (int attempt = 0;; ++attempt) {
    std::string name = pattern;
    UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd.Valid()) temp.Fail(create, errno);
    temp.path_ = name;
    temp.file_ = std::move(fd);
    // Held from the start: a run that clears leftovers leaves it alone.
    while (::flock(temp.file_.Get(), LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat status {};
    if (attempt < 10 && ::fstat(temp.file_.Get(), &status) == 0 && status.st_nlink == 0) {
      // Taken for a leftover and removed before the hold: another name.
      temp.file_.Close();
      temp.path_.clear();
      continue;
    }
    break;
  }
  // The hold outlives the writing descriptor, which Finish closes.
  temp.hold_ = UniqueFd(::fcntl(temp.file_.Get(), F_DUPFD_CLOEXEC, 0));
  if (!temp.hold_.Valid()) temp.Fail(create, errno);
  // mkstemp makes the file private to its owner; a new file is as readable
  // as any other the user makes.
  if (::fchmod(temp.file_.Get(), NewFileMode()) != 0) temp.Fail(create, errno);
  return temp;
}

TemporaryFile TemporaryFile::LinkBeside(const fs::path& source, const fs::path& target,
                                        Wording wording) {
  TemporaryFile temp;
  temp.wording_ = std::move(wording);
  temp.linked_ = true;
  const char* create = temp.wording_.create;
  if (const int error = Follow(target, temp.target_); error != 0) temp.Fail(create, error);
  fs::path original;
  if (const int error = Follow(source, original); error != 0) temp.Fail(create, error);
  // The hold is on the file itself: the link shares it.
  temp.hold_ = UniqueFd(::open(original.c_str(), O_RDONLY | O_CLOEXEC));
  if (!temp.hold_.Valid()) temp.Fail(create, errno);
  TryHoldExclusively(temp.hold_.Get());
  if (!IdentityOf(temp.hold_.Get(), temp.identity_)) temp.Fail(create, errno);
  for (int attempt = 0;; ++attempt) {
    const fs::path name = FreshTemporaryName(temp.target_);
    if (::link(original.c_str(), name.c_str()) == 0) {
      temp.path_ = name;
      return temp;
    }
    if (errno != EEXIST || attempt == 100) temp.Fail(create, errno);
  }
}

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept
    : target_(std::move(other.target_)),
      path_(std::exchange(other.path_, {})),
      wording_(std::move(other.wording_)),
      file_(std::move(other.file_)),
      hold_(std::move(other.hold_)),
      identity_(other.identity_),
      linked_(other.linked_),
      metadataTaken_(other.metadataTaken_) {}

TemporaryFile& TemporaryFile::operator=(TemporaryFile&& other) noexcept {
  if (this != &other) {
    Discard();
    target_ = std::move(other.target_);
    path_ = std::exchange(other.path_, {});
    wording_ = std::move(other.wording_);
    file_ = std::move(other.file_);
    hold_ = std::move(other.hold_);
    identity_ = other.identity_;
    linked_ = other.linked_;
    metadataTaken_ = other.metadataTaken_;
  }
  return *this;
}

TemporaryFile::~TemporaryFile() { Discard(); }

void TemporaryFile::Discard() noexcept {
  file_.Close();
  if (!path_.empty()) ::unlink(path_.c_str());
  path_.clear();
  hold_.Close();
}

void TemporaryFile::Fail(int error) const { Fail(wording_.write, error); }

void TemporaryFile::Fail(const char* verb, int error) const {
  throw TransferError("No se puede " + std::string(verb) + " " + wording_.object + ": " +
                      ErrnoText(error) + ".");
}

void TemporaryFile::Write(std::string_view bytes) {
  if (const int error = WriteAll(file_.Get(), bytes); error != 0) Fail(error);
}

void TemporaryFile::Finish() {
  if (!file_.Valid()) return;
  if (::fsync(file_.Get()) != 0) Fail(errno);
  if (!IdentityOf(file_.Get(), identity_)) Fail(errno);
  if (const int error = file_.Close(); error != 0) Fail(error);
}

void TemporaryFile::TakeMetadataOf(const fs::path& source) {
  metadataTaken_ = true;
  struct stat status {};
  if (::stat(source.c_str(), &status) != 0) {
    if (errno == ENOENT) return;  // a new file: the mode of a new file
    Fail(errno);
  }
  const int fd = hold_.Get();
  // The owner first: changing it clears the set-user and set-group bits.
  // Keeping another user's ownership needs privileges; without them the
  // group is kept where the user belongs to it, and the file becomes ours.
  if (::fchown(fd, status.st_uid, status.st_gid) != 0) {
    [[maybe_unused]] const int ignored = ::fchown(fd, static_cast<uid_t>(-1), status.st_gid);
  }
  if (::fchmod(fd, status.st_mode & 07777) != 0) Fail(errno);
  if (const int error = CopyAttributes(source, fd); error != 0) Fail(error);
}

void TemporaryFile::CheckTargetIs(const FileIdentity& expected) const {
  struct stat status {};
  if (::stat(target_.c_str(), &status) != 0 || IdentityFrom(status) != expected) {
    throw TransferError("El archivo " + PathText(target_) +
                        " ha cambiado desde que se leyó (otro programa lo ha guardado o lo ha "
                        "movido): no se ha guardado nada, para no perder ese cambio. Vuelva a "
                        "hacer la transferencia.");
  }
}

void TemporaryFile::Replace(const FileIdentity* expected) {
  Finish();
  if (expected != nullptr) CheckTargetIs(*expected);
  struct stat status {};
  const bool targetExists = ::stat(target_.c_str(), &status) == 0;
  if (!linked_ && !metadataTaken_) TakeMetadataOf(target_);
  if (targetExists && status.st_dev == identity_.device && status.st_ino == identity_.inode) {
    // The target is already this very file (a hard link of the source):
    // a rename would do nothing and leave the temporary name behind.
    Discard();
    return;
  }
  if (::rename(path_.c_str(), target_.c_str()) != 0) Fail(wording_.replace, errno);
  path_.clear();
  hold_.Close();
}

// --- Leftovers and the directory -------------------------------------------------

std::vector<fs::path> RemoveLeftovers(const fs::path& target) {
  std::vector<fs::path> removed;
  fs::path resolved;
  if (Follow(target, resolved) != 0) return removed;
  const std::string prefix = TemporaryPrefix(resolved);
  std::error_code error;
  fs::directory_iterator entries(DirectoryOf(resolved), error);
  for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
    const std::string name = entries->path().filename().string();
    if (name.size() != prefix.size() + kTemporarySuffix || !name.starts_with(prefix) ||
        !std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                     IsAsciiLetterOrDigit)) {
      continue;
    }
    const UniqueFd file(
        ::open(entries->path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!file.Valid() || ::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    // Only a hold we get tells that no live process writes it; a file
    // system without locks tells nothing, and the file stays.
    if (::flock(file.Get(), LOCK_EX | LOCK_NB) != 0) continue;
    if (::unlink(entries->path().c_str()) == 0) removed.push_back(entries->path());
  }
  std::sort(removed.begin(), removed.end());
  return removed;
}

std::vector<fs::path> FindIgnoringAsciiCase(const fs::path& directory, std::string_view fileName) {
  std::vector<fs::path> found;
  std::error_code error;
  fs::directory_iterator entries(directory, error);
  for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
    const fs::path& path = entries->path();
    if (EqualAsciiIgnoringCase(path.filename().string(), fileName)) found.push_back(path);
  }
  std::sort(found.begin(), found.end());
  return found;
}

bool TryHoldExclusively(int fd) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return false;
    break;  // no flock here; record locks may still be
  }
  // Programs that lock records (fcntl, as Wine does for a Windows program's
  // locked file) hold a file too. A read lock of our own over the whole file
  // keeps them from write-locking it while we hold it; asking for a write
  // lock then finds any lock of theirs, read locks included. Our own lock on
  // this open file never counts against it, so asking again later is a
  // fresh check.
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  while (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EACCES) return false;
    return true;  // a file system without record locks
  }
  lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK) return false;
  return true;
}

int SyncDirectory(const fs::path& directory) {
  UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.Valid()) return errno;
  if (::fsync(dir.Get()) != 0 && errno != EINVAL && errno != EROFS) return errno;
  return dir.Close();
}

int CopyFileTo(const fs::path& from, int to) {
  UniqueFd source(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!source.Valid()) return errno;
  std::vector<char> block(1 << 16);
  for (;;) {
    const ssize_t got = ::read(source.Get(), block.data(), block.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) break;
    if (const int error =
            WriteAll(to, std::string_view(block.data(), static_cast<std::size_t>(got)));
        error != 0) {
      return error;
    }
  }
  return 0;
}

int LinkOrCopy(const fs::path& from, const fs::path& to) {
  if (::link(from.c_str(), to.c_str()) == 0) return 0;
  const int linkError = errno;
  // Only a file system that cannot link this pair falls back to a copy;
  // any other failure (a full disk, no permission) is the answer.
  if (linkError != EXDEV && linkError != EPERM && linkError != EMLINK && linkError != EOPNOTSUPP &&
      linkError != ENOSYS) {
    return linkError;
  }
  UniqueFd target(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!target.Valid()) return errno;
  int error = CopyFileTo(from, target.Get());
  if (error == 0 && ::fsync(target.Get()) != 0) error = errno;
  if (const int closeError = target.Close(); error == 0) error = closeError;
  if (error != 0) ::unlink(to.c_str());
  return error;
}

int RemoveTree(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return errno == ENOENT ? 0 : errno;
  if (!S_ISDIR(status.st_mode)) {
    return ::unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
  }
  std::vector<fs::path> entries;
  {
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
    if (!dir) return errno;
    while (const dirent* entry = ::readdir(dir.get())) {
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") entries.push_back(path / name);
    }
  }
  for (const auto& entry : entries) {
    if (const int error = RemoveTree(entry); error != 0) return error;
  }
  return ::rmdir(path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
}

std::string PathText(const fs::path& path) { return path.string(); }

}  // namespace brivasto::files
