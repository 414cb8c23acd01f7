// tables/tables.h: the dBase table engine and the catalogue of exchange
// tables shared with Talvenor. Texts go in as UTF-16 and are stored in
// Windows 1252 by one rule (StoredText, which the export and the check use
// too); a text longer than its field is cut to the width. Tables are
// written to a temporary file beside the target and renamed
// over it when complete, so a table on disk is always either its old content
// or its new complete content; several tables can be staged first and put in
// place together as one set (TableSet). Tables are read whole when opened,
// and opened tables are held exclusively until their handle is destroyed; a
// run holds the exchange directory's run lock (ExchangeRunLock) so that runs
// never interleave. Every failure throws TransferError naming the table and
// the problem.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "text/text.h"

namespace brivasto {

// ---------------------------------------------------------------------------
// Run context: what a run needs from its surroundings, passed in explicitly
// (the run frame, app/run.h, reads them from the environment).

struct RunContext {
  // The directory holding the exchange tables.
  std::filesystem::path exchangeDirectory;
  // The user's decimal separator, for numbers kept as text (u'.' or u',').
  char16_t decimalSeparator = u'.';
};

// ---------------------------------------------------------------------------
// The catalogue of exchange tables: every table defined once, as data.

enum class FieldKind { kText, kInteger, kReal };

struct FieldDef {
  std::string_view name;
  FieldKind kind;
  int width;  // characters, for text fields; 0 for integer and real
};

struct ExchangeTable {
  std::string_view name;  // "ASIGNOMT"; its file is ASIGNOMT.DBF in any letter case
  std::span<const FieldDef> fields;
};

// Field names, shared by the tables that have them.
namespace field {
inline constexpr std::string_view kCod = "COD";
inline constexpr std::string_view kCodLargo = "CODLARGO";
inline constexpr std::string_view kNombre = "NOMBRE";
inline constexpr std::string_view kIdSaga = "IDSAGA";
inline constexpr std::string_view kHoras = "HORAS";
inline constexpr std::string_view kAbrev = "ABREV";
inline constexpr std::string_view kDepart = "DEPART";
inline constexpr std::string_view kEmail = "EMAIL";
inline constexpr std::string_view kDni = "DNI";
inline constexpr std::string_view kEdificio = "EDIFICIO";
inline constexpr std::string_view kMaxAlum = "MAXALUM";
inline constexpr std::string_view kTurno = "TURNO";
inline constexpr std::string_view kNivel = "NIVEL";
inline constexpr std::string_view kCurso = "CURSO";
inline constexpr std::string_view kGrupo = "GRUPO";
inline constexpr std::string_view kDescrip = "DESCRIP";
inline constexpr std::string_view kMarco = "MARCO";
inline constexpr std::string_view kCAsig = "CASIG";
inline constexpr std::string_view kCProf = "CPROF";
inline constexpr std::string_view kCGrup = "CGRUP";
inline constexpr std::string_view kCAula = "CAULA";
inline constexpr std::string_view kSesiones = "SESIONES";
inline constexpr std::string_view kNConex = "NCONEX";
inline constexpr std::string_view kCTarea = "CTAREA";
inline constexpr std::string_view kDiho = "DIHO";
inline constexpr std::string_view kCodDiho = "CODDIHO";
inline constexpr std::string_view kDia = "DIA";
inline constexpr std::string_view kTextoDia = "TEXTODIA";
inline constexpr std::string_view kHora = "HORA";
inline constexpr std::string_view kTextoHor = "TEXTOHOR";
inline constexpr std::string_view kHoraDesde = "HORADESDE";
inline constexpr std::string_view kHoraHasta = "HORAHASTA";
inline constexpr std::string_view kMinutos = "MINUTOS";
inline constexpr std::string_view kMarcoXml = "MARCOXML";
// SOLUC, Talvenor's timetable solution (its layout is Talvenor's).
inline constexpr std::string_view kCodGrupo = "CODGRUPO";
inline constexpr std::string_view kProf = "PROF";
inline constexpr std::string_view kAsig = "ASIG";
inline constexpr std::string_view kAula = "AULA";
}  // namespace field

// The six tables the export creates, with their fields in creation order.
extern const ExchangeTable kAsignomt;    // subjects
extern const ExchangeTable kProft;       // teachers
extern const ExchangeTable kAulat;       // rooms
extern const ExchangeTable kGrupost;     // groups
extern const ExchangeTable kAsigt;       // teaching assignments
extern const ExchangeTable kDiashorast;  // day/hour frame (created empty)
// Talvenor's solution table; never created here.
inline constexpr std::string_view kSolucName = "SOLUC";

// ---------------------------------------------------------------------------
// What a text becomes in a table.

// The text a text field of `width` characters stores for `text`, as it
// reads back: the text in Normalization Form C; Unicode's default-ignorable
// characters (invisible: U+200B, U+FEFF, U+00AD, variation selectors, tag
// characters ...) dropped; control characters U+0000 to U+001F (tab, line
// feed and carriage return among them) and U+007F as a blank; every other
// character Windows 1252 does not hold (the C1 controls, whose bytes 1252
// leaves undefined, and an unpaired surrogate included) as '?'; then the
// first `width` characters, without trailing blanks. Every character is
// then one byte of 1252, none of them 0x81, 0x8D, 0x8F, 0x90 or 0x9D.
std::u16string StoredText(std::u16string_view text, std::size_t width);

// Whether a field wide enough stores `text` exactly as it is.
bool StoredExactly(std::u16string_view text);

// What StoredText changes in a text, each character listed once, in order:
// those stored as '?' (an unpaired surrogate listed as U+FFFD), those
// dropped as invisible, and the control characters stored as blanks.
struct StoredTextChanges {
  std::u16string replaced;
  std::u16string dropped;
  std::u16string blanked;
};
StoredTextChanges ChangesInStoredText(std::u16string_view text);

// "U+200B, U+FEFF": invisible characters named for a message.
std::string CharacterNames(std::u16string_view characters);

// ---------------------------------------------------------------------------
// Writing a table.

class StagedTable;

// Builds a new table T in `directory` with the fields of `table`. Records go
// to a temporary file beside T.DBF; Commit() completes the file, removes T.DBF
// and T.MDX in any letter case and renames the new file to T.DBF; Finish()
// completes it and hands it over for a TableSet instead. Destroying a writer
// that was neither committed nor finished removes the temporary file and
// leaves the old table as it was. Fails (TransferError naming T) when another
// process holds the old T.DBF, or on any failed write.
class TableWriter {
 public:
  TableWriter(std::filesystem::path directory, const ExchangeTable& table);
  TableWriter(TableWriter&&) noexcept;
  TableWriter& operator=(TableWriter&&) noexcept;
  ~TableWriter();

