// Reading a table: the file is found without regard to letter case, held
// exclusively, read whole, and its fields decoded on demand.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "tables/code_page.h"
#include "tables/dbf_format.h"
#include "tables/files.h"
#include "tables/numbers.h"
#include "tables/tables.h"

namespace brivasto {
namespace {

// The table's name without a ".DBF" ending.
std::string_view BaseName(std::string_view name) {
  constexpr std::string_view kExtension = ".DBF";
  if (name.size() > kExtension.size() &&
      EqualAsciiIgnoringCase(name.substr(name.size() - kExtension.size()), kExtension)) {
    name.remove_suffix(kExtension.size());
  }
  return name;
}

bool IsPad(std::uint8_t byte) { return byte == ' ' || byte == 0; }

}  // namespace

struct Table::Impl {
  std::string name;       // as asked for
  std::string tableName;  // without ".DBF", for messages
  std::filesystem::path path;
  files::UniqueFd hold;  // open while the handle lives: the exclusive hold
  std::vector<std::uint8_t> data;
  dbf::Header header;
  std::vector<std::uint32_t> live;  // file positions (0-based) of the live records
  std::array<char16_t, 256> characters{};
  char16_t decimalSeparator = u'.';

  const std::uint8_t* FieldBytes(std::size_t record, std::size_t field) const {
    if (record >= live.size()) {
      throw TransferError("La tabla " + tableName + " no tiene el registro " +
                          std::to_string(record + 1) + " (tiene " + std::to_string(live.size()) +
                          ").");
    }
    if (field >= header.fields.size()) {
      throw TransferError("La tabla " + tableName + " no tiene el campo número " +
                          std::to_string(field + 1) + ".");
    }
    return data.data() + header.headerLength + live[record] * header.recordLength +
           header.fields[field].offset;
  }

  std::u16string Decode(const std::uint8_t* begin, const std::uint8_t* end) const {
    std::u16string text;
    text.reserve(static_cast<std::size_t>(end - begin));
    for (const std::uint8_t* p = begin; p != end; ++p) text.push_back(characters[*p]);
    return text;
  }

  std::u16string Text(std::size_t record, std::size_t field) const;
  double Number(std::size_t record, std::size_t field) const;
  // Reads the open file whole, with its header.
  void Read();

  [[noreturn]] void Fail(const char* what, int error) const {
    throw TransferError("No se puede " + std::string(what) + " la tabla " + tableName + " (" +
                        files::PathText(path) + "): " + files::ErrnoText(error) + ".");
  }

