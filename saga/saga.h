// saga/saga.h: the SAGA document. Loads a SAGA XML file (libxml2, no network,
// no external entities, no DTD loading; text nodes holding only white space
// are dropped), gives access to its nodes by simple paths, reads its
// catalogue sections with every value trimmed of blanks, and saves it back in
// the encoding it came in (characters that encoding cannot hold are written as
// numeric character references), replacing the file atomically and keeping
// its permissions, or saves its bytes with a new section in place of the
// root's old ones. A load may keep less than the whole tree (LoadScope). A
// file that is not well-formed throws TransferError with the file, line and
// column; finding nothing is never an error.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "files/files.h"
#include "text/text.h"

namespace brivasto {

// A node of a SagaDocument; it does not own the node and lives only as long
// as its document. A default-constructed node is "no node".
class XmlNode {
 public:
  XmlNode() = default;
  explicit operator bool() const { return node_ != nullptr; }

  // Elements reached by a path of child steps by element name, relative to
  // this node ("assigned-subjects/assigned-subject"), in document order.
  std::vector<XmlNode> SelectNodes(std::string_view path) const;
  // The first of SelectNodes(path), or no node.
  XmlNode SelectSingleNode(std::string_view path) const;

  std::string Name() const;  // element name, UTF-8
  // The attribute's value as stored (not trimmed), or nullopt when absent.
  std::optional<std::u16string> Attribute(std::string_view name) const;
  std::size_t AttributeCount() const;
  // All child nodes in order, text nodes included.
  std::vector<XmlNode> ChildNodes() const;
  XmlNode FirstChild() const;
  // An attribute's value; a text node's characters; for an element, all the
  // text it contains, in document order.
  std::u16string Text() const;

  // Takes the child out of the tree and frees it; throws TransferError when
  // it is not a child of this node.
  void RemoveChild(XmlNode child);

  // The same node of the same document.
  bool operator==(const XmlNode&) const = default;

 private:
  friend class SagaDocument;
  friend struct XmlNodeAccess;  // the document library's own code
  explicit XmlNode(void* node) : node_(node) {}
  void* node_ = nullptr;  // xmlNode*, owned by the document
};

// How much of a document a load keeps. Every scope reads the whole file and
// refuses it the same way when it is not well-formed.
enum class LoadScope {
  kWholeTree,          // the whole element tree
  kCatalogueSections,  // the root element alone; the four catalogue sections
                       // are read element by element as the file streams past
  kRootElement,        // the root element alone, and the file's bytes
};

struct SagaSubject;
struct SagaNamedItem;
struct SagaGroup;
struct CatalogueSections;

class SagaDocument {
 public:
  // Parses the whole file. Throws TransferError for a missing or unreadable
  // file, or one that is not well-formed XML (an empty file included), naming
  // the file, line and column; also for a document whose internal entity
  // references would expand to far more text than the file holds.
  static SagaDocument Load(const std::filesystem::path& file,
                           LoadScope scope = LoadScope::kWholeTree);
  SagaDocument(SagaDocument&&) noexcept;
  SagaDocument& operator=(SagaDocument&&) noexcept;
  ~SagaDocument();

  XmlNode Root() const;
  // A path that starts with "/" is taken from the document ("/document/
  // groups/group"); any other from the root element.
  std::vector<XmlNode> SelectNodes(std::string_view path) const;

  // Writes the whole document to `file` in its own encoding: a temporary
  // file in the same directory, flushed to disk, then renamed over `file`
  // (the file a link names), keeping the owner, group, mode, ACL and
  // extended attributes `file` had. On failure `file` is unchanged, no
  // temporary file is left, and TransferError names the file. Saved over
  // the file it was loaded from, the document replaces only the version it
  // read: a file another program saved since stays, and TransferError says so.
  // `beforeReplace` runs once the new content is complete and on disk, just
  // before it replaces `file`; an exception from it leaves `file` unchanged.
  void Save(const std::filesystem::path& file,
            const std::function<void()>& beforeReplace = {}) const;

  // The encoding the document came in ("UTF-8", "windows-1252", ...).
  std::string Encoding() const;
  // The file the document was loaded from.
  const std::filesystem::path& File() const;
  // The file's bytes as they were loaded (kept for kWholeTree and
  // kRootElement).
  const std::string& SourceBytes() const;
  // The sections read while loading with kCatalogueSections, else null.
  const CatalogueSections* StreamedSections() const;
  // The file as it was read (device, inode, size, time of change), or as
  // this document last saved it.
  const files::FileIdentity& LoadedIdentity() const;