  // Starts a new record with every field empty; the previous one must be
  // posted (one left unposted is posted first, so nothing set is lost).
  void Append();
  // Sets a field of the appended record; a text is stored as StoredText
  // says (never an error). A number for a text field is stored as its decimal text; a text for a
  // numeric field must hold a number written with '.'. A number that does
  // not fit its field throws (an integer field takes 32-bit integers, reals
  // rounded half to even; a real field 20 characters with 4 decimals); the
  // message names the table, the record number and the field.
  void SetText(std::string_view field, std::u16string_view value);
  void SetReal(std::string_view field, double value);
  void SetInteger(std::string_view field, std::int32_t value);
  // A field found once for a table of many records: the same as naming it
  // in each call. Throws when the table lacks the field.
  struct FieldId {
    std::size_t index;
  };
  FieldId Field(std::string_view name) const;
  void SetText(FieldId field, std::u16string_view value);
  void SetReal(FieldId field, double value);
  // Stores the appended record at the end of the table.
  void Post();
  // Completes the table on disk (see above); a record left unposted is
  // posted first. Throws on failure; until the new file is in place the old
  // table stays as it was.
  void Commit();
  // Completes the new file (a record left unposted is posted first) and
  // syncs it to disk, leaving the old table in place. Throws on failure.
  StagedTable Finish();

  std::size_t RecordCount() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A new table T complete in its temporary file beside T.DBF and synced to
// disk, not yet in place. Destroying it before PutInPlace removes the
// temporary file, and the old table stays as it was.
class StagedTable {
 public:
  StagedTable(StagedTable&&) noexcept;
  StagedTable& operator=(StagedTable&&) noexcept;
  ~StagedTable();

  // The table `table` of `directory` staged as a copy of the complete
  // table file `source` (a kept one). Throws TransferError naming the table.
  static StagedTable CopyOf(const std::filesystem::path& directory, const ExchangeTable& table,
                            const std::filesystem::path& source);

