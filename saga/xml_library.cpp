// Owners and error capture of libxml2 for the SAGA document.
#include "saga/xml_library.h"

#include <cstring>

namespace brivasto::xmllib {

std::string TrimmedMessage(const char* message) {
  if (message == nullptr) return "error desconocido";
  std::string text(message);
  const auto notBlank = [](char c) { return c != ' ' && c != '\n' && c != '\r' && c != '\t'; };
  while (!text.empty() && !notBlank(text.back())) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && !notBlank(text[start])) ++start;
  return text.substr(start);
}

int CloseNothing(void*) { return 0; }

void OnLibraryError(void* capture, xmlErrorPtr error) {
  static_cast<CapturedErrors*>(capture)->Take(error);
}

namespace {

void IgnoreGenericError(void*, const char*, ...) {}

xmlParserInput* RefuseExternalEntity(const char*, const char*, xmlParserCtxt*) { return nullptr; }

}  // namespace

LibraryErrorsCaptured::LibraryErrorsCaptured(CapturedErrors& capture)
    : structured_(xmlStructuredError),
      structuredContext_(xmlStructuredErrorContext),
      generic_(xmlGenericError),
      genericContext_(xmlGenericErrorContext) {
  xmlSetStructuredErrorFunc(&capture, OnLibraryError);
  xmlSetGenericErrorFunc(nullptr, IgnoreGenericError);
}

LibraryErrorsCaptured::~LibraryErrorsCaptured() {
  xmlSetStructuredErrorFunc(structuredContext_, structured_);
  xmlSetGenericErrorFunc(genericContext_, generic_);
}

ExternalEntitiesRefused::ExternalEntitiesRefused() : previous_(xmlGetExternalEntityLoader()) {
  xmlSetExternalEntityLoader(RefuseExternalEntity);
}

ExternalEntitiesRefused::~ExternalEntitiesRefused() { xmlSetExternalEntityLoader(previous_); }

}  // namespace brivasto::xmllib
