// The status file: one key of an INI file set the way the Windows
// private-profile functions set it, everything else kept byte for byte.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "app/run.h"
#include "files/files.h"

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

// Reads, changes and replaces the file. Empty, or why it could not, in
// Spanish.
std::string ReplaceProfileString(const std::filesystem::path& file, std::string_view section,
                                 std::string_view key, std::string_view value) {
  try {
    // A link stays a link: the file it names is the one rewritten.
    const std::filesystem::path target = files::FollowLinks(file);
    std::string content;
    struct stat status {};
    if (::stat(target.c_str(), &status) == 0) {
      if (S_ISDIR(status.st_mode)) return files::ErrnoText(EISDIR);
      if (!S_ISREG(status.st_mode)) return "no es un archivo normal";
      std::ifstream in(target, std::ios::binary);
      if (!in) return files::ErrnoText(errno != 0 ? errno : EIO);
      content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (in.bad()) return files::ErrnoText(EIO);
    } else if (errno != ENOENT) {
      return files::ErrnoText(errno);
    }
    files::TemporaryFile temporary = files::TemporaryFile::Beside(target, {files::PathText(file)});
    temporary.Write(WithProfileString(content, section, key, value));
    temporary.Finish();
    temporary.Replace();
    return {};
  } catch (const TransferError& error) {
    return error.what();
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
  if (std::string reason = ReplaceProfileString(file, section, key, value); !reason.empty()) {
    throw StatusFileError(file, std::move(reason));
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
