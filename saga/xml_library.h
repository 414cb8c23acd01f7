// saga/xml_library.h (private to saga/): owners of libxml2's objects, the
// first error the library reports captured with its
// place, and the guards that keep its errors off stderr and its external
// entity loader shut while a document is read or written.
#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>
#include <libxml/xmlsave.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <utility>

namespace brivasto::xmllib {

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

struct TextReaderFree {
  void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};
using TextReaderPtr = std::unique_ptr<xmlTextReader, TextReaderFree>;

// A close callback for the library's input and output that closes nothing:
// the caller owns the file.
int CloseNothing(void*);

// The library's message without the blanks and line end around it.
std::string TrimmedMessage(const char* message);

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

// A structured error handler whose context is a CapturedErrors.
void OnLibraryError(void* capture, xmlErrorPtr error);

// While alive, the errors libxml2 raises outside a parser context on this
// thread (input/output, encoding, serialisation) go to `capture` instead of
// stderr; the previous handlers come back afterwards.
class LibraryErrorsCaptured {
 public:
  explicit LibraryErrorsCaptured(CapturedErrors& capture);
  LibraryErrorsCaptured(const LibraryErrorsCaptured&) = delete;
  LibraryErrorsCaptured& operator=(const LibraryErrorsCaptured&) = delete;
  ~LibraryErrorsCaptured();

 private:
  xmlStructuredErrorFunc structured_;
  void* structuredContext_;
  xmlGenericErrorFunc generic_;
  void* genericContext_;
};

// While alive, every external entity is refused: a SAGA document is read
// from its own bytes only, never from files or addresses it names. The
// loader is process-wide in this libxml2 version, so it is swapped only for
// the duration of a parse; documents are loaded on one thread.
class ExternalEntitiesRefused {
 public:
  ExternalEntitiesRefused();
  ExternalEntitiesRefused(const ExternalEntitiesRefused&) = delete;
  ExternalEntitiesRefused& operator=(const ExternalEntitiesRefused&) = delete;
  ~ExternalEntitiesRefused();

 private:
  xmlExternalEntityLoader previous_;
};

}  // namespace brivasto::xmllib
