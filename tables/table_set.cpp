// Tables replaced as one set: holds on the old tables, the commit that puts
// the staged new tables in place in order, and the exchange directory's run
// lock.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "files/files.h"
#include "tables/tables.h"

namespace brivasto {
namespace {

// "A", "A y B", "A, B y C".
std::string ListText(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " y " : ", ";
    text += names[i];
  }
  return text;
}

[[noreturn]] void InUse(const std::string& name, const std::filesystem::path& file) {
  throw TransferError("La tabla " + name +
                      " está en uso por otro programa: " + files::PathText(file) + ".");
}

}  // namespace

// ---------------------------------------------------------------------------
// TableHold

struct TableHold::Impl {
  struct Held {
    files::UniqueFd fd;
    std::filesystem::path path;
    dev_t device = 0;
    ino_t inode = 0;
  };
  std::filesystem::path directory;
  std::string name;  // "ASIGNOMT"
  std::vector<Held> held;

  // Holds the file at `path` unless it is one we hold already (then checks
  // it afresh); a file gone meanwhile is no problem.
  void Hold(const std::filesystem::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0) {
      for (Held& h : held) {
        if (h.device == status.st_dev && h.inode == status.st_ino) {
          if (!files::TryHoldExclusively(h.fd.Get())) InUse(name, path);
          return;
        }
      }
    }
    files::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) return;
    if (!files::TryHoldExclusively(fd.Get())) InUse(name, path);
    struct stat opened {};
    if (::fstat(fd.Get(), &opened) != 0) return;
    held.push_back({std::move(fd), path, opened.st_dev, opened.st_ino});
  }

  void HoldAll() {
    for (const auto& file : files::FindIgnoringAsciiCase(directory, name + ".DBF")) Hold(file);
  }
};

TableHold TableHold::Take(const std::filesystem::path& directory, std::string_view name) {
  auto impl = std::make_unique<Impl>();
  impl->directory = directory;
  impl->name = AsciiUpper(name);
  impl->HoldAll();
  return TableHold(std::move(impl));
}

TableHold::TableHold(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TableHold::TableHold(TableHold&&) noexcept = default;
TableHold& TableHold::operator=(TableHold&&) noexcept = default;
TableHold::~TableHold() = default;

void TableHold::Confirm() { impl_->HoldAll(); }

// ---------------------------------------------------------------------------
// TableSet

struct TableSet::Impl {
  std::filesystem::path directory;
  std::vector<std::string> names;                  // in commit order, upper case
  std::vector<TableHold> holds;                    // one per name
  std::vector<std::optional<StagedTable>> staged;  // one per name

  std::size_t IndexOf(std::string_view name) const {
    const std::string upper = AsciiUpper(name);
    const auto found = std::find(names.begin(), names.end(), upper);
    return static_cast<std::size_t>(found - names.begin());
  }
};

TableSet::TableSet(std::filesystem::path directory, std::span<const std::string_view> names)
    : impl_(std::make_unique<Impl>()) {
  impl_->directory = std::move(directory);
  for (const std::string_view name : names) impl_->names.push_back(AsciiUpper(name));
  impl_->staged.resize(impl_->names.size());
  try {
    for (const std::string& name : impl_->names) {
      impl_->holds.push_back(TableHold::Take(impl_->directory, name));
    }
  } catch (const TransferError& error) {
    throw TransferError(WithNoTableChanged(error.what()));
  }
}

TableSet::TableSet(TableSet&&) noexcept = default;
TableSet& TableSet::operator=(TableSet&&) noexcept = default;
TableSet::~TableSet() = default;

const std::filesystem::path& TableSet::Directory() const { return impl_->directory; }

void TableSet::Add(StagedTable table) {
  const std::size_t index = impl_->IndexOf(table.Name());
  if (index == impl_->names.size() || impl_->staged[index]) {
    throw TransferError("La tabla " + table.Name() +
                        " no es de este conjunto de tablas o ya se había añadido.");
  }
  impl_->staged[index].emplace(std::move(table));
}

const StagedTable* TableSet::Staged(std::string_view name) const {
  const std::size_t index = impl_->IndexOf(name);
  if (index == impl_->names.size() || !impl_->staged[index]) return nullptr;
  return &*impl_->staged[index];
}

void TableSet::Commit() {
  Impl& set = *impl_;
  for (std::size_t i = 0; i < set.names.size(); ++i) {
    if (!set.staged[i]) {
      throw TransferError(WithNoTableChanged("Falta la tabla nueva " + set.names[i] + "."));
    }
  }
  // Another program may have taken a table since the set was held (a
  // record lock, or a table that was not there then).
  try {
    for (TableHold& hold : set.holds) hold.Confirm();
  } catch (const TransferError& error) {
    throw TransferError(WithNoTableChanged(error.what()));
  }

  for (std::size_t i = 0; i < set.names.size(); ++i) {
    try {
      set.staged[i]->PutInPlace();
    } catch (const TransferError& error) {
      if (i == 0) throw TransferError(WithNoTableChanged(error.what()));
      const std::vector<std::string> fresh(set.names.begin(),
                                           set.names.begin() + static_cast<std::ptrdiff_t>(i));
      const std::vector<std::string> old(set.names.begin() + static_cast<std::ptrdiff_t>(i),
                                         set.names.end());
      throw TransferError(std::string(error.what()) +
                          " El cambio de tablas quedó a medias: ya son las nuevas " +
                          ListText(fresh) + "; siguen siendo las anteriores " + ListText(old) +
                          ". Repita la operación antes de abrir las tablas en Talvenor.");
    }
  }
  const std::string allInPlace =
      " Las tablas nuevas (" + ListText(set.names) + ") ya están todas en su sitio.";
  // The exchange directory, and that of any table replaced through a link.
  std::vector<std::filesystem::path> directories = {set.directory};
  for (const auto& staged : set.staged) {
    if (std::find(directories.begin(), directories.end(), staged->Directory()) ==
        directories.end()) {
      directories.push_back(staged->Directory());
    }
  }
  const auto syncDirectory = [&] {
    for (const std::filesystem::path& directory : directories) {
      if (const int error = files::SyncDirectory(directory); error != 0) {
        throw TransferError("No se puede guardar en el disco el directorio " +
                            files::PathText(directory) + ": " + files::ErrnoText(error) + "." +
                            allInPlace);
      }
    }
  };
  syncDirectory();
  try {
    for (auto& staged : set.staged) staged->RemoveObsoleteFiles();
  } catch (const TransferError& error) {
    throw TransferError(error.what() + allInPlace);
  }
  syncDirectory();
}

// ---------------------------------------------------------------------------
// ExchangeRunLock

ExchangeRunLock ExchangeRunLock::Take(const std::filesystem::path& directory, Mode mode) {
  files::UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.Valid()) return ExchangeRunLock(-1);
  const int operation = (mode == Mode::kExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  while (::flock(dir.Get(), operation) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      throw TransferError("Otra transferencia está usando el directorio de intercambio " +
                          files::PathText(directory) +
                          "; no se ha cambiado nada. Espere a que termine y vuelva a intentarlo.");
    }
    break;  // a file system without locks: nobody can hold it
  }
  return ExchangeRunLock(dir.Release());
}

ExchangeRunLock::ExchangeRunLock(ExchangeRunLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

ExchangeRunLock& ExchangeRunLock::operator=(ExchangeRunLock&& other) noexcept {
  if (this != &other) {
    const files::UniqueFd released(fd_);  // gives back the lock held so far
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

ExchangeRunLock::~ExchangeRunLock() { const files::UniqueFd released(fd_); }

}  // namespace brivasto
