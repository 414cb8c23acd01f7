#include "tables/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "text/text.h"

namespace brivasto::files {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.Release();
  }
  return *this;
}

UniqueFd::~UniqueFd() { Close(); }

int UniqueFd::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

int UniqueFd::Close() {
  if (fd_ < 0) return 0;
  const int result = ::close(fd_);
  fd_ = -1;
  return result == 0 ? 0 : errno;
}

std::string ErrnoText(int error) {
  switch (error) {
    case ENOENT:
      return "no existe el archivo o el directorio";
    case ENOTDIR:
      return "una parte de la ruta no es un directorio";
    case EACCES:
    case EPERM:
      return "no hay permiso de acceso";
    case EROFS:
      return "el sistema de archivos es de solo lectura";
    case ENOSPC:
      return "el disco está lleno";
    case EDQUOT:
      return "se ha agotado la cuota de disco";
    case EFBIG:
      return "el archivo supera el tamaño permitido";
    case EIO:
      return "error de entrada/salida del disco";
    case EISDIR:
      return "es un directorio";
    case EBUSY:
      return "el archivo está ocupado";
    case EMFILE:
    case ENFILE:
      return "hay demasiados archivos abiertos";
    case ENAMETOOLONG:
      return "el nombre es demasiado largo";
    default:
      return std::string("error del sistema ") + std::to_string(error) + " (" +
             std::strerror(error) + ")";
  }
}

std::vector<std::filesystem::path> FindIgnoringCase(const std::filesystem::path& directory,
                                                    std::string_view fileName) {
  std::vector<std::filesystem::path> found;
  const std::u16string wanted = FromUtf8(fileName);
  std::error_code error;
  std::filesystem::directory_iterator entries(directory, error);
  if (error) return found;
  for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    const std::filesystem::path& path = entries->path();
    if (EqualIgnoringCase(FromUtf8(path.filename().string()), wanted)) found.push_back(path);
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

int SyncDirectory(const std::filesystem::path& directory) {
  UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.Valid()) return errno;
  if (::fsync(dir.Get()) != 0 && errno != EINVAL && errno != EROFS) return errno;
  return dir.Close();
}

std::string PathText(const std::filesystem::path& path) { return path.string(); }

}  // namespace brivasto::files