 private:
  friend struct SagaDocumentAccess;  // the document library's own code
  friend struct SagaDocumentSave;    // the saves of saga/
  struct Impl;
  explicit SagaDocument(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------
// The catalogue sections, as the export reads them. Every text is trimmed of
// blanks (U+0020) at both ends. nullopt means the attribute (or the first
// child node) is absent; an empty text means it is there but empty.
// `position` is the element's 1-based position within its selection.

struct SagaSubject {
  std::size_t position = 0;
  std::optional<std::u16string> id;
  std::optional<std::u16string> name;
  std::size_t attributeCount = 0;
  // Read only when the element has more than two attributes.
  std::optional<std::u16string> hours;
};

// A teacher or a location: its name is the text of its first child node.
struct SagaNamedItem {
  std::size_t position = 0;
  std::optional<std::u16string> id;
  std::optional<std::u16string> name;  // nullopt: the element has no child node
};

struct SagaAssignedTeacher {
  std::size_t position = 0;
  std::optional<std::u16string> id;
};

struct SagaAssignedSubject {
  std::size_t position = 0;
  std::optional<std::u16string> id;
  std::vector<SagaAssignedTeacher> teachers;  // "assigned-teachers/assigned-teacher"
};

struct SagaGroup {
  std::size_t position = 0;
  std::optional<std::u16string> id;
  std::optional<std::u16string> regim;
  std::optional<std::u16string> name;
  std::optional<std::u16string> description;  // text of the first child node
  std::vector<SagaAssignedSubject> subjects;  // "assigned-subjects/assigned-subject"
};

struct CatalogueSections {
  std::vector<SagaSubject> subjects;
  std::vector<SagaNamedItem> teachers;
  std::vector<SagaNamedItem> locations;
  std::vector<SagaGroup> groups;
};

// "/document/subjects/subject", "/document/teachers/teacher",
// "/document/locations/location", "/document/groups/group", in document order.
std::vector<SagaSubject> ReadSubjects(const SagaDocument& document);
std::vector<SagaNamedItem> ReadTeachers(const SagaDocument& document);
std::vector<SagaNamedItem> ReadLocations(const SagaDocument& document);
std::vector<SagaGroup> ReadGroups(const SagaDocument& document);

// All four: those read while `document` loaded (kCatalogueSections), else
// read from its tree into `storage`.
const CatalogueSections& ReadCatalogueSections(const SagaDocument& document,
                                               CatalogueSections& storage);

// ---------------------------------------------------------------------------
// A new section written as text, element by element, without building it in
// memory: two blanks of indentation per level from `level` on, one element
// per line, an element without children closed as <name .../>. Attribute
// values are escaped as XML requires (also tab, line feed and carriage
// return, so that they read back unchanged).
class XmlSectionWriter {
 public:
  // Receives the text in pieces as it is written, in UTF-8, each piece
  // whole characters.
  using Output = std::function<void(std::string_view)>;
  // `indent` false writes everything on one line, without indentation.
  XmlSectionWriter(Output output, int level, bool indent, std::u16string newline);

  // A new element inside the innermost open one (or at the top).
  void Open(std::string_view name);
  // An attribute of the element just opened, before any child of it. Throws
  // TransferError for a character XML cannot carry; a lone surrogate is
  // written as U+FFFD.
  void Attribute(std::string_view name, std::u16string_view value);
  // Ends the innermost open element.
  void Close();
  // Hands over what is still held; every element must be closed.
  void Finish();

 private:
  void Flush();
  Output output_;
  int level_;
  bool indent_;
  std::string newline_;
  std::string buffer_;  // UTF-8
  std::vector<std::string> open_;
  bool startTagPending_ = false;
};

// Saves `document`'s file bytes over `file` with every element named
// `sectionName` that is a child of the root taken out and a new one, written
// by `writeSection`, put last in the root. Everything else stays byte for
// byte, in the document's encoding (characters it cannot hold become
// numeric character references); the new section follows the file's line
// ends. `beforeReplace` runs once the new content is complete and on disk,
// just before it replaces `file`. The replacement is atomic as for Save; an
// exception from `writeSection` or `beforeReplace` leaves `file` unchanged.
// `document` must have been loaded with its bytes (kWholeTree or
// kRootElement).
void SaveWithNewRootSection(const SagaDocument& document, const std::filesystem::path& file,
                            std::string_view sectionName,
                            const std::function<void(XmlSectionWriter&)>& writeSection,
                            const std::function<void()>& beforeReplace);

}  // namespace brivasto
