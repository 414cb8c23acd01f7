// Writing a table: records stream into a temporary file beside the table,
// and Commit() puts the complete file in place of the old one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "files/files.h"
#include "tables/dbf_format.h"
#include "tables/numbers.h"
#include "tables/stored_text.h"
#include "tables/tables.h"

namespace brivasto {
namespace {

// Records are gathered in memory and written in blocks of about this size.
constexpr std::size_t kWriteBlock = 1 << 18;
// The widest text field of the 32-byte layout (dBase's own limit).
constexpr int kMaxTextWidth = 254;

// Puts the finished temporary file `file` of table `name` in place of the
// table in `directory`. The old table in any letter case must not be in
// use; the holds stay until it has been replaced. Throws TransferError
// naming the table; until the rename the old table stays as it was.
void PutTableFileInPlace(const std::filesystem::path& directory, const std::string& name,
                         files::TemporaryFile& file) {
  const std::filesystem::path target = directory / (name + ".DBF");
  const std::vector<std::filesystem::path> oldTables =
      files::FindIgnoringAsciiCase(directory, name + ".DBF");
  std::vector<files::UniqueFd> holds;
  for (const auto& old : oldTables) {
    files::UniqueFd hold(::open(old.c_str(), O_RDONLY | O_CLOEXEC));
    if (hold.Valid() && !files::TryHoldExclusively(hold.Get())) {
      throw TransferError("La tabla " + name +
                          " está en uso por otro programa: " + files::PathText(old) + ".");
    }
    holds.push_back(std::move(hold));
  }
  // An old table under another letter case first takes the catalogue's
  // name (still the old content), so that the new file replaces it in one
  // rename, also where the file system ignores letter case: until then the
  // old table stays whole. Other spellings and the index files, which the
  // new table does not use, go once it is in place.
  std::vector<std::filesystem::path> obsolete;
  bool named = std::any_of(oldTables.begin(), oldTables.end(),
                           [&](const auto& old) { return old.filename() == target.filename(); });
  for (const auto& old : oldTables) {
    if (old.filename() == target.filename()) continue;
    if (!named) {
      if (::rename(old.c_str(), target.c_str()) != 0) {
        const int error = errno;
        throw TransferError("No se puede reemplazar la tabla " + name + " (" +
                            files::PathText(target) + "): " + files::ErrnoText(error) + ".");
      }
      named = true;
      continue;
    }
    obsolete.push_back(old);
  }
  for (const auto& index : files::FindIgnoringAsciiCase(directory, name + ".MDX")) {
    obsolete.push_back(index);
  }
  file.Replace();
  for (const auto& old : obsolete) {
    if (::unlink(old.c_str()) != 0 && errno != ENOENT) {
      const int error = errno;
      throw TransferError("No se puede borrar " + files::PathText(old) + " al crear la tabla " +
                          name + ": " + files::ErrnoText(error) + ".");
    }
  }
}

}  // namespace

struct TableWriter::Impl {
  std::string name;  // "ASIGNOMT"
  std::filesystem::path directory;
  std::filesystem::path target;              // directory/ASIGNOMT.DBF
  std::optional<files::TemporaryFile> file;  // .ASIGNOMT.DBF.tmp-XXXXXX beside it
  std::vector<dbf::Field> fields;
  std::vector<FieldKind> kinds;
  std::string record;    // the appended record, not yet posted
  bool pending = false;  // a record was appended and not posted
  std::string buffer;    // posted records not yet written
  std::size_t posted = 0;
  bool finished = false;  // committed, or given up after a failure

  Impl(std::filesystem::path dir, const ExchangeTable& table);
  ~Impl() { Discard(); }

  // The temporary file is closed and removed; the writer is unusable.
  void Discard() noexcept {
    file.reset();
    finished = true;
  }

  [[noreturn]] void Fail(const std::string& what, int error) {
    Discard();
    throw TransferError("No se puede " + what + " la tabla " + name + " (" +
                        files::PathText(target) + "): " + files::ErrnoText(error) + ".");
  }
  [[noreturn]] void Misuse(const std::string& what) const {
    throw TransferError("La tabla " + name + " (" + files::PathText(target) + "): " + what + ".");
  }
  // A value the field cannot take, in the record being appended.
  [[noreturn]] void BadValue(const dbf::Field& f, const std::string& what) const {
    throw TransferError("La tabla " + name + " (" + files::PathText(target) + "), registro " +
                        std::to_string(posted + 1) + ", campo " + f.name + ": " + what + ".");
  }

