// The nodes of a loaded SAGA document: reached by child-step paths, read as
// names, attributes and text, and taken out of the tree.
#include <libxml/tree.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "saga/document_impl.h"
#include "saga/saga.h"
#include "saga/xml_library.h"

namespace brivasto {
using namespace xmllib;

namespace {

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

}  // namespace

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