  const std::string& Name() const;              // "ASIGNOMT"
  const std::filesystem::path& File() const;    // the temporary file
  const std::filesystem::path& Target() const;  // directory/ASIGNOMT.DBF
  // The directory the new file is in: that of the file T.DBF names, a
  // symbolic link followed (the table is replaced through the link).
  const std::filesystem::path& Directory() const;

  // Renames the new file to T.DBF: one rename replaces the old table (an old
  // table under another letter case first takes that name). Throws
  // TransferError "No se puede reemplazar la tabla T (…): motivo." with the
  // old table's content still there.
  void PutInPlace();
  // After PutInPlace: removes T.DBF in other letter cases and T.MDX, which
  // the new table does not use. Throws TransferError naming the file.
  void RemoveObsoleteFiles();

 private:
  friend class TableWriter;
  struct Impl;
  explicit StagedTable(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Every file of table T (T.DBF in any letter case) in a directory, held
// exclusively from Take until destroyed, so that no other program that locks
// its tables (flock, or a POSIX write lock) takes the old table while a run
// replaces it. Other programs' flocks and record locks (fcntl, open file
// description locks) count as holds.
class TableHold {
 public:
  // Throws TransferError "La tabla T está en uso por otro programa: FILE."
  // when another program holds one of them. A missing table is no problem.
  static TableHold Take(const std::filesystem::path& directory, std::string_view name);
  TableHold(TableHold&&) noexcept;
  TableHold& operator=(TableHold&&) noexcept;
  ~TableHold();

  // Checks again, just before the table is replaced: every file of T there
  // now is held by us and by nobody else; one made since Take is held now.
  // Throws as Take.
  void Confirm();

 private:
  struct Impl;
  explicit TableHold(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// The sentence a message ends with when a run stopped before it changed any
// exchange table.
inline constexpr std::string_view kNoTableChanged =
    "No se ha cambiado ninguna tabla de intercambio.";
// `message` ("… el disco está lleno.") followed by kNoTableChanged.
inline std::string WithNoTableChanged(std::string_view message) {
  return std::string(message) + " " + std::string(kNoTableChanged);
}

// Tables of one directory replaced together. The old tables are held from
// the start; the new ones are staged one by one (TableWriter::Finish); Commit
// puts them all in place, one rename each in the order the set names them,
// and syncs the directory. A failure before Commit, or in Commit before its
// first rename, leaves every old table byte for byte as it was.
class TableSet {
 public:
  // Holds the old files of every table of `names` (TableHold::Take); a held
  // table throws as Take does, followed by kNoTableChanged.
  TableSet(std::filesystem::path directory, std::span<const std::string_view> names);
  TableSet(TableSet&&) noexcept;
  TableSet& operator=(TableSet&&) noexcept;
  ~TableSet();

  const std::filesystem::path& Directory() const;
  // Adds a staged table of the set; each is added once.
  void Add(StagedTable table);
  // The staged table T; nullptr until it is added.
  const StagedTable* Staged(std::string_view name) const;

  // Needs every table staged. Confirms the holds, renames the new tables
  // into place in the set's order, syncs the directory, then removes the
  // files the new tables make obsolete (StagedTable::RemoveObsoleteFiles).
  // Throws TransferError: before the first rename, with kNoTableChanged at
  // the end; when a rename fails after others, saying which tables are new
  // and which are still the old ones; after the last rename, saying that
  // every new table is in place.
  void Commit();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The run lock of an exchange directory: a flock on the directory itself, so
// that no file is added to it. An export takes it exclusively, an import and
// a check shared, each for its whole run: runs never interleave.
class ExchangeRunLock {
 public:
  enum class Mode { kShared, kExclusive };
  // Throws TransferError "Otra transferencia está usando el directorio de
  // intercambio DIR; no se ha cambiado nada. …" when another run holds the
  // lock in a way that excludes `mode`. A directory that cannot be opened
  // (a missing one) gives a lock that holds nothing: the run then says what
  // is wrong with the directory itself.
  static ExchangeRunLock Take(const std::filesystem::path& directory, Mode mode);
  ExchangeRunLock(ExchangeRunLock&&) noexcept;
  ExchangeRunLock& operator=(ExchangeRunLock&&) noexcept;
  ~ExchangeRunLock();

 private:
  explicit ExchangeRunLock(int fd) : fd_(fd) {}
  int fd_ = -1;  // the open directory; closing it gives the lock back
};

// The six tables the export writes, in the order it writes them.
extern const std::array<const ExchangeTable*, 6> kExportedTables;

// Puts complete table files in place of the tables of `directory` as one
// set through a TableSet, the route an export's tables take: each file of
// `files` (table, source file) is staged as a copy (StagedTable::CopyOf),
// then the set is committed in the order given. Throws as TableSet does.
struct TableFile {
  const ExchangeTable* table;
  std::filesystem::path source;
};
void ReplaceTablesWithFiles(const std::filesystem::path& directory,
                            std::span<const TableFile> files);

// Throws TransferError naming `directory` when it is missing, is not a
// directory, or cannot be written (a read-only file system, no permission),
// so that a run can find out before it changes anything.
void CheckDirectoryWritable(const std::filesystem::path& directory);

// ---------------------------------------------------------------------------
// Reading a table.

// A table opened for reading: its file found without regard to letter case,
// held exclusively while the handle lives, its live (not deleted) records
// read in file order. Reads dBase III, IV, 5 and level 7 files (fields C,
// N, F, L, D, I, +, O, @ and memo numbers), FoxBASE, FoxPro and Visual
// FoxPro files (C, N, F, L, D, I, B, Y, T, memo numbers, and null values).
// Text is decoded in the code page of the table's language driver, else of
// the .cpg file beside it, else Windows 1252; bytes that are no text in that
// code page are an error. A field that holds no value (blank N, null, a level
// 7 binary field of zero bytes) reads as empty text and as 0. A field type
// not read stops the Open naming table, field and type. Record numbers in
// messages are the 1-based positions of records in the file.
class Table {
 public:
  // Throws TransferError for a missing table, a table another process holds,
  // or a corrupt header. `decimalSeparator` is used for numbers kept as text.
  static Table Open(const std::filesystem::path& directory, std::string_view name,
                    char16_t decimalSeparator);
  // Open for a table read from its first record to its last: its records
  // are read from the file a window at a time, so that a large table takes
  // little memory (reading records out of order reads windows again).
  static Table OpenStreamed(const std::filesystem::path& directory, std::string_view name,
                            char16_t decimalSeparator);
  Table(Table&&) noexcept;
  Table& operator=(Table&&) noexcept;
  ~Table();

  const std::string& Name() const;  // the table's name, as asked for ("SOLUC")
  std::size_t RecordCount() const;  // live records
  // Empty, or a notice naming the table and the language driver (or .cpg
  // file) it declares when that code page is not known: its text is then
  // read as Windows 1252 and may hold wrong characters.
  const std::string& CodePageNotice() const;

  // The index of a field; throws TransferError naming the table and field
  // when the table lacks it.
  std::size_t FieldIndex(std::string_view field) const;
  bool HasField(std::string_view field) const;

  // `record` counts live records from 0. Text comes back without pad blanks;
  // a numeric field gives its digits as stored (trimmed). An empty numeric
  // field reads as 0. Text fields read as numbers must hold one (read with
  // the decimal separator given at Open; the empty text is no number): else
  // TransferError naming table, record number, field and text. Integers from
  // reals round half to even; values outside 32 bits throw.
  std::u16string Text(std::size_t record, std::size_t field) const;
  // The same text into `out`, replacing its content: no new allocation once
  // `out` has room, for a pass over many records.
  void ReadText(std::size_t record, std::size_t field, std::u16string& out) const;
  std::int32_t Integer(std::size_t record, std::size_t field) const;
  double Real(std::size_t record, std::size_t field) const;
  // The 1-based position in the file of the live record `record`.
  std::size_t RecordNumber(std::size_t record) const;

 private:
  struct Impl;
  explicit Table(std::unique_ptr<Impl> impl);
  static Table OpenHeld(const std::filesystem::path& directory, std::string_view name,
                        char16_t decimalSeparator, bool streamed);
  std::unique_ptr<Impl> impl_;
};

// The records a table file says it holds (its header's count, deleted
// records included); std::nullopt when the file cannot be read as a table.
std::optional<std::size_t> StoredRecordCount(const std::filesystem::path& file);

// The live records of the table `name` of `directory`, as
// Table::Open(directory, name, ...).RecordCount() counts them, read a window
// at a time (Table::OpenStreamed). Throws as Table::Open does.
std::size_t LiveRecordCount(const std::filesystem::path& directory, std::string_view name);

// ---------------------------------------------------------------------------
// The export history: the folder "historial" of the exchange directory keeps
// every export (and every restore of one), newest last, in a subfolder named
// by its local date and time ("2026-12-10_14-05-33", then "-2", "-3" ... for
// more in the same second). Each holds "escritas" (the six tables it wrote),
// "sustituidas" (the tables it replaced, as they were then) and
// "exportacion.txt" (its description, "clave=valor" lines in UTF-8). The
// tables are hard links to the exchange tables where the file system allows,
// else copies. Talvenor sees nothing else of it: the folder is the only thing
// the history adds to the exchange directory.

inline constexpr std::string_view kHistoryFolder = "historial";
inline constexpr std::string_view kWrittenTablesFolder = "escritas";
inline constexpr std::string_view kReplacedTablesFolder = "sustituidas";
// The environment variable that sets how many exports the history keeps.
inline constexpr std::string_view kKeptExportsVariable = "BRIVASTO_HISTORIAL";
inline constexpr std::size_t kDefaultKeptExports = 20;

// BRIVASTO_HISTORIAL when it is a whole number (0 keeps no history), else 20.
std::size_t KeptExportsLimit();

// What the history says of one export.
struct KeptExport {
  std::string name;      // the subfolder's name, what `restaurar` takes
  std::string date;      // "2026-12-10 14:05:33", local time
  std::string origin;    // "exportación" or "restauración de NAME"
  std::string document;  // the SAGA document's path
  std::uintmax_t documentBytes = 0;
  std::vector<std::pair<std::string, std::size_t>> records;  // table, records
  std::optional<std::uint64_t> fingerprint;                  // TablesFingerprint of what it wrote
  std::filesystem::path writtenTables;                       // the folder with the tables it wrote
  std::filesystem::path replacedTables;  // the folder with the tables it replaced
};

// A fingerprint of the contents of ASIGNOMT, PROFT, AULAT, GRUPOST and ASIGT
// in `folder` (any letter case), the header's date of last update left out:
// two exports of an unchanged document give the same. std::nullopt when one
// cannot be read.
std::optional<std::uint64_t> TablesFingerprint(const std::filesystem::path& folder);

// The kept exports of `exchangeDirectory`, newest first. Subfolders without
// a readable description are left out; no history gives an empty list.
std::vector<KeptExport> KeptExports(const std::filesystem::path& exchangeDirectory);

// What the history says of the export about to be kept.
struct ExportDescription {
  std::string origin;
  std::string document;
  std::uintmax_t documentBytes = 0;
};

// Keeps one change of the exchange tables in the history. Made before the
// tables are replaced: it links the tables in place then into a pending
// folder of the history. Record() is called once the new set is in place.
// Nothing here throws: a failure is a warning, and the pending folder of an
// unrecorded change is removed when the recorder goes.
class HistoryRecorder {
 public:
  explicit HistoryRecorder(std::filesystem::path exchangeDirectory);
  ~HistoryRecorder();
  HistoryRecorder(const HistoryRecorder&) = delete;
  HistoryRecorder& operator=(const HistoryRecorder&) = delete;

  // Links the six tables now in place, writes the description, gives the
  // entry its name and removes the oldest entries beyond KeptExportsLimit().
  // The warnings (Spanish), empty when everything was kept.
  std::vector<std::string> Record(const ExportDescription& description);

 private:
  std::filesystem::path directory_;
  std::filesystem::path pending_;  // empty when nothing is pending
  std::vector<std::string> warnings_;
  void Abandon();
};

// Puts the tables of the kept export `name` back in the exchange directory
// as one set (ReplaceTablesWithFiles), as they were when the next kept entry
// replaced them (so with the days and hours Talvenor wrote into DIASHORAST);
// for the newest entry, or a table the next one did not find, the table as
// the export wrote it. The tables it replaces go into the history as a new
// entry. Throws TransferError for an unknown name
// or a missing table in the history; gives the history's warnings.
std::vector<std::string> RestoreKeptExport(const std::filesystem::path& exchangeDirectory,
                                           std::string_view name);

}  // namespace brivasto
