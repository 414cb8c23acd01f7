// The SAGA document over libxml2: loading without network, DTD or external
// entities, node access by child-step paths, and the atomic save in the
// document's own encoding.
#include <fcntl.h>
#include <libxml/SAX2.h>
#include <libxml/entities.h>
#include <libxml/hash.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>
#include <libxml/xmlsave.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "files/files.h"
#include "saga/elements.h"
#include "saga/saga.h"
#include "saga/save_file.h"
#include "saga/xml_text.h"

namespace brivasto {
namespace fs = std::filesystem;

// The document library's own way to a node of a tree it made.
struct XmlNodeAccess {
  static XmlNode Of(xmlNode* node) { return XmlNode(node); }
};

using files::ErrnoText;

namespace {

// --- Owners of libxml2 and system handles ----------------------------------

struct XmlDocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocFree>;

struct XmlParserCtxtFree {
  void operator()(xmlParserCtxt* context) const { xmlFreeParserCtxt(context); }
};
using XmlParserCtxtPtr = std::unique_ptr<xmlParserCtxt, XmlParserCtxtFree>;

struct XmlCharFree {
  void operator()(xmlChar* text) const { xmlFree(text); }
};
using XmlCharPtr = std::unique_ptr<xmlChar, XmlCharFree>;

// Closing a save context flushes it; Close() reports that result, the
// destructor only cleans up after an earlier failure.
class XmlSaveContext {
 public:
  explicit XmlSaveContext(xmlSaveCtxt* context) : context_(context) {}
  XmlSaveContext(const XmlSaveContext&) = delete;
  XmlSaveContext& operator=(const XmlSaveContext&) = delete;
  ~XmlSaveContext() {
    if (context_ != nullptr) xmlSaveClose(context_);
  }
  xmlSaveCtxt* get() const { return context_; }
  int Close() { return xmlSaveClose(std::exchange(context_, nullptr)); }

 private:
  xmlSaveCtxt* context_;
};

// --- Messages ----------------------------------------------------------------

std::string TrimmedMessage(const char* message) {
  if (message == nullptr) return "error desconocido";
  std::string text(message);
  const auto notBlank = [](char c) { return c != ' ' && c != '\n' && c != '\r' && c != '\t'; };
  while (!text.empty() && !notBlank(text.back())) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && !notBlank(text[start])) ++start;
  return text.substr(start);
}

[[noreturn]] void ThrowSaveError(const fs::path& file, const std::string& reason) {
  throw TransferError("No se puede guardar el archivo " + file.string() + ": " + reason);
}

// --- Error capture -------------------------------------------------------------

// The first error libxml2 reports, with its place in the file.
struct CapturedErrors {
  bool haveFatal = false;
  bool haveError = false;
  int line = 0;
  int column = 0;
  // False when the place is inside an entity's replacement text, which
  // libxml2 parses on its own and counts from line 1.
  bool placeInFile = false;
  int code = 0;
  std::string message;

  void Take(const xmlError* error) {
    if (error == nullptr || error->level < XML_ERR_ERROR) return;
    const bool fatal = error->level == XML_ERR_FATAL;
    if (haveFatal || (haveError && !fatal)) return;
    haveFatal = fatal;
    haveError = true;
    placeInFile = error->file != nullptr;
    line = error->line;
    column = error->int2;  // libxml2 keeps the column of parser errors here
    code = error->code;
    message = TrimmedMessage(error->message);
  }
};

void OnLibraryError(void* capture, xmlErrorPtr error) {
  static_cast<CapturedErrors*>(capture)->Take(error);
}

void IgnoreGenericError(void*, const char*, ...) {}

// While alive, the errors libxml2 raises outside a parser context on this
// thread (input/output, encoding, serialisation) go to `capture` instead of
// stderr; the previous handlers come back afterwards.
class LibraryErrorsCaptured {
 public:
  explicit LibraryErrorsCaptured(CapturedErrors& capture)
      : structured_(xmlStructuredError),
        structuredContext_(xmlStructuredErrorContext),
        generic_(xmlGenericError),
        genericContext_(xmlGenericErrorContext) {
    xmlSetStructuredErrorFunc(&capture, OnLibraryError);
    xmlSetGenericErrorFunc(nullptr, IgnoreGenericError);
  }
  LibraryErrorsCaptured(const LibraryErrorsCaptured&) = delete;
  LibraryErrorsCaptured& operator=(const LibraryErrorsCaptured&) = delete;
  ~LibraryErrorsCaptured() {
    xmlSetStructuredErrorFunc(structuredContext_, structured_);
    xmlSetGenericErrorFunc(genericContext_, generic_);
  }

 private:
  xmlStructuredErrorFunc structured_;
  void* structuredContext_;
  xmlGenericErrorFunc generic_;
  void* genericContext_;
};

// An external entity loader that refuses everything: a SAGA document is read
// from its own bytes only, never from files or addresses it names.
xmlParserInput* RefuseExternalEntity(const char*, const char*, xmlParserCtxt*) { return nullptr; }

// The loader is process-wide in this libxml2 version, so it is swapped only
// for the duration of a parse; documents are loaded on one thread.
class ExternalEntitiesRefused {
 public:
  ExternalEntitiesRefused() : previous_(xmlGetExternalEntityLoader()) {
    xmlSetExternalEntityLoader(RefuseExternalEntity);
  }
  ExternalEntitiesRefused(const ExternalEntitiesRefused&) = delete;
  ExternalEntitiesRefused& operator=(const ExternalEntitiesRefused&) = delete;
  ~ExternalEntitiesRefused() { xmlSetExternalEntityLoader(previous_); }

