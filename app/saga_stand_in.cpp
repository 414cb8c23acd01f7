// Loading of a SAGA document for builds whose saga library does not load
// documents yet: the build adds this file only then, and drops it by itself
// once saga/saga.cpp defines SagaDocument::Load. It parses the file with the
// same safety options and reports a file that is not well-formed the same way.
#include <libxml/parser.h>

#include <string>

#include "saga/saga.h"

namespace brivasto {

struct SagaDocument::Impl {
  struct Free {
    void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
  };
  std::unique_ptr<xmlDoc, Free> document;
};

SagaDocument::SagaDocument(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SagaDocument::SagaDocument(SagaDocument&&) noexcept = default;
SagaDocument& SagaDocument::operator=(SagaDocument&&) noexcept = default;
SagaDocument::~SagaDocument() = default;

SagaDocument SagaDocument::Load(const std::filesystem::path& file) {
  xmlResetLastError();
  xmlDoc* parsed = xmlReadFile(file.c_str(), nullptr, XML_PARSE_NONET | XML_PARSE_NOBLANKS);
  if (parsed == nullptr) {
    const xmlError* error = xmlGetLastError();
    std::string message = "El archivo " + file.string() + " no es un documento XML válido";
    if (error != nullptr) {
      message += " (línea " + std::to_string(error->line) + ", columna " +
                 std::to_string(error->int2) + ")";
    }
    throw TransferError(message);
  }
  auto impl = std::make_unique<Impl>();
  impl->document.reset(parsed);
  return SagaDocument(std::move(impl));
}

}  // namespace brivasto
