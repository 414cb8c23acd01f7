// Writing a table: records stream into a temporary file beside the table;
// Finish() completes it as a staged table, which PutInPlace() renames over
// the old one (Commit() does both for a table replaced alone).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
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
  std::size_t FindField(std::string_view fieldName) const;
  mutable std::size_t guess = 0;  // the field FieldIndex tries first
  // Numbers written before, with their text: a column repeats few values.
  struct WrittenNumber {
    std::size_t field = SIZE_MAX;
    std::uint64_t bits = 0;
    std::string text;
  };
  std::array<WrittenNumber, 64> writtenNumbers;  // by the top 6 bits of a hash
  // The text of `value` in the numeric field, or null when it does not fit.
  const std::string* NumberText(std::size_t field, double value);
  void WriteAll(const std::string& bytes);
  void PutText(std::size_t field, std::u16string_view value);
  void PutNumber(std::size_t field, double value);
  void Post();
  StagedTable Finish();
};

// The new file of a finished table, held and owned until it is renamed into
// place (the temporary file removes itself unless it was).
struct StagedTable::Impl {
  std::string name;  // "ASIGNOMT"
  std::filesystem::path directory;
  std::filesystem::path target;                 // directory/ASIGNOMT.DBF
  std::optional<files::TemporaryFile> file;     // empty once in place
  std::filesystem::path writtenIn;              // the directory of the new file
  std::vector<std::filesystem::path> obsolete;  // found by PutInPlace

  void PutInPlace();
  void RemoveObsoleteFiles();
  [[noreturn]] void Fail(const std::string& what, int error) const;
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
  // Callers set a record's fields in the same order for every record: the
  // field after the last one named is tried first.
  if (guess < fields.size() && fields[guess].name == fieldName) return guess++;
  const std::size_t index = FindField(fieldName);
  guess = index + 1;
  return index;
}