 private:
  xmlExternalEntityLoader previous_;
};

struct TextReaderFree {
  void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};
using TextReaderPtr = std::unique_ptr<xmlTextReader, TextReaderFree>;

// Whether a file we wrote parses again as well-formed XML. It is read as a
// stream, node by node, so the check needs no second tree of the document.
bool ParsesAgain(const std::string& file) {
  CapturedErrors errors;
  const LibraryErrorsCaptured quiet(errors);
  const ExternalEntitiesRefused refused;
  TextReaderPtr reader(xmlReaderForFile(file.c_str(), nullptr, XML_PARSE_NONET));
  if (reader == nullptr) return false;
  xmlTextReaderSetStructuredErrorHandler(reader.get(), OnLibraryError, &errors);
  int status = 1;
  while (status == 1) status = xmlTextReaderRead(reader.get());
  return status == 0 && !errors.haveError && !errors.haveFatal;
}

// --- Reading -------------------------------------------------------------------

struct FileReader {
  int fd = -1;
  int error = 0;
};

int ReadChunk(void* context, char* buffer, int length) {
  auto* reader = static_cast<FileReader*>(context);
  for (;;) {
    const ssize_t got = ::read(reader->fd, buffer, static_cast<std::size_t>(length));
    if (got >= 0) return static_cast<int>(got);
    if (errno == EINTR) continue;
    reader->error = errno;
    return -1;
  }
}

int CloseNothing(void*) { return 0; }

// What the first bytes say: a byte order mark and whether an XML declaration
// opens the document (libxml2 does not record the latter).
struct Prologue {
  bool utf8Mark = false;
  bool utf16Mark = false;
  bool bigEndian = false;  // of a UTF-16 mark
  bool hasDeclaration = false;
  std::string declaredEncoding;  // as the declaration spells it; empty: none
};

// The bytes a load reads ahead for the prologue: a byte order mark and an
// XML declaration with any encoding name fit.
constexpr std::size_t kPrologueBytes = 512;

// The value of `encoding` in the declaration `text` ("<?xml ... ?>" in
// ASCII, possibly cut short); empty when it has none.
std::string DeclaredEncoding(std::string_view text) {
  const std::size_t end = text.find("?>");
  if (end != std::string_view::npos) text = text.substr(0, end);
  const std::size_t key = text.find("encoding");
  if (key == std::string_view::npos) return {};
  std::size_t at = key + 8;
  const auto skipBlanks = [&] {
    while (at < text.size() &&
           (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n')) {
      ++at;
    }
  };
  skipBlanks();
  if (at >= text.size() || text[at] != '=') return {};
  ++at;
  skipBlanks();
  if (at >= text.size() || (text[at] != '"' && text[at] != '\'')) return {};
  const char quote = text[at];
  const std::size_t close = text.find(quote, at + 1);
  if (close == std::string_view::npos) return {};
  return std::string(text.substr(at + 1, close - at - 1));
}

Prologue ReadPrologue(const unsigned char* bytes, std::size_t size) {
  Prologue prologue;
  std::size_t at = 0;
  int step = 1;       // bytes per character
  int lowOffset = 0;  // where the ASCII byte sits within a character
  if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    prologue.utf8Mark = true;
    at = 3;
  } else if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    prologue.utf16Mark = true;
    at = 2;
    step = 2;
  } else if (size >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
    prologue.utf16Mark = true;
    prologue.bigEndian = true;
    at = 2;
    step = 2;
    lowOffset = 1;
  } else if (size >= 2 && bytes[0] == '<' && bytes[1] == 0) {
    step = 2;
  } else if (size >= 2 && bytes[0] == 0 && bytes[1] == '<') {
    step = 2;
    lowOffset = 1;
  }
  static constexpr char kDeclaration[] = "<?xml";
  const std::size_t needed = 6;  // "<?xml" and one white-space character
  if (size < at + needed * static_cast<std::size_t>(step)) return prologue;
  for (std::size_t i = 0; i < needed; ++i) {
    const std::size_t base = at + i * static_cast<std::size_t>(step);
    const unsigned char c = bytes[base + static_cast<std::size_t>(lowOffset)];
    if (step == 2 && bytes[base + static_cast<std::size_t>(1 - lowOffset)] != 0) return prologue;
    if (i < 5 ? c != static_cast<unsigned char>(kDeclaration[i])
              : !(c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
      return prologue;
    }
  }
  prologue.hasDeclaration = true;
  // The declaration in ASCII, as far as the bytes read ahead go.
  std::string declaration;
  for (std::size_t base = at; base + static_cast<std::size_t>(step) <= size;
       base += static_cast<std::size_t>(step)) {
    const unsigned char c = bytes[base + static_cast<std::size_t>(lowOffset)];
    if (step == 2 && bytes[base + static_cast<std::size_t>(1 - lowOffset)] != 0) break;
    if (c == 0 || c >= 0x80) break;
    declaration.push_back(static_cast<char>(c));
    if (declaration.ends_with("?>")) break;
  }
  prologue.declaredEncoding = DeclaredEncoding(declaration);
  return prologue;
}

// Whether the encoding a declaration names agrees with the byte order mark.
// With a mark, the XML specification makes a contradicting declaration an
// error; libxml2 would follow the declaration and misread every character
// beyond ASCII.
bool DeclarationAgreesWithMark(const Prologue& prologue) {
  if (prologue.declaredEncoding.empty()) return true;
  std::string name = prologue.declaredEncoding;
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (prologue.utf8Mark) return name == "UTF-8" || name == "UTF8";
  if (prologue.utf16Mark) {
    return name == "UTF-16" || name == "UTF16" || name == "ISO-10646-UCS-2" || name == "UCS-2" ||
           name == (prologue.bigEndian ? "UTF-16BE" : "UTF-16LE");
  }
  return true;
}

bool IsWhiteSpaceOnly(const xmlChar* text) {
  if (text == nullptr) return true;
  for (; *text != 0; ++text) {
    if (*text != ' ' && *text != '\t' && *text != '\r' && *text != '\n') return false;
  }
  return true;
}

// The next node of a document-order walk below `top` that does not enter
// `node`; null once the walk leaves `top`.
xmlNode* NextOutside(xmlNode* node, const xmlNode* top) {
  while (node != nullptr && node != top) {
    if (node->next != nullptr) return node->next;
    node = node->parent;
  }
  return nullptr;
}

// Removes every text node that holds only white space (space, tab, CR, LF)
// from the element tree below `top` (the document or an element); CDATA
// sections and entity contents stay.
void DropBlankTextNodes(xmlNode* top) {
  xmlNode* node = top->children;
  while (node != nullptr) {
    if (node->type == XML_TEXT_NODE && IsWhiteSpaceOnly(node->content)) {
      xmlNode* const next = NextOutside(node, top);
      xmlUnlinkNode(node);
      xmlFreeNode(node);
      node = next;
    } else if (node->type == XML_ELEMENT_NODE && node->children != nullptr) {
      node = node->children;
    } else {
      node = NextOutside(node, top);
    }
  }
}

// The text that entity references stand for is never copied into the tree:
// Text() and Attribute() expand it when read. libxml2 limits what one entity
// may expand to, not how often the document refers to it, so a small file
// can refer to a large entity thousands of times. The load measures the
// whole expansion once (each entity's size computed once) and refuses a
// document whose references would add more text than this.
constexpr std::uint64_t kExpansionFloor = 8u * 1024 * 1024;
constexpr std::uint64_t kExpansionFactor = 4;

class EntityExpansion {
 public:
  EntityExpansion(const xmlDoc* doc, std::uint64_t limit) : doc_(doc), limit_(limit) {}

