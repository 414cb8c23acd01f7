// Loading the SAGA document over libxml2, without network, DTD or external
// entities: the whole tree, the root element alone, or the catalogue
// sections read element by element as the file streams past (the shaped
// parse).
#include <fcntl.h>
#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "files/files.h"
#include "saga/catalogue_stream.h"
#include "saga/document_impl.h"
#include "saga/elements.h"
#include "saga/entity_limit.h"
#include "saga/prologue.h"
#include "saga/saga.h"
#include "saga/xml_library.h"

namespace brivasto {
namespace fs = std::filesystem;
using namespace xmllib;
using namespace sagadoc;
using files::ErrnoText;

SagaDocument::SagaDocument(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SagaDocument::SagaDocument(SagaDocument&&) noexcept = default;
SagaDocument& SagaDocument::operator=(SagaDocument&&) noexcept = default;
SagaDocument::~SagaDocument() = default;

namespace {

// --- Reading -------------------------------------------------------------------

// The file as libxml2 reads it, in pieces of a few kilobytes: served from a
// buffer filled a quarter of a megabyte at a time, one system call each.
struct FileReader {
  int fd = -1;
  int error = 0;
  std::vector<char> buffer = std::vector<char>(1 << 18);
  std::size_t begin = 0, end = 0;  // what the buffer holds still unread
};

int ReadChunk(void* context, char* out, int length) {
  auto* reader = static_cast<FileReader*>(context);
  if (reader->begin == reader->end) {
    for (;;) {
      const ssize_t got = ::read(reader->fd, reader->buffer.data(), reader->buffer.size());
      if (got >= 0) {
        reader->begin = 0;
        reader->end = static_cast<std::size_t>(got);
        break;
      }
      if (errno == EINTR) continue;
      reader->error = errno;
      return -1;
    }
  }
  const std::size_t given =
      std::min(static_cast<std::size_t>(std::max(length, 0)), reader->end - reader->begin);
  std::memcpy(out, reader->buffer.data() + reader->begin, given);
  reader->begin += given;
  return static_cast<int>(given);
}

// The bytes of a file already read, handed to the parser a chunk at a time:
// the parser then holds a chunk, not a copy of the whole file.
struct MemoryReader {
  std::string_view bytes;
};

int ReadMemoryChunk(void* context, char* buffer, int length) {
  auto* reader = static_cast<MemoryReader*>(context);
  const std::size_t count = std::min(reader->bytes.size(), static_cast<std::size_t>(length));
  std::memcpy(buffer, reader->bytes.data(), count);
  reader->bytes.remove_prefix(count);
  return static_cast<int>(count);
}

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

// What a parse makes of the document.
enum class Shape {
  kWholeTree,
  kRootOnly,           // the root element alone
  kCatalogueSections,  // the root element; each catalogue element read from the
                       // parser's events
  kCatalogueNodes,     // the root element; each catalogue element made as nodes,
                       // read and let go
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
  std::optional<sagadoc::CatalogueStream> stream;  // kCatalogueSections
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
      } else if (state.shape == Shape::kRootOnly) {
        return;
      } else if (depth == 1) {
        state.item = state.rootIsDocument ? ItemOf(localName, prefix) : nullptr;
        return;
      } else if (depth == 2) {
        state.inItem = Named(localName, prefix, state.item);
        if (state.inItem && state.stream) {
          Streamed(context, [&] {
            state.stream->StartItem(state.item, attributes, attributeCount, defaultedCount);
          });
          return;
        }
      } else if (state.inItem && state.stream) {
        Streamed(context, [&] {
          state.stream->StartChild(localName, prefix, attributes, attributeCount, defaultedCount);
        });
        return;
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
    if (state.stream && depth >= 2) {
      Streamed(context, [&] {
        if (depth > 2) {
          state.stream->EndChild();
        } else {
          state.inItem = false;
          state.stream->EndItem();
        }
      });
      return;
    }
    xmlSAX2EndElementNs(context, localName, prefix, uri);
    if (depth != 2) return;
    state.inItem = false;
    Streamed(context, [&] {
      TakeItem(state, xmlDocGetRootElement(static_cast<xmlParserCtxt*>(context)->myDoc)->last);
    });
  }
  // Runs a step of the parse's own reading; what it throws stops the parse.
  template <typename Step>
  static void Streamed(void* context, Step&& step) {
    try {
      step();
    } catch (...) {
      ParseState::Of(context).failure = std::current_exception();
      xmlStopParser(static_cast<xmlParserCtxt*>(context));
    }
  }
  // Whether the event is inside a catalogue element read from the events.
  static bool InStreamedItem(void* context) {
    const ParseState& state = ParseState::Of(context);
    return context == state.document && state.inItem && state.stream;
  }
  // Anything but text and elements in a catalogue element read from the
  // events: the document is read again with nodes.
  static void NeedsNodes(void* context) {
    Streamed(context, [] { throw sagadoc::CatalogueStream::NeedsNodes{}; });
  }
  static void Characters(void* context, const xmlChar* text, int length) {
    if (InStreamedItem(context)) {
      ParseState::Of(context).stream->Text(text, length);
    } else if (Keeps(context)) {
      xmlSAX2Characters(context, text, length);
    }
  }
  // A CDATA section, comment, instruction or entity reference: made as the
  // tree library makes it where the shape keeps nodes.
  template <auto MakeNode, typename... Event>
  static void NodesOnly(void* context, Event... event) {
    if (InStreamedItem(context)) {
      NeedsNodes(context);
    } else if (Keeps(context)) {
      MakeNode(context, event...);
    }
  }
  static void Install(xmlSAXHandler& sax) {
    sax.startElementNs = Start;
    sax.endElementNs = End;
    sax.characters = Characters;
    sax.ignorableWhitespace = Characters;
    sax.cdataBlock = NodesOnly<xmlSAX2CDataBlock, const xmlChar*, int>;
    sax.comment = NodesOnly<xmlSAX2Comment, const xmlChar*>;
    sax.processingInstruction =
        NodesOnly<xmlSAX2ProcessingInstruction, const xmlChar*, const xmlChar*>;
    sax.reference = NodesOnly<xmlSAX2Reference, const xmlChar*>;
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
    } else if (state.shape == Shape::kRootOnly) {
      // Kept with the document: the parse reads it in chunks.
      MemoryReader memory{*bytes};
      doc.reset(xmlCtxtReadIO(context.get(), ReadMemoryChunk, CloseNothing, &memory, name.c_str(),
                              nullptr, XML_PARSE_NONET));
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

// The document `impl` names, parsed to `scope` from its bytes or, for the
// catalogue sections, from `fd` (`head` its first bytes).
SagaDocument Parse(std::unique_ptr<SagaDocumentAccess::Impl> impl, LoadScope scope,
                   std::string_view head, int fd, std::uint64_t allowed) {
  const std::string name = impl->file.string();
  const Prologue prologue = ReadPrologue(head.substr(0, std::min(head.size(), kPrologueBytes)));
  if (!DeclarationAgreesWithMark(prologue)) {
    throw TransferError("El archivo " + name + " no se admite: empieza con la marca de orden de " +
                        "bytes de " + (prologue.order.utf8Mark ? "UTF-8" : "UTF-16") +
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
      // The elements are read from the parser's events; a document whose
      // catalogue elements hold more than attributes, text and elements is
      // read again, making each element as nodes.
      state.shape = Shape::kCatalogueSections;
      state.sections = &impl->sections.emplace();
      state.stream.emplace(*state.sections);
      try {
        impl->doc = ParseTree(name, nullptr, fd, state);
      } catch (const sagadoc::CatalogueStream::NeedsNodes&) {
        if (::lseek(fd, 0, SEEK_SET) != 0) {
          throw TransferError("No se puede leer el archivo " + name + ": " + ErrnoText(errno));
        }
        ParseState again;
        again.name = name;
        again.allowed = allowed;
        again.shape = Shape::kCatalogueNodes;
        again.sections = &impl->sections.emplace();
        impl->doc = ParseTree(name, nullptr, fd, again);
      }
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
    impl->encoding = prologue.order.utf16Mark ? "UTF-16" : "UTF-8";
  }
  impl->hasDeclaration = prologue.hasDeclaration;
  impl->utf8Mark = prologue.order.utf8Mark &&
                   xmlParseCharEncoding(impl->encoding.c_str()) == XML_CHAR_ENCODING_UTF8;
  return SagaDocumentAccess::Make(std::move(impl));
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

  if (scope == LoadScope::kCatalogueSections) {
    // The sections stream from the file; its first bytes tell the prologue.
    char head[kPrologueBytes] = {};
    std::size_t headSize = 0;
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
    return Parse(std::move(impl), scope, std::string_view(head, headSize), fd.Get(), allowed);
  }
  // The other scopes keep the file's bytes.
  if (const int error = ReadAll(fd.Get(), impl->bytes, static_cast<std::size_t>(status.st_size));
      error != 0) {
    throw TransferError("No se puede leer el archivo " + name + ": " + ErrnoText(error));
  }
  const std::string_view head = impl->bytes;
  return Parse(std::move(impl), scope, head, -1, allowed);
}

SagaDocument SagaDocumentAccess::LoadBytes(const fs::path& file, std::string bytes) {
  auto impl = std::make_unique<Impl>();
  impl->file = file;
  impl->bytes = std::move(bytes);
  const std::uint64_t allowed = ExpansionAllowed(impl->bytes.size());
  const std::string_view head = impl->bytes;
  return Parse(std::move(impl), LoadScope::kWholeTree, head, -1, allowed);
}

std::string SagaDocument::Encoding() const { return impl_->encoding; }

const std::string& SagaDocument::SourceBytes() const { return impl_->bytes; }

const CatalogueSections* SagaDocument::StreamedSections() const {
  return impl_->sections ? &*impl_->sections : nullptr;
}

const fs::path& SagaDocument::File() const { return impl_->file; }

const files::FileIdentity& SagaDocument::LoadedIdentity() const { return impl_->identity; }

}  // namespace brivasto