std::size_t TableWriter::Impl::FindField(std::string_view fieldName) const {
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
    stored_text::Put(value, f.width, record.data() + f.offset);
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

const std::string* TableWriter::Impl::NumberText(std::size_t field, double value) {
  const dbf::Field& f = fields[field];
  const auto bits = std::bit_cast<std::uint64_t>(value);
  // Round values differ in their high bits only: the hash mixes them down.
  const std::uint64_t mixed = (bits ^ field) * 0x9E3779B97F4A7C15u;
  WrittenNumber& written = writtenNumbers[mixed >> 58];
  if (written.field == field && written.bits == bits) return &written.text;
  std::optional<std::string> text;
  if (kinds[field] == FieldKind::kInteger) {
    if (const auto integer = numbers::RoundToInt32(value)) {
      text = numbers::FixedText(*integer, static_cast<int>(f.width), 0);
    }
  } else {
    text = numbers::FixedText(value, static_cast<int>(f.width), f.decimals);
  }
  if (!text) return nullptr;
  written = {field, bits, std::move(*text)};
  return &written.text;
}

void TableWriter::Impl::PutNumber(std::size_t field, double value) {
  const dbf::Field& f = fields[field];
  if (kinds[field] == FieldKind::kText) {
    PutText(field, numbers::ShortestText(value));
    return;
  }
  const std::string* text = NumberText(field, value);
  if (text == nullptr) {
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

StagedTable TableWriter::Impl::Finish() {
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

  auto staged = std::make_unique<StagedTable::Impl>();
  staged->name = name;
  staged->directory = directory;
  staged->target = target;
  staged->writtenIn = file->Directory();
  staged->file = std::move(file);
  file.reset();
  finished = true;
  return StagedTable(std::move(staged));
}

void StagedTable::Impl::PutInPlace() {
  if (!file) {
    throw TransferError("La tabla " + name + " (" + files::PathText(target) +
                        ") ya está en su sitio o se descartó.");
  }
  // An old table under another letter case first takes the catalogue's
  // name (still the old content), so that the new file replaces it in one
  // rename, also where the file system ignores letter case: until then the
  // old table stays whole. Other spellings and the index files, which the
  // new table does not use, go once it is in place.
  const std::vector<std::filesystem::path> oldTables =
      files::FindIgnoringAsciiCase(directory, name + ".DBF");
  obsolete.clear();
  std::filesystem::path renamedFrom;
  bool named = std::any_of(oldTables.begin(), oldTables.end(),
                           [&](const auto& old) { return old.filename() == target.filename(); });
  for (const auto& old : oldTables) {
    if (old.filename() == target.filename()) continue;
    if (!named) {
      if (::rename(old.c_str(), target.c_str()) != 0) Fail("reemplazar", errno);
      renamedFrom = old;
      named = true;
      continue;
    }
    obsolete.push_back(old);
  }
  for (const auto& index : files::FindIgnoringAsciiCase(directory, name + ".MDX")) {
    obsolete.push_back(index);
  }
  try {
    file->Replace();
  } catch (const TransferError&) {
    // The old table goes back to its own name: nothing has changed.
    if (!renamedFrom.empty()) static_cast<void>(::rename(target.c_str(), renamedFrom.c_str()));
    throw;
  }
  file.reset();
}

void StagedTable::Impl::RemoveObsoleteFiles() {
  for (const auto& old : obsolete) {
    if (::unlink(old.c_str()) != 0 && errno != ENOENT) {
      const int error = errno;
      throw TransferError("No se puede borrar " + files::PathText(old) + " al crear la tabla " +
                          name + ": " + files::ErrnoText(error) + ".");
    }
  }
  obsolete.clear();
}

void StagedTable::Impl::Fail(const std::string& what, int error) const {
  throw TransferError("No se puede " + what + " la tabla " + name + " (" + files::PathText(target) +
                      "): " + files::ErrnoText(error) + ".");
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

StagedTable::StagedTable(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
StagedTable::StagedTable(StagedTable&&) noexcept = default;
StagedTable& StagedTable::operator=(StagedTable&&) noexcept = default;
StagedTable::~StagedTable() = default;

const std::string& StagedTable::Name() const { return impl_->name; }
const std::filesystem::path& StagedTable::File() const { return impl_->file->Path(); }
const std::filesystem::path& StagedTable::Target() const { return impl_->target; }
const std::filesystem::path& StagedTable::Directory() const { return impl_->writtenIn; }
void StagedTable::PutInPlace() { impl_->PutInPlace(); }
void StagedTable::RemoveObsoleteFiles() { impl_->RemoveObsoleteFiles(); }

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

TableWriter::FieldId TableWriter::Field(std::string_view name) const {
  return {impl_->FindField(name)};
}

void TableWriter::SetText(FieldId field, std::u16string_view value) {
  impl_->CheckOpen();
  if (!impl_->pending) {
    impl_->Misuse("no hay un registro nuevo para el campo " + impl_->fields[field.index].name);
  }
  impl_->PutText(field.index, value);
}

void TableWriter::SetReal(FieldId field, double value) {
  impl_->CheckOpen();
  if (!impl_->pending) {
    impl_->Misuse("no hay un registro nuevo para el campo " + impl_->fields[field.index].name);
  }
  impl_->PutNumber(field.index, value);
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
  StagedTable staged = impl_->Finish();
  const TableHold hold = TableHold::Take(impl_->directory, impl_->name);
  staged.PutInPlace();
  staged.RemoveObsoleteFiles();
  if (const int error = files::SyncDirectory(staged.Directory()); error != 0) {
    impl_->Fail("guardar", error);
  }
}

StagedTable StagedTable::CopyOf(const std::filesystem::path& directory, const ExchangeTable& table,
                                const std::filesystem::path& source) {
  auto staged = std::make_unique<StagedTable::Impl>();
  staged->name = AsciiUpper(table.name);
  staged->directory = directory;
  staged->target = directory / (staged->name + ".DBF");
  files::Wording wording;
  wording.object = "la tabla " + staged->name + " (" + files::PathText(staged->target) + ")";
  files::TemporaryFile file = files::TemporaryFile::Beside(staged->target, wording);
  if (const int error = files::CopyFileTo(source, file.Descriptor()); error != 0) file.Fail(error);
  file.Finish();
  staged->writtenIn = file.Directory();
  staged->file = std::move(file);
  return StagedTable(std::move(staged));
}

void ReplaceTablesWithFiles(const std::filesystem::path& directory,
                            std::span<const TableFile> tableFiles) {
  std::vector<std::string_view> names;
  for (const TableFile& tableFile : tableFiles) names.push_back(tableFile.table->name);
  TableSet set(directory, names);
  for (const TableFile& tableFile : tableFiles) {
    try {
      set.Add(StagedTable::CopyOf(directory, *tableFile.table, tableFile.source));
    } catch (const TransferError& error) {
      throw TransferError(WithNoTableChanged(error.what()));
    }
  }
  set.Commit();
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

StagedTable TableWriter::Finish() {
  impl_->CheckOpen();
  return impl_->Finish();
}

std::size_t TableWriter::RecordCount() const { return impl_->posted; }

}  // namespace brivasto