  // The bytes of text the references in the node list `first` and in
  // everything inside it stand for, up to just over the limit.
  std::uint64_t OfReferencesIn(const xmlNode* first) { return Walk(first, false); }

  // The same for one element: its attributes and its content.
  std::uint64_t OfReferencesInElement(const xmlNode* element) {
    std::uint64_t total = Walk(element->children, false);
    for (const xmlAttr* a = element->properties; a != nullptr; a = a->next) {
      total = Add(total, Walk(a->children, false));
    }
    return total;
  }

 private:
  std::uint64_t Add(std::uint64_t a, std::uint64_t b) const { return std::min(a + b, limit_ + 1); }

  // Text held by the node list `first` and its descendants; with
  // `countText` false, only what its entity references add.
  std::uint64_t Walk(const xmlNode* first, bool countText) {
    std::uint64_t total = 0;
    std::vector<const xmlNode*> pending{first};
    while (!pending.empty() && total <= limit_) {
      const xmlNode* node = pending.back();
      pending.pop_back();
      for (; node != nullptr && total <= limit_; node = node->next) {
        if (node->type == XML_ENTITY_REF_NODE) {
          total = Add(total, OfEntity(node));
        } else if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
          if (countText && node->content != nullptr) {
            total = Add(total, std::strlen(reinterpret_cast<const char*>(node->content)));
          }
        } else if (node->type == XML_ELEMENT_NODE) {
          if (!countText) {  // attribute values read from the document's own elements
            for (const xmlAttr* a = node->properties; a != nullptr; a = a->next) {
              pending.push_back(a->children);
            }
          }
          pending.push_back(node->children);
        }
      }
    }
    return total;
  }

  std::uint64_t OfEntity(const xmlNode* reference) {
    const xmlEntity* entity = xmlGetDocEntity(doc_, reference->name);
    if (entity == nullptr) return 0;
    if (const auto known = sizes_.find(entity); known != sizes_.end()) return known->second;
    if (!open_.insert(entity).second) return limit_ + 1;  // a loop
    const std::uint64_t size = Walk(entity->children, true);
    open_.erase(entity);
    sizes_.emplace(entity, size);
    return size;
  }

  const xmlDoc* doc_;
  std::uint64_t limit_;
  std::unordered_map<const xmlEntity*, std::uint64_t> sizes_;
  std::unordered_set<const xmlEntity*> open_;
};

bool EntityExpansionOverLimit(const xmlDoc* doc, std::uint64_t limit) {
  if (doc->intSubset == nullptr && doc->extSubset == nullptr) return false;  // no entities
  return EntityExpansion(doc, limit).OfReferencesIn(doc->children) > limit;
}

// --- Writing -------------------------------------------------------------------

struct FileWriter {
  int fd = -1;
  int error = 0;
};

int WriteChunk(void* context, const char* buffer, int length) {
  auto* writer = static_cast<FileWriter*>(context);
  writer->error =
      files::WriteAll(writer->fd, std::string_view(buffer, static_cast<std::size_t>(length)));
  return writer->error == 0 ? length : -1;
}

// --- Node helpers ------------------------------------------------------------

xmlNode* AsNode(const void* handle) { return static_cast<xmlNode*>(const_cast<void*>(handle)); }

// Whether the node's qualified name (prefix:local, or local) is `name`.
bool HasName(const xmlNode* node, std::string_view name) {
  const auto* local = reinterpret_cast<const char*>(node->name);
  if (local == nullptr) return false;
  if (node->ns != nullptr && node->ns->prefix != nullptr) {
    const std::string_view prefix(reinterpret_cast<const char*>(node->ns->prefix));
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix ||
        name[prefix.size()] != ':') {
      return false;
    }
    name.remove_prefix(prefix.size() + 1);
  }
  return name == local;
}

std::string QualifiedName(const xmlNode* node) {
  std::string name;
  if (node->ns != nullptr && node->ns->prefix != nullptr) {
    name = reinterpret_cast<const char*>(node->ns->prefix);
    name += ':';
  }
  if (node->name != nullptr) name += reinterpret_cast<const char*>(node->name);
  return name;
}

std::u16string ContentOf(const xmlNode* node) {
  XmlCharPtr content(xmlNodeGetContent(node));
  if (content == nullptr) return {};
  return FromUtf8(reinterpret_cast<const char*>(content.get()));
}