  void CheckOpen() const {
    if (finished) Misuse("ya se terminó de escribir o falló antes");
  }
  std::size_t FieldIndex(std::string_view fieldName) const;
  void WriteAll(const std::string& bytes);
  void PutText(std::size_t field, std::u16string_view value);
  void PutNumber(std::size_t field, double value);
  void Post();
  void Commit();
};

TableWriter::Impl::Impl(std::filesystem::path dir, const ExchangeTable& table)
    : name(AsciiUpper(table.name)), directory(std::move(dir)) {
  target = directory / (name + ".DBF");
  std::size_t recordLength = 1;
  for (const FieldDef& def : table.fields) {
    dbf::Field field;
    field.name = AsciiUpper(def.name);
    field.offset = recordLength;
    switch (def.kind) {
      case FieldKind::kText:
        if (def.width < 1 || def.width > kMaxTextWidth) {
          Misuse("el campo " + field.name + " tiene una anchura imposible (" +
                 std::to_string(def.width) + ")");
        }
        field.type = 'C';
        field.width = static_cast<std::size_t>(def.width);
        break;
      case FieldKind::kInteger:
        field.type = 'N';
        field.width = dbf::kIntegerWidth;
        break;
      case FieldKind::kReal:
        field.type = 'N';
        field.width = dbf::kRealWidth;
        field.decimals = dbf::kRealDecimals;
        break;
    }
    if (field.name.empty() || field.name.size() > dbf::kMaxFieldNameLength) {
      Misuse("el nombre del campo \"" + field.name + "\" no cabe en una tabla dBase");
    }
    recordLength += field.width;
    fields.push_back(std::move(field));
    kinds.push_back(def.kind);
  }
  if (fields.empty()) Misuse("una tabla necesita al menos un campo");
  record.assign(recordLength, ' ');

  // A table that is a symbolic link is replaced through it, like the
  // document.
  file.emplace(files::TemporaryFile::Beside(
      target, {"la tabla " + name + " (" + files::PathText(target) + ")"}));

  const std::time_t now = std::time(nullptr);
  std::tm today{};
  ::localtime_r(&now, &today);
  const std::vector<std::uint8_t> header =
      dbf::BuildHeader(fields, today.tm_year + 1900, today.tm_mon + 1, today.tm_mday);
  buffer.assign(header.begin(), header.end());
}

std::size_t TableWriter::Impl::FieldIndex(std::string_view fieldName) const {
  // Callers name fields as the catalogue spells them: that match comes first.
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].name == fieldName) return i;
  }
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (EqualAsciiIgnoringCase(fields[i].name, fieldName)) return i;
  }
  Misuse("no tiene el campo " + std::string(fieldName));
}

void TableWriter::Impl::WriteAll(const std::string& bytes) {
  if (const int error = files::WriteAll(file->Descriptor(), bytes); error != 0) {
    Fail("escribir", error);
  }
}

void TableWriter::Impl::PutText(std::size_t field, std::u16string_view value) {
  const dbf::Field& f = fields[field];
  if (kinds[field] == FieldKind::kText) {
    record.replace(f.offset, f.width, stored_text::Bytes(value, f.width));
    return;
  }
  // A number given as text, written the way numbers are kept in numeric fields.
  if (value.find_first_not_of(u' ') == std::u16string_view::npos) {
    record.replace(f.offset, f.width, f.width, ' ');
    return;
  }
  const std::optional<double> number = numbers::Parse(value, u'.');
  if (!number) {
    BadValue(f, "es numérico y \"" + ToUtf8(value) + "\" no es un número");
  }
  PutNumber(field, *number);
}

void TableWriter::Impl::PutNumber(std::size_t field, double value) {
  const dbf::Field& f = fields[field];
  std::optional<std::string> text;
  switch (kinds[field]) {
    case FieldKind::kText:
      PutText(field, numbers::ShortestText(value));
      return;
    case FieldKind::kInteger:
      if (const auto integer = numbers::RoundToInt32(value)) {
        text = numbers::FixedText(*integer, static_cast<int>(f.width), 0);
      }
      break;
    case FieldKind::kReal:
      text = numbers::FixedText(value, static_cast<int>(f.width), f.decimals);
      break;
  }
  if (!text) {
    BadValue(f, "el valor " + ToUtf8(numbers::ShortestText(value)) + " no cabe en el campo");
  }
  record.replace(f.offset, f.width, *text);
}

void TableWriter::Impl::Post() {
  buffer += record;
  ++posted;
  pending = false;
  if (buffer.size() >= kWriteBlock) {
    WriteAll(buffer);
    buffer.clear();
  }
}

void TableWriter::Impl::Commit() {
  if (pending) Post();
  buffer.push_back(static_cast<char>(dbf::kFileEnd));
  WriteAll(buffer);
  buffer.clear();
  buffer.shrink_to_fit();

  const auto count = dbf::U32Bytes(static_cast<std::uint32_t>(posted));
  const ssize_t patched =
      ::pwrite(file->Descriptor(), count.data(), count.size(), dbf::kRecordCountOffset);
  if (patched != static_cast<ssize_t>(count.size())) Fail("escribir", patched < 0 ? errno : EIO);
  try {
    file->Finish();
  } catch (const TransferError&) {
    Discard();
    throw;
  }

  const std::filesystem::path written = file->Directory();
  try {
    PutTableFileInPlace(directory, name, *file);
  } catch (const TransferError&) {
    Discard();
    throw;
  }
  file.reset();
  finished = true;
  if (const int error = files::SyncDirectory(written); error != 0) Fail("guardar", error);
}

