// The status file: one key of an INI file set the way the Windows
// private-profile functions set it, everything else kept byte for byte.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "app/run.h"

namespace brivasto {
namespace {

constexpr std::string_view kStatusFileName = "Talvenor.ini";
constexpr std::string_view kStatusSection = "Transformadores";
constexpr std::string_view kStatusKey = "Transformado";
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view TrimSpaces(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// One line of the file: [begin, end) is its text, `next` where the following
// line starts (after "\n" or "\r\n"; the file's size for a last line without one).
struct Line {
  std::size_t begin;
  std::size_t end;
  std::size_t next;
};

std::vector<Line> SplitLines(std::string_view content) {
  std::vector<Line> lines;
  std::size_t begin = 0;
  while (begin < content.size()) {
    const std::size_t feed = content.find('\n', begin);
    if (feed == std::string_view::npos) {
      lines.push_back({begin, content.size(), content.size()});
      break;
    }
    const std::size_t end = feed > begin && content[feed - 1] == '\r' ? feed - 1 : feed;
    lines.push_back({begin, end, feed + 1});
    begin = feed + 1;
  }
  return lines;
}

// The file's own line ending, taken from its first line; CRLF for a file
// without one, as Windows writes.
std::string_view LineEnding(std::string_view content) {
  const std::size_t feed = content.find('\n');
  if (feed != std::string_view::npos && (feed == 0 || content[feed - 1] != '\r')) return "\n";
  return "\r\n";
}

// The name of a section header line ("[ name ]"), or nullopt for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
  const std::string_view trimmed = TrimSpaces(line);
  if (trimmed.empty() || trimmed.front() != '[') return std::nullopt;
  const std::size_t close = trimmed.rfind(']');
  if (close == std::string_view::npos || close == 0) return std::nullopt;
  return TrimSpaces(trimmed.substr(1, close - 1));
}

// Owns a file descriptor.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int Get() const { return fd_; }
  // Closes now and tells whether every write reached the file.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Removes the temporary file unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const std::string& Path() const { return path_; }
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

// Reads, changes and replaces the file; 0, or the errno of the first failure.
int ReplaceProfileString(const std::filesystem::path& file, std::string_view section,
                         std::string_view key, std::string_view value) {
  std::error_code error;
  std::filesystem::path target = file;
  // A link stays a link: the file it names is the one rewritten.
  if (std::filesystem::is_symlink(target, error)) {
    std::filesystem::path resolved = std::filesystem::canonical(target, error);
    if (!error) target = std::move(resolved);
  }

  std::string content;
  mode_t mode = NewFileMode();
  struct stat status {};
  if (::stat(target.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) return EISDIR;
    if (!S_ISREG(status.st_mode)) return EINVAL;
    mode = status.st_mode & 07777;
    std::ifstream in(target, std::ios::binary);
    if (!in) return errno != 0 ? errno : EIO;
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return EIO;
  } else if (errno != ENOENT) {
    return errno;
  }

  const std::string updated = WithProfileString(content, section, key, value);

  const std::filesystem::path directory =
      target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
  std::string pattern = (directory / ("." + target.filename().string() + ".XXXXXX")).string();
  FileDescriptor fd(::mkstemp(pattern.data()));
  if (fd.Get() < 0) return errno;
  TemporaryFile temporary(pattern);
  if (!WriteAll(fd.Get(), updated)) return errno;
  if (::fchmod(fd.Get(), mode) != 0) return errno;
  if (::fsync(fd.Get()) != 0) return errno;
  if (!fd.Close()) return errno;
  if (::rename(temporary.Path().c_str(), target.c_str()) != 0) return errno;
  temporary.Keep();
  return 0;
}

// Why the status file could not be written, in the user's words.
std::string StatusWriteReason(int error) {
  switch (error) {
    case ENOENT:
      return "no existe la carpeta";
    case ENOTDIR:
      return "una parte de la ruta no es una carpeta";
    case EACCES:
    case EPERM:
      return "no hay permiso para escribir en la carpeta o en el archivo";
    case EROFS:
      return "el sistema de archivos es de solo lectura";
    case ENOSPC:
      return "el disco está lleno";
    case EDQUOT:
      return "se ha agotado la cuota de disco";
    case EISDIR:
      return "es una carpeta";
    case EINVAL:
      return "no es un archivo normal";
    case EIO:
      return "error de entrada/salida del disco";
    default:
      return "error del sistema " + std::to_string(error);
  }
}

}  // namespace

std::string WithProfileString(std::string_view content, std::string_view section,
                              std::string_view key, std::string_view value) {
  const std::string_view newline = LineEnding(content);
  const std::vector<Line> lines = SplitLines(content);
  const std::size_t bomSize = content.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;

  bool inSection = false;
  const Line* lastEntry = nullptr;  // header or last non-blank line of the section
  for (const Line& line : lines) {
    const std::size_t begin = &line == &lines.front() ? bomSize : line.begin;
    const std::string_view text = content.substr(begin, line.end - begin);
    if (const std::optional<std::string_view> name = SectionName(text)) {
      if (inSection) break;  // only the first section of that name counts
      inSection = EqualAsciiIgnoringCase(*name, section);
      if (inSection) lastEntry = &line;
      continue;
    }
    if (!inSection || TrimSpaces(text).empty()) continue;
    lastEntry = &line;
    const std::size_t equals = text.find('=');
    const std::string_view name = TrimSpaces(text.substr(0, equals));
    if (!EqualAsciiIgnoringCase(name, key)) continue;
    // The key's line keeps everything up to its "=", the value is replaced.
    std::string updated(content.substr(0, line.end));
    if (equals == std::string_view::npos) {
      updated += '=';
    } else {
      updated.resize(begin + equals + 1);
    }
    updated += value;
    updated += content.substr(line.end);
    return updated;
  }

  const std::string entry = std::string(key) + "=" + std::string(value) + std::string(newline);
  if (lastEntry != nullptr) {
    // A new key goes right after the section's last entry, before any blank
    // lines that separate it from the next section.
    std::string updated(content.substr(0, lastEntry->next));
    if (lastEntry->next == lastEntry->end) updated += newline;  // last line had no ending
    updated += entry;
    updated += content.substr(lastEntry->next);
    return updated;
  }

  std::string updated(content);
  if (!updated.empty() && updated.back() != '\n') updated += newline;
  updated += "[" + std::string(section) + "]" + std::string(newline) + entry;
  return updated;
}

StatusFileError::StatusFileError(const std::filesystem::path& file, std::string reason)
    : TransferError("Unable to write to " + file.string()), reason_(std::move(reason)) {}

void WriteProfileString(const std::filesystem::path& file, std::string_view section,
                        std::string_view key, std::string_view value) {
  if (const int error = ReplaceProfileString(file, section, key, value); error != 0) {
    throw StatusFileError(file, StatusWriteReason(error));
  }
}

void WriteTransferStatus(const std::filesystem::path& statusFile, std::int32_t status) {
  WriteProfileString(statusFile, kStatusSection, kStatusKey, std::to_string(status));
}

std::filesystem::path StatusFilePath(const std::filesystem::path& programDirectory) {
  return programDirectory / kStatusFileName;
}

std::filesystem::path StatusFileFor(const std::filesystem::path& programDirectory) {
  const char* named = std::getenv("BRIVASTO_STATUS_FILE");
  if (named != nullptr && *named != '\0') return named;
  return StatusFilePath(programDirectory);
}

}  // namespace brivasto