// The steps of a path, without its leading "/". An empty step ("a//b", a
// trailing "/") is not a path this module knows.
std::vector<std::string_view> PathSteps(std::string_view path) {
  std::vector<std::string_view> steps;
  std::string_view rest = path;
  if (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  for (;;) {
    const auto slash = rest.find('/');
    const std::string_view step = rest.substr(0, slash);
    if (step.empty()) {
      throw TransferError("Ruta de elementos XML no admitida: \"" + std::string(path) + "\"");
    }
    steps.push_back(step);
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return steps;
}

// All elements reached from `start` (an element or the document node) by the
// child steps, in document order. Each step visits the children of the
// previous matches once, so the walk is linear in the nodes it passes.
std::vector<xmlNode*> WalkSteps(xmlNode* start, const std::vector<std::string_view>& steps) {
  std::vector<xmlNode*> current{start};
  std::vector<xmlNode*> next;
  for (const std::string_view step : steps) {
    next.clear();
    for (xmlNode* parent : current) {
      for (xmlNode* child = parent->children; child != nullptr; child = child->next) {
        if (child->type == XML_ELEMENT_NODE && HasName(child, step)) next.push_back(child);
      }
    }
    current.swap(next);
    if (current.empty()) break;
  }
  return current;
}

// Elements made by CreateElement that have no parent yet; the document frees
// them if they are never appended. The xmlDoc's _private points here.
struct DetachedNodes {
  std::unordered_set<xmlNode*> nodes;
  DetachedNodes() = default;
  DetachedNodes(const DetachedNodes&) = delete;
  DetachedNodes& operator=(const DetachedNodes&) = delete;
  ~DetachedNodes() {
    for (xmlNode* node : nodes) xmlFreeNode(node);
  }
};

void RequireXmlName(std::string_view name, const char* what) {
  const std::string text(name);
  if (text.empty() || text.size() != std::strlen(text.c_str()) ||
      xmlValidateName(reinterpret_cast<const xmlChar*>(text.c_str()), 0) != 0) {
    throw TransferError(std::string("Nombre de ") + what + " XML no válido: \"" + text + "\"");
  }
}

}  // namespace

// --- SagaDocument ------------------------------------------------------------------

struct SagaDocument::Impl {
  XmlDocPtr doc;
  std::string encoding;
  fs::path file;  // where it was loaded from
  bool hasDeclaration = true;
  bool utf8Mark = false;                      // libxml2 writes no UTF-8 byte order mark itself
  std::string bytes;                          // the file as loaded (not for kCatalogueSections)
  std::optional<CatalogueSections> sections;  // kCatalogueSections
  files::FileIdentity identity;               // the file as read, or as last saved
  // Declared after `doc`, so its nodes go before the document they use.
  DetachedNodes detached;
};

SagaDocument::SagaDocument(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SagaDocument::SagaDocument(SagaDocument&&) noexcept = default;
SagaDocument& SagaDocument::operator=(SagaDocument&&) noexcept = default;
SagaDocument::~SagaDocument() = default;

namespace {

// Reads the rest of `fd` into `bytes`; returns 0 or the errno of a failed read.
int ReadAll(int fd, std::string& bytes, std::size_t expected) {
  bytes.clear();
  bytes.reserve(expected);
  char chunk[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return 0;
    bytes.append(chunk, static_cast<std::size_t>(got));
  }
}

[[noreturn]] void ThrowNotWellFormed(const std::string& name, const CapturedErrors& errors) {
  // libxml2 stops at a fixed depth of nested elements, which no SAGA
  // document comes near; its own words for that are not for the user.
  if (errors.code == XML_ERR_INTERNAL_ERROR && errors.message.find("depth") != std::string::npos) {
    throw TransferError("El archivo " + name + " no se admite: sus elementos se anidan en más de " +
                        std::to_string(xmlParserMaxDepth) + " niveles (línea " +
                        std::to_string(errors.line) + ", columna " + std::to_string(errors.column) +
                        ").");
  }
  throw TransferError("El archivo " + name + " no es un documento XML válido (línea " +
                      std::to_string(errors.line) + ", columna " + std::to_string(errors.column) +
                      "): " + errors.message);
}

std::uint64_t ExpansionAllowed(std::uint64_t fileSize) {
  return kExpansionFloor + kExpansionFactor * fileSize;
}

[[noreturn]] void ThrowExpansionOverLimit(const std::string& name, std::uint64_t allowed) {
  throw TransferError("El archivo " + name +
                      " no se admite: sus entidades internas se expanden a un texto de más de " +
                      std::to_string(allowed / (1024 * 1024)) + " MB");
}

// The internal general entities whose text holds an element ("e", "f"),
// sorted; empty when there are none. Such an entity puts elements into the
// tree that the file's bytes do not show where they stand, so a save that
// keeps the bytes could not find them (a second `time-tables`).
std::string EntitiesMakingElements(const xmlDoc* doc) {
  if (doc->intSubset == nullptr || doc->intSubset->entities == nullptr) return {};
  std::vector<std::string> names;
  xmlHashScan(
      static_cast<xmlHashTablePtr>(doc->intSubset->entities),
      [](void* payload, void* data, const xmlChar*) {
        const auto* entity = static_cast<const xmlEntity*>(payload);
        if (entity->etype != XML_INTERNAL_GENERAL_ENTITY || entity->content == nullptr) return;
        const std::string_view text(reinterpret_cast<const char*>(entity->content));
        // Comments, CDATA sections and instructions are passed over whole.
        constexpr std::pair<std::string_view, std::string_view> kPassed[] = {
            {"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}};
        std::size_t at = text.find('<');
        while (at != std::string_view::npos) {
          const std::string_view rest = text.substr(at);
          std::size_t next = at + 1;
          bool element = true;
          for (const auto& [open, close] : kPassed) {
            if (!rest.starts_with(open)) continue;
            element = false;
            const std::size_t end = text.find(close, at + open.size());
            next = end == std::string_view::npos ? text.size() : end + close.size();
          }
          if (element) {
            static_cast<std::vector<std::string>*>(data)->push_back(
                reinterpret_cast<const char*>(entity->name));
            return;
          }
          at = text.find('<', next);
        }
      },
      &names);
  std::sort(names.begin(), names.end());
  std::string list;
  for (const std::string& entityName : names) {
    list += (list.empty() ? "" : ", ") + ("\"" + entityName + "\"");
  }
  return list;
}

// What a parse makes of the document.
enum class Shape {
  kWholeTree,
  kRootOnly,           // the root element alone
  kCatalogueSections,  // the root element; each catalogue element read and let go
};

// What a parse keeps beside libxml2's own state: the parser context's
// _private (an entity's content is parsed by a context of its own that
// shares it).
struct ParseState {
  CapturedErrors errors;
  Shape shape = Shape::kWholeTree;
  const xmlParserCtxt* document = nullptr;  // the document's own context
  int depth = 0;                            // elements open
  bool rootIsDocument = false;              // the root is SAGA's <document>
  const char* item = nullptr;               // the catalogue element of the open section
  bool inItem = false;                      // inside a catalogue element
  CatalogueSections* sections = nullptr;
  std::optional<EntityExpansion> expansion;
  std::uint64_t allowed = 0;
  std::uint64_t expanded = 0;
  std::string name;            // of the file, for messages
  std::exception_ptr failure;  // what a callback threw; the parse stops

  static ParseState& Of(void* context) {
    return *static_cast<ParseState*>(static_cast<xmlParserCtxt*>(context)->_private);
  }
};

// The parser context routes its errors here; its _private is the parse's state.
void OnParserError(void* userData, xmlErrorPtr error) {
  auto* context = static_cast<xmlParserCtxt*>(userData);
  if (context != nullptr && context->_private != nullptr) {
    static_cast<ParseState*>(context->_private)->errors.Take(error);
  }
}

// Whether an element's qualified name is `name` (no prefix).
bool Named(const xmlChar* localName, const xmlChar* prefix, const char* name) {
  return prefix == nullptr && name != nullptr &&
         std::strcmp(reinterpret_cast<const char*>(localName), name) == 0;
}

// The catalogue element of a section of the root: "subject" for "subjects".
const char* ItemOf(const xmlChar* localName, const xmlChar* prefix) {
  for (const auto& [section, item] :
       {std::pair{"subjects", "subject"}, std::pair{"teachers", "teacher"},
        std::pair{"locations", "location"}, std::pair{"groups", "group"}}) {
    if (Named(localName, prefix, section)) return item;
  }
  return nullptr;
}

// A finished catalogue element: read into its entry the way a whole load
// reads it (blank text dropped, entity expansion measured), then let go.
void TakeItem(ParseState& state, xmlNode* element) {
  DropBlankTextNodes(element);
  if (!state.expansion) state.expansion.emplace(element->doc, state.allowed);
  state.expanded += state.expansion->OfReferencesInElement(element);
  if (state.expanded > state.allowed) ThrowExpansionOverLimit(state.name, state.allowed);
  CatalogueSections& sections = *state.sections;
  const XmlNode node = XmlNodeAccess::Of(element);
  if (std::strcmp(state.item, "subject") == 0) {
    sections.subjects.push_back(elements::ReadSubject(node, sections.subjects.size() + 1));
  } else if (std::strcmp(state.item, "teacher") == 0) {
    sections.teachers.push_back(elements::ReadNamedItem(node, sections.teachers.size() + 1));
  } else if (std::strcmp(state.item, "location") == 0) {
    sections.locations.push_back(elements::ReadNamedItem(node, sections.locations.size() + 1));
  } else {
    sections.groups.push_back(elements::ReadGroup(node, sections.groups.size() + 1));
  }
  xmlUnlinkNode(element);
  xmlFreeNode(element);
}

// Parser callbacks for the streamed shapes: the tree library's own
// callbacks, called only for the nodes the shape keeps. An entity's content
// is always made whole, as a whole load makes it.
struct ShapedParse {
  static bool Keeps(void* context) {
    const ParseState& state = ParseState::Of(context);
    return context != state.document || state.inItem;
  }
  static void Start(void* context, const xmlChar* localName, const xmlChar* prefix,
                    const xmlChar* uri, int namespaceCount, const xmlChar** namespaces,
                    int attributeCount, int defaultedCount, const xmlChar** attributes) {
    ParseState& state = ParseState::Of(context);
    if (context == state.document) {
      const int depth = state.depth++;
      if (depth == 0) {
        state.rootIsDocument = Named(localName, prefix, "document");
      } else if (state.shape != Shape::kCatalogueSections) {
        return;
      } else if (depth == 1) {
        state.item = state.rootIsDocument ? ItemOf(localName, prefix) : nullptr;
        return;
      } else if (depth == 2) {
        state.inItem = Named(localName, prefix, state.item);
      }
      if (depth > 0 && !state.inItem) return;
    }
    xmlSAX2StartElementNs(context, localName, prefix, uri, namespaceCount, namespaces,
                          attributeCount, defaultedCount, attributes);
  }
  static void End(void* context, const xmlChar* localName, const xmlChar* prefix,
                  const xmlChar* uri) {
    ParseState& state = ParseState::Of(context);
    if (context != state.document) {
      xmlSAX2EndElementNs(context, localName, prefix, uri);
      return;
    }
    const int depth = --state.depth;
    if (depth > 0 && !state.inItem) return;
    xmlSAX2EndElementNs(context, localName, prefix, uri);
    if (depth != 2) return;
    state.inItem = false;
    auto* parser = static_cast<xmlParserCtxt*>(context);
    try {
      TakeItem(state, xmlDocGetRootElement(parser->myDoc)->last);
    } catch (...) {
      state.failure = std::current_exception();
      xmlStopParser(parser);
    }
  }
  static void Characters(void* context, const xmlChar* text, int length) {
    if (Keeps(context)) xmlSAX2Characters(context, text, length);
  }
  static void CdataBlock(void* context, const xmlChar* text, int length) {
    if (Keeps(context)) xmlSAX2CDataBlock(context, text, length);
  }
  static void Comment(void* context, const xmlChar* text) {
    if (Keeps(context)) xmlSAX2Comment(context, text);
  }
  static void Instruction(void* context, const xmlChar* target, const xmlChar* data) {
    if (Keeps(context)) xmlSAX2ProcessingInstruction(context, target, data);
  }
  static void Reference(void* context, const xmlChar* name) {
    if (Keeps(context)) xmlSAX2Reference(context, name);
  }
  static void Install(xmlSAXHandler& sax) {
    sax.startElementNs = Start;
    sax.endElementNs = End;
    sax.characters = Characters;
    sax.ignorableWhitespace = Characters;
    sax.cdataBlock = CdataBlock;
    sax.comment = Comment;
    sax.processingInstruction = Instruction;
    sax.reference = Reference;
  }
};

// The tree of a document, shaped by `state.shape`, parsed from `bytes` or,
// when that is null, read from `fd` as the parse goes. Throws for a
// document that is not well-formed (or has no root element), naming the
// place of the error, and for one whose catalogue elements refer to too
// much entity text.
XmlDocPtr ParseTree(const std::string& name, const std::string* bytes, int fd, ParseState& state) {
  CapturedErrors& errors = state.errors;
  FileReader reader{fd, 0};
  XmlDocPtr doc;
  {
    LibraryErrorsCaptured libraryErrors(errors);
    ExternalEntitiesRefused refused;
    XmlParserCtxtPtr context(xmlNewParserCtxt());
    if (context == nullptr) throw std::bad_alloc();
    context->_private = &state;
    state.document = context.get();
    context->sax->serror = OnParserError;
    if (state.shape != Shape::kWholeTree) ShapedParse::Install(*context->sax);
    // No entity substitution, no DTD loading or validation, no network;
    // libxml2's default limits against entity expansion stay in force.
    if (bytes == nullptr) {
      doc.reset(xmlCtxtReadIO(context.get(), ReadChunk, CloseNothing, &reader, name.c_str(),
                              nullptr, XML_PARSE_NONET));
    } else if (bytes->size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
      throw TransferError("El archivo " + name + " es demasiado grande para leerlo.");
    } else {
      doc.reset(xmlCtxtReadMemory(context.get(), bytes->data(), static_cast<int>(bytes->size()),
                                  name.c_str(), nullptr, XML_PARSE_NONET));
    }
    if (state.failure) std::rethrow_exception(state.failure);
    if (doc != nullptr && context->wellFormed == 0) doc.reset();
    if (doc == nullptr && !errors.haveError) errors.Take(&context->lastError);
    if (doc == nullptr && !errors.placeInFile && context->input != nullptr) {
      // The document's parse stopped at the reference whose text failed.
      errors.line = context->input->line;
      errors.column = context->input->col;
    }
  }
  if (reader.error != 0) {
    throw TransferError("No se puede leer el archivo " + name + ": " + ErrnoText(reader.error));
  }
  if (doc == nullptr || xmlDocGetRootElement(doc.get()) == nullptr) {
    ThrowNotWellFormed(name, errors);
  }
  return doc;
}

}  // namespace

SagaDocument SagaDocument::Load(const fs::path& file, LoadScope scope) {
  const std::string name = file.string();
  files::UniqueFd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) {
    throw TransferError("No se puede abrir el archivo " + name + ": " + ErrnoText(errno));
  }
  struct stat status {};
  if (::fstat(fd.Get(), &status) != 0) {
    throw TransferError("No se puede leer el archivo " + name + ": " + ErrnoText(errno));
  }
  if (S_ISDIR(status.st_mode)) {
    throw TransferError("No se puede abrir el archivo " + name + ": " + ErrnoText(EISDIR));
  }

  auto impl = std::make_unique<Impl>();
  impl->file = file;
  if (!files::IdentityOf(fd.Get(), impl->identity)) {
    throw TransferError("No se puede leer el archivo " + name + ": " + ErrnoText(errno));
  }
  const std::uint64_t allowed = ExpansionAllowed(static_cast<std::uint64_t>(status.st_size));

  // The sections stream from the file; the other scopes keep its bytes.
  const bool streamFromFile = scope == LoadScope::kCatalogueSections;
  unsigned char head[kPrologueBytes] = {};
  std::size_t headSize = 0;
  if (streamFromFile) {
    while (headSize < sizeof head) {
      const ssize_t got = ::read(fd.Get(), head + headSize, sizeof head - headSize);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        throw TransferError("No se puede leer el archivo " + name + ": " + ErrnoText(errno));
      }
      if (got == 0) break;
      headSize += static_cast<std::size_t>(got);
    }
    if (::lseek(fd.Get(), 0, SEEK_SET) != 0) {
      throw TransferError("No se puede leer el archivo " + name + ": " + ErrnoText(errno));
    }
  } else {
    if (const int error = ReadAll(fd.Get(), impl->bytes, static_cast<std::size_t>(status.st_size));
        error != 0) {
      throw TransferError("No se puede leer el archivo " + name + ": " + ErrnoText(error));
    }
    headSize = std::min(sizeof head, impl->bytes.size());
    std::memcpy(head, impl->bytes.data(), headSize);
  }
  const Prologue prologue = ReadPrologue(head, headSize);
  if (!DeclarationAgreesWithMark(prologue)) {
    throw TransferError("El archivo " + name + " no se admite: empieza con la marca de orden de " +
                        "bytes de " + (prologue.utf8Mark ? "UTF-8" : "UTF-16") +
                        ", pero su declaración XML dice encoding=\"" + prologue.declaredEncoding +
                        "\"; no se sabe cuál de las dos vale y no se ha cambiado nada.");
  }

  ParseState state;
  state.name = name;
  state.allowed = allowed;
  switch (scope) {
    case LoadScope::kWholeTree:
      impl->doc = ParseTree(name, &impl->bytes, -1, state);
      DropBlankTextNodes(reinterpret_cast<xmlNode*>(impl->doc.get()));
      if (EntityExpansionOverLimit(impl->doc.get(), allowed)) {
        ThrowExpansionOverLimit(name, allowed);
      }
      break;
    case LoadScope::kRootElement:
      // Only the root element is made; the rest of the file is still checked.
      state.shape = Shape::kRootOnly;
      impl->doc = ParseTree(name, &impl->bytes, -1, state);
      break;
    case LoadScope::kCatalogueSections:
      state.shape = Shape::kCatalogueSections;
      state.sections = &impl->sections.emplace();
      impl->doc = ParseTree(name, nullptr, fd.Get(), state);
      break;
  }

  if (const std::string entities = EntitiesMakingElements(impl->doc.get()); !entities.empty()) {
    throw TransferError("El archivo " + name + " no se admite: su DTD declara entidades que " +
                        "crean elementos (" + entities +
                        "); escriba los elementos en el documento mismo. No se ha cambiado nada.");
  }
  const xmlDoc* doc = impl->doc.get();
  if (doc->encoding != nullptr) {
    impl->encoding = reinterpret_cast<const char*>(doc->encoding);
  } else {
    impl->encoding = prologue.utf16Mark ? "UTF-16" : "UTF-8";
  }
  impl->hasDeclaration = prologue.hasDeclaration;
  impl->utf8Mark =
      prologue.utf8Mark && xmlParseCharEncoding(impl->encoding.c_str()) == XML_CHAR_ENCODING_UTF8;
  impl->doc->_private = &impl->detached;
  return SagaDocument(std::move(impl));
}

XmlNode SagaDocument::Root() const { return XmlNode(xmlDocGetRootElement(impl_->doc.get())); }

std::vector<XmlNode> SagaDocument::SelectNodes(std::string_view path) const {
  if (!path.empty() && path.front() == '/') {
    const auto steps = PathSteps(path);
    std::vector<XmlNode> nodes;
    for (xmlNode* node : WalkSteps(reinterpret_cast<xmlNode*>(impl_->doc.get()), steps)) {
      nodes.push_back(XmlNode(node));
    }
    return nodes;
  }
  return Root().SelectNodes(path);
}

XmlNode SagaDocument::CreateElement(std::string_view name) {
  RequireXmlName(name, "elemento");
  const std::string text(name);
  xmlNode* node = xmlNewDocNode(impl_->doc.get(), nullptr,
                                reinterpret_cast<const xmlChar*>(text.c_str()), nullptr);
  if (node == nullptr) throw std::bad_alloc();
  impl_->detached.nodes.insert(node);
  return XmlNode(node);
}

std::string SagaDocument::Encoding() const { return impl_->encoding; }

const std::string& SagaDocument::SourceBytes() const { return impl_->bytes; }

const CatalogueSections* SagaDocument::StreamedSections() const {
  return impl_->sections ? &*impl_->sections : nullptr;
}

const fs::path& SagaDocument::File() const { return impl_->file; }

const files::FileIdentity& SagaDocument::LoadedIdentity() const { return impl_->identity; }

const files::FileIdentity* SagaDocumentSave::Expected(const SagaDocument& document,
                                                      const fs::path& file) {
  std::error_code error;
  if (file == document.File() || fs::equivalent(file, document.File(), error)) {
    return &document.impl_->identity;
  }
  return nullptr;
}

void SagaDocumentSave::Saved(const SagaDocument& document, const fs::path& file,
                             const files::FileIdentity& identity) {
  if (Expected(document, file) != nullptr) document.impl_->identity = identity;
}

namespace savefile {

// Every step of a document's save is, to the user, its saving.
constexpr const char* kSave = "guardar";

void ThrowError(const fs::path& file, const std::string& reason) { ThrowSaveError(file, reason); }

files::FileIdentity ReplaceAtomically(const fs::path& file,
                                      const std::function<void(int fd)>& write,
                                      const std::string& checkedEncoding,
                                      const files::FileIdentity* expected,
                                      const std::function<void()>& beforeReplace) {
  files::TemporaryFile temporary = files::TemporaryFile::Beside(
      file, {"el archivo " + files::PathText(file), kSave, kSave, kSave});
  write(temporary.Descriptor());
  temporary.Finish();
  if (!checkedEncoding.empty() && !ParsesAgain(temporary.Path().string())) {
    ThrowSaveError(file, "el documento no se puede escribir de forma legible en su codificación " +
                             checkedEncoding);
  }
  // A version another program saved since the document was read is not
  // thrown away: not even the backup is touched for it.
  if (expected != nullptr) temporary.CheckTargetIs(*expected);
  if (beforeReplace) beforeReplace();
  temporary.Replace(expected);
  // Make the rename itself durable.
  if (files::SyncDirectory(temporary.Directory()) == EIO) ThrowSaveError(file, ErrnoText(EIO));
  return temporary.Identity();
}

}  // namespace savefile

void SagaDocument::Save(const fs::path& file, const std::function<void()>& beforeReplace) const {
  SagaDocumentSave::Save(*this, file, beforeReplace, SagaDocumentSave::Expected(*this, file));
}

files::FileIdentity SagaDocumentSave::Save(const SagaDocument& document, const fs::path& file,
                                           const std::function<void()>& beforeReplace,
                                           const files::FileIdentity* expected) {
  const SagaDocument::Impl& impl = *document.impl_;
  const auto write = [&](int fd) {
    CapturedErrors errors;
    FileWriter writer{fd, 0};
    LibraryErrorsCaptured libraryErrors(errors);
    int options = XML_SAVE_FORMAT;
    if (!impl.hasDeclaration) options |= XML_SAVE_NO_DECL;
    if (impl.utf8Mark) WriteChunk(&writer, "\xEF\xBB\xBF", 3);
    XmlSaveContext context(
        xmlSaveToIO(WriteChunk, CloseNothing, &writer, impl.encoding.c_str(), options));
    if (context.get() == nullptr) {
      ThrowSaveError(file, "codificación no admitida: " + impl.encoding);
    }
    const long saved = xmlSaveDoc(context.get(), impl.doc.get());
    const int closed = context.Close();
    if (writer.error != 0) ThrowSaveError(file, ErrnoText(writer.error));
    if (saved < 0 || closed < 0 || errors.haveError) {
      ThrowSaveError(file, errors.haveError ? errors.message : "error al escribir el documento");
    }
  };
  // Some encodings the library reads it cannot write back as XML (UTF-7
  // escapes the markup itself): the file is replaced only by a document
  // that loads again.
  const files::FileIdentity identity =
      savefile::ReplaceAtomically(file, write, impl.encoding, expected, beforeReplace);
  Saved(document, file, identity);
  return identity;
}

// --- XmlNode ---------------------------------------------------------------------

std::vector<XmlNode> XmlNode::SelectNodes(std::string_view path) const {
  std::vector<XmlNode> nodes;
  xmlNode* node = AsNode(node_);
  if (node == nullptr) return nodes;
  const auto steps = PathSteps(path);
  xmlNode* start = node;
  if (path.front() == '/') {
    if (node->doc == nullptr) return nodes;
    start = reinterpret_cast<xmlNode*>(node->doc);
  } else if (node->type != XML_ELEMENT_NODE) {
    return nodes;
  }
  for (xmlNode* match : WalkSteps(start, steps)) nodes.push_back(XmlNode(match));
  return nodes;
}

XmlNode XmlNode::SelectSingleNode(std::string_view path) const {
  const auto nodes = SelectNodes(path);
  return nodes.empty() ? XmlNode() : nodes.front();
}

std::string XmlNode::Name() const {
  const xmlNode* node = AsNode(node_);
  if (node == nullptr) return {};
  switch (node->type) {
    case XML_TEXT_NODE:
      return "#text";
    case XML_CDATA_SECTION_NODE:
      return "#cdata-section";
    case XML_COMMENT_NODE:
      return "#comment";
    default:
      return QualifiedName(node);
  }
}

std::optional<std::u16string> XmlNode::Attribute(std::string_view name) const {
  const xmlNode* node = AsNode(node_);
  if (node == nullptr || node->type != XML_ELEMENT_NODE) return std::nullopt;
  for (const xmlAttr* attribute = node->properties; attribute != nullptr;
       attribute = attribute->next) {
    if (!HasName(reinterpret_cast<const xmlNode*>(attribute), name)) continue;
    const xmlNode* value = attribute->children;
    if (value == nullptr) return std::u16string();
    if (value->next == nullptr && value->type == XML_TEXT_NODE) {
      return FromUtf8(value->content == nullptr ? ""
                                                : reinterpret_cast<const char*>(value->content));
    }
    return ContentOf(reinterpret_cast<const xmlNode*>(attribute));
  }
  return std::nullopt;
}

std::size_t XmlNode::AttributeCount() const {
  const xmlNode* node = AsNode(node_);
  if (node == nullptr || node->type != XML_ELEMENT_NODE) return 0;
  std::size_t count = 0;
  for (const xmlAttr* attribute = node->properties; attribute != nullptr;
       attribute = attribute->next) {
    ++count;
  }
  return count;
}

std::vector<XmlNode> XmlNode::ChildNodes() const {
  std::vector<XmlNode> children;
  const xmlNode* node = AsNode(node_);
  // An entity reference's children are the entity's own, shared content.
  if (node == nullptr || node->type != XML_ELEMENT_NODE) return children;
  for (xmlNode* child = node->children; child != nullptr; child = child->next) {
    children.push_back(XmlNode(child));
  }
  return children;
}

XmlNode XmlNode::FirstChild() const {
  const xmlNode* node = AsNode(node_);
  if (node == nullptr || node->type != XML_ELEMENT_NODE) return XmlNode();
  return XmlNode(node->children);
}

std::u16string XmlNode::Text() const {
  const xmlNode* node = AsNode(node_);
  if (node == nullptr) return {};
  if ((node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE)) {
    return FromUtf8(node->content == nullptr ? "" : reinterpret_cast<const char*>(node->content));
  }
  return ContentOf(node);
}

void XmlNode::SetAttribute(std::string_view name, std::u16string_view value) {
  xmlNode* node = AsNode(node_);
  if (node == nullptr || node->type != XML_ELEMENT_NODE) {
    throw TransferError("No se puede poner el atributo \"" + std::string(name) +
                        "\": el nodo no es un elemento");
  }
  RequireXmlName(name, "atributo");
  const std::string utf8 = ToUtf8(value);
  // A character XML cannot hold would make the saved file unreadable.
  for (std::size_t i = 0; i < value.size(); ++i) {
    char32_t c = value[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < value.size() && value[i + 1] >= 0xDC00 &&
        value[i + 1] <= 0xDFFF) {
      ++i;
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) continue;  // a lone surrogate becomes U+FFFD
    if (!xmltext::IsXmlChar(c)) xmltext::ThrowNotXmlChar(name, QualifiedName(node), c);
  }
  const std::string attributeName(name);
  if (xmlSetProp(node, reinterpret_cast<const xmlChar*>(attributeName.c_str()),
                 reinterpret_cast<const xmlChar*>(utf8.c_str())) == nullptr) {
    throw std::bad_alloc();
  }
}

void XmlNode::AppendChild(XmlNode child) {
  xmlNode* node = AsNode(node_);
  xmlNode* added = AsNode(child.node_);
  if (node == nullptr || added == nullptr || node->type != XML_ELEMENT_NODE ||
      added->doc != node->doc) {
    throw TransferError("No se puede añadir el nodo XML: no es un hijo posible de este elemento");
  }
  for (const xmlNode* up = node; up != nullptr; up = up->parent) {
    if (up == added) {
      throw TransferError("No se puede añadir el nodo XML dentro de sí mismo");
    }
  }
  if (added->parent != nullptr) {
    xmlUnlinkNode(added);
  } else if (node->doc != nullptr && node->doc->_private != nullptr) {
    static_cast<DetachedNodes*>(node->doc->_private)->nodes.erase(added);
  }
  // Linked by hand: xmlAddChild would merge a text node into its neighbour
  // and free it.
  added->parent = node;
  added->next = nullptr;
  added->prev = node->last;
  if (node->last != nullptr) {
    node->last->next = added;
  } else {
    node->children = added;
  }
  node->last = added;
}

void XmlNode::RemoveChild(XmlNode child) {
  xmlNode* node = AsNode(node_);
  xmlNode* removed = AsNode(child.node_);
  if (node == nullptr || removed == nullptr || removed->parent != node) {
    throw TransferError("No se puede quitar el nodo XML: no es hijo de este elemento");
  }
  xmlUnlinkNode(removed);
  xmlFreeNode(removed);
}

}  // namespace brivasto
