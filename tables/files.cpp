#include "tables/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>
#include <system_error>
#include <vector>

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
    return errno != EWOULDBLOCK;
  }
  return true;
}

int SyncDirectory(const std::filesystem::path& directory) {
  UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.Valid()) return errno;
  if (::fsync(dir.Get()) != 0 && errno != EINVAL && errno != EROFS) return errno;
  return dir.Close();
}

int CopyFileTo(const std::filesystem::path& from, int to) {
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
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(to, block.data() + done, static_cast<std::size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += put;
    }
  }
  return ::fsync(to) == 0 ? 0 : errno;
}

int LinkOrCopy(const std::filesystem::path& from, const std::filesystem::path& to) {
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
  if (const int closeError = target.Close(); error == 0) error = closeError;
  if (error != 0) ::unlink(to.c_str());
  return error;
}

int RemoveTree(const std::filesystem::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return errno == ENOENT ? 0 : errno;
  if (!S_ISDIR(status.st_mode)) {
    return ::unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
  }
  std::vector<std::filesystem::path> entries;
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

std::string PathText(const std::filesystem::path& path) { return path.string(); }

}  // namespace brivasto::files
