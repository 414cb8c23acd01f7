// saga/document_impl.h (private to saga/): what a loaded SagaDocument holds,
// and the library's own way into it and to the libxml2 node behind an
// XmlNode.
#pragma once

#include <libxml/tree.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "files/files.h"
#include "saga/saga.h"
#include "saga/xml_library.h"

namespace brivasto {

struct SagaDocument::Impl {
  xmllib::XmlDocPtr doc;
  std::string encoding;
  std::filesystem::path file;  // where it was loaded from
  bool hasDeclaration = true;
  bool utf8Mark = false;                      // libxml2 writes no UTF-8 byte order mark itself
  std::string bytes;                          // the file as loaded (not for kCatalogueSections)
  std::optional<CatalogueSections> sections;  // kCatalogueSections
  files::FileIdentity identity;               // the file as read, or as last saved
};

struct XmlNodeAccess {
  static XmlNode Of(xmlNode* node) { return XmlNode(node); }
  static xmlNode* Node(const XmlNode& node) { return static_cast<xmlNode*>(node.node_); }
};

struct SagaDocumentAccess {
  using Impl = SagaDocument::Impl;
  static const Impl& Of(const SagaDocument& document) { return *document.impl_; }
  static SagaDocument Make(std::unique_ptr<SagaDocument::Impl> impl) {
    return SagaDocument(std::move(impl));
  }
  // The whole tree of `bytes`, the content of `file` already read, loaded
  // as SagaDocument::Load(file) would load it.
  static SagaDocument LoadBytes(const std::filesystem::path& file, std::string bytes);
};

}  // namespace brivasto