  [[noreturn]] void NotANumber(std::size_t record, std::size_t field, const std::u16string& text,
                               const std::string& problem) const {
    throw TransferError("La tabla " + tableName + ", registro " + std::to_string(live[record] + 1) +
                        ", campo " + header.fields[field].name + ": \"" + ToUtf8(text) + "\" " +
                        problem + ".");
  }
};

std::u16string Table::Impl::Text(std::size_t record, std::size_t field) const {
  const std::uint8_t* begin = FieldBytes(record, field);
  const dbf::Field& f = header.fields[field];
  const std::uint8_t* end = begin + f.width;
  switch (f.type) {
    case 'C':
      // Only the blanks that pad the text to the width go.
      while (end != begin && IsPad(end[-1])) --end;
      return Decode(begin, end);
    case 'L':
      switch (*begin) {
        case 'T':
        case 't':
        case 'Y':
        case 'y':
          return u"T";
        case 'F':
        case 'f':
        case 'N':
        case 'n':
          return u"F";
        default:
          return u"";
      }
    case 'I':
    case '+':
      return DecimalText(dbf::DecodeLong(begin));
    case 'O':
      return numbers::ShortestText(dbf::DecodeDouble(begin));
    default:  // N, F, D, and memo block numbers: digits, blank-padded on either side
      while (begin != end && IsPad(*begin)) ++begin;
      while (end != begin && IsPad(end[-1])) --end;
      return Decode(begin, end);
  }
}

double Table::Impl::Number(std::size_t record, std::size_t field) const {
  const std::uint8_t* bytes = FieldBytes(record, field);
  const dbf::Field& f = header.fields[field];
  switch (f.type) {
    case 'I':
    case '+':
      return dbf::DecodeLong(bytes);
    case 'O': {
      // A double field can hold NaN or an infinity: no number of a table.
      const double value = dbf::DecodeDouble(bytes);
      if (!std::isfinite(value)) NotANumber(record, field, Text(record, field), "no es un número");
      return value;
    }
    case 'N':
    case 'F': {
      const std::u16string text = Text(record, field);
      if (text.empty()) return 0;  // an empty numeric field is 0
      const std::optional<double> value = numbers::Parse(text, u'.');
      if (!value) NotANumber(record, field, text, "no es un número");
      return *value;
    }
    default: {
      const std::u16string text = Text(record, field);
      const std::optional<double> value = numbers::Parse(text, decimalSeparator);
      if (!value) NotANumber(record, field, text, "no es un número");
      return *value;
    }
  }
}

Table Table::Open(const std::filesystem::path& directory, std::string_view name,
                  char16_t decimalSeparator) {
  auto impl = std::make_unique<Impl>();
  impl->name = std::string(name);
  impl->tableName = AsciiUpper(BaseName(name));
  impl->decimalSeparator = decimalSeparator;
  const std::string fileName = impl->tableName + ".DBF";
  const std::string missing = "No existe la tabla " + impl->tableName + " (" + fileName + ") en " +
                              files::PathText(directory);

  std::error_code ignored;
  if (!std::filesystem::is_directory(directory, ignored)) {
    throw TransferError(missing + ": no existe el directorio.");
  }
  const std::vector<std::filesystem::path> found = files::FindIgnoringCase(directory, fileName);
  if (found.empty()) throw TransferError(missing + ".");
  // The name in the catalogue's letter case wins over other spellings.
  const auto exact = std::find_if(found.begin(), found.end(),
                                  [&](const auto& p) { return p.filename() == fileName; });
  impl->path = exact != found.end() ? *exact : found.front();
  impl->hold = files::UniqueFd(::open(impl->path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!impl->hold.Valid()) impl->Fail("abrir", errno);
  if (!files::TryHoldExclusively(impl->hold.Get())) {
    throw TransferError("La tabla " + impl->tableName +
                        " está en uso por otro programa: " + files::PathText(impl->path) + ".");
  }
  impl->Read();
  return Table(std::move(impl));
}

Table Table::OpenStaged(const StagedTable& staged, char16_t decimalSeparator) {
  auto impl = std::make_unique<Impl>();
  impl->name = staged.Name();
  impl->tableName = staged.Name();
  impl->decimalSeparator = decimalSeparator;
  impl->path = staged.File();
  impl->hold = files::UniqueFd(::open(impl->path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!impl->hold.Valid()) impl->Fail("abrir", errno);
  impl->Read();
  impl->hold.Close();  // nothing to hold: the file is ours
  return Table(std::move(impl));
}

void Table::Impl::Read() {
  struct stat status {};
  if (::fstat(hold.Get(), &status) != 0) Fail("leer", errno);
  // The file is read in one go; its size, not the header, sets what is read.
  data.resize(static_cast<std::size_t>(status.st_size));
  std::size_t got = 0;
  while (got < data.size()) {
    const ssize_t n =
        ::pread(hold.Get(), data.data() + got, data.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("leer", errno);
    if (n == 0) break;  // shorter than it was a moment ago
    got += static_cast<std::size_t>(n);
  }
  data.resize(got);

  header = dbf::ParseHeader(data, "La tabla " + tableName + " (" + files::PathText(path) + ")");
  // Whole records only: the header's count, unless the file ends before.
  const std::size_t physical = (data.size() - header.headerLength) / header.recordLength;
  const std::size_t count = std::min<std::size_t>(header.recordCount, physical);
  live.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint8_t flag = data[header.headerLength + k * header.recordLength];
    if (flag == dbf::kFileEnd) break;
    if (flag == dbf::kDeletedRecord) continue;
    live.push_back(static_cast<std::uint32_t>(k));
  }
  characters = code_page::DecodingTable(header.codePage);
}

Table::Table(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Table::Table(Table&&) noexcept = default;
Table& Table::operator=(Table&&) noexcept = default;
Table::~Table() = default;

const std::string& Table::Name() const { return impl_->name; }
std::size_t Table::RecordCount() const { return impl_->live.size(); }

bool Table::HasField(std::string_view field) const {
  return std::any_of(impl_->header.fields.begin(), impl_->header.fields.end(),
                     [&](const dbf::Field& f) { return EqualAsciiIgnoringCase(f.name, field); });
}

std::size_t Table::FieldIndex(std::string_view field) const {
  const auto& fields = impl_->header.fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (EqualAsciiIgnoringCase(fields[i].name, field)) return i;
  }
  throw TransferError("La tabla " + impl_->tableName + " (" + files::PathText(impl_->path) +
                      ") no tiene el campo " + std::string(field) + ".");
}

std::u16string Table::Text(std::size_t record, std::size_t field) const {
  return impl_->Text(record, field);
}

double Table::Real(std::size_t record, std::size_t field) const {
  return impl_->Number(record, field);
}

std::int32_t Table::Integer(std::size_t record, std::size_t field) const {
  const double value = impl_->Number(record, field);
  const std::optional<std::int32_t> integer = numbers::RoundToInt32(value);
  if (!integer) {
    impl_->NotANumber(record, field, Text(record, field), "no cabe en un entero de 32 bits");
  }
  return *integer;
}

std::size_t Table::RecordNumber(std::size_t record) const {
  impl_->FieldBytes(record, 0);  // checks the record
  return impl_->live[record] + std::size_t{1};
}

}  // namespace brivasto
