// Counting a table's live records without reading its records: the header,
// then the deletion flags in blocks, as a table opened with Table::Open
// counts them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "files/files.h"
#include "tables/dbf_format.h"
#include "tables/tables.h"

namespace brivasto {
namespace {

// Reads `length` bytes at `offset`; fewer only where the file ends.
std::size_t ReadAt(int fd, std::uint8_t* buffer, std::size_t length, std::size_t offset,
                   const std::string& where) {
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = ::pread(fd, buffer + got, length - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw TransferError("No se puede leer " + where + ": " + files::ErrnoText(errno));
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

}  // namespace

std::size_t LiveRecordCount(const std::filesystem::path& directory, std::string_view name) {
  const std::string tableName = AsciiUpper(name);
  const std::string fileName = tableName + ".DBF";
  const std::vector<std::filesystem::path> found =
      files::FindIgnoringAsciiCase(directory, fileName);
  if (found.empty()) {
    throw TransferError("No existe la tabla " + tableName + " (" + fileName + ") en " +
                        files::PathText(directory) + ".");
  }
  const auto exact = std::find_if(found.begin(), found.end(),
                                  [&](const auto& p) { return p.filename() == fileName; });
  const std::filesystem::path path = exact != found.end() ? *exact : found.front();
  const std::string where = "la tabla " + tableName + " (" + files::PathText(path) + ")";
  const files::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (!fd.Valid() || ::fstat(fd.Get(), &status) != 0) {
    throw TransferError("No se puede abrir " + where + ": " + files::ErrnoText(errno));
  }
  const auto size = static_cast<std::size_t>(status.st_size);

  std::vector<std::uint8_t> bytes(dbf::kHeaderSize);
  bytes.resize(ReadAt(fd.Get(), bytes.data(), bytes.size(), 0, where));
  if (bytes.size() == dbf::kHeaderSize) {
    bytes.resize(std::max<std::size_t>(dbf::ReadU16(&bytes[8]), dbf::kHeaderSize));
    bytes.resize(ReadAt(fd.Get(), bytes.data(), bytes.size(), 0, where));
  }
  const dbf::Header header =
      dbf::ParseHeader(bytes, "La tabla " + tableName + " (" + files::PathText(path) + ")");
  const std::size_t physical = (size - header.headerLength) / header.recordLength;
  const std::size_t count = std::min<std::size_t>(header.recordCount, physical);

  // Whole records, a block at a time; only their first byte counts.
  constexpr std::size_t kBlock = 1 << 20;
  const std::size_t perBlock = std::max<std::size_t>(1, kBlock / header.recordLength);
  bytes.resize(perBlock * header.recordLength);
  std::size_t live = 0;
  for (std::size_t first = 0; first < count; first += perBlock) {
    const std::size_t records = std::min(perBlock, count - first);
    const std::size_t length = records * header.recordLength;
    if (ReadAt(fd.Get(), bytes.data(), length, header.headerLength + first * header.recordLength,
               where) != length) {
      break;  // shorter than it was a moment ago
    }
    for (std::size_t k = 0; k < records; ++k) {
      const std::uint8_t flag = bytes[k * header.recordLength];
      if (flag == dbf::kFileEnd) return live;
      if (flag != dbf::kDeletedRecord) ++live;
    }
  }
  return live;
}

}  // namespace brivasto