void CheckTableNotHeld(const std::filesystem::path& directory, std::string_view name) {
  const std::string upper = AsciiUpper(name);
  for (const auto& table : files::FindIgnoringAsciiCase(directory, upper + ".DBF")) {
    const files::UniqueFd hold(::open(table.c_str(), O_RDONLY | O_CLOEXEC));
    if (hold.Valid() && !files::TryHoldExclusively(hold.Get())) {
      throw TransferError("La tabla " + upper +
                          " está en uso por otro programa: " + files::PathText(table) + ".");
    }
  }
}

void CheckDirectoryWritable(const std::filesystem::path& directory) {
  struct stat status {};
  int error = 0;
  if (::stat(directory.c_str(), &status) != 0) {
    error = errno;
  } else if (!S_ISDIR(status.st_mode)) {
    error = ENOTDIR;
  } else if (::access(directory.c_str(), W_OK) != 0) {
    error = errno;
  }
  if (error != 0) {
    throw TransferError(
        "No se puede escribir en la carpeta " + files::PathText(directory) + ": " +
        (error == ENOTDIR ? std::string("no es una carpeta") : files::ErrnoText(error)) + ".");
  }
}

void ReplaceTablesWithFiles(const std::filesystem::path& directory,
                            std::span<const TableFile> tableFiles) {
  // Every new file is complete beside its table before any table changes.
  std::vector<std::pair<std::string, files::TemporaryFile>> staged;
  for (const TableFile& tableFile : tableFiles) {
    const std::string name = AsciiUpper(tableFile.table->name);
    const std::filesystem::path target = directory / (name + ".DBF");
    files::Wording wording;
    wording.object = "la tabla " + name + " (" + files::PathText(target) + ")";
    files::TemporaryFile file = files::TemporaryFile::Beside(target, wording);
    if (const int error = files::CopyFileTo(tableFile.source, file.Descriptor()); error != 0) {
      file.Fail(error);
    }
    file.Finish();
    staged.emplace_back(name, std::move(file));
  }
  for (auto& [name, file] : staged) PutTableFileInPlace(directory, name, file);
  if (const int error = files::SyncDirectory(directory); error != 0) {
    throw TransferError("No se pueden guardar las tablas en " + files::PathText(directory) + ": " +
                        files::ErrnoText(error) + ".");
  }
}

std::optional<std::size_t> StoredRecordCount(const std::filesystem::path& file) {
  const files::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return std::nullopt;
  std::uint8_t header[dbf::kRecordCountOffset + 4];
  if (::pread(fd.Get(), header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
    return std::nullopt;
  }
  return dbf::ReadU32(header + dbf::kRecordCountOffset);
}

TableWriter::TableWriter(std::filesystem::path directory, const ExchangeTable& table)
    : impl_(std::make_unique<Impl>(std::move(directory), table)) {}
TableWriter::TableWriter(TableWriter&&) noexcept = default;
TableWriter& TableWriter::operator=(TableWriter&&) noexcept = default;
TableWriter::~TableWriter() = default;

void TableWriter::Append() {
  impl_->CheckOpen();
  if (impl_->pending) impl_->Post();
  impl_->record.assign(impl_->record.size(), ' ');
  impl_->pending = true;
}

void TableWriter::SetText(std::string_view field, std::u16string_view value) {
  impl_->CheckOpen();
  const std::size_t index = impl_->FieldIndex(field);
  if (!impl_->pending)
    impl_->Misuse("no hay un registro nuevo para el campo " + std::string(field));
  impl_->PutText(index, value);
}

void TableWriter::SetReal(std::string_view field, double value) {
  impl_->CheckOpen();
  const std::size_t index = impl_->FieldIndex(field);
  if (!impl_->pending)
    impl_->Misuse("no hay un registro nuevo para el campo " + std::string(field));
  impl_->PutNumber(index, value);
}

void TableWriter::SetInteger(std::string_view field, std::int32_t value) {
  SetReal(field, static_cast<double>(value));
}

void TableWriter::Post() {
  impl_->CheckOpen();
  if (!impl_->pending) impl_->Misuse("no hay un registro nuevo que guardar");
  impl_->Post();
}

void TableWriter::Commit() {
  impl_->CheckOpen();
  impl_->Commit();
}

std::size_t TableWriter::RecordCount() const { return impl_->posted; }

}  // namespace brivasto
