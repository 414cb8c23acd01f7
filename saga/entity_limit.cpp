// Measuring what a document's internal entity references expand to, and
// finding the entities that would put elements into its tree.
#include "saga/entity_limit.h"

#include <libxml/entities.h>
#include <libxml/hash.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "text/text.h"

namespace brivasto::sagadoc {

namespace {

constexpr std::uint64_t kExpansionFloor = 8u * 1024 * 1024;
constexpr std::uint64_t kExpansionFactor = 4;

}  // namespace

std::uint64_t ExpansionAllowed(std::uint64_t fileSize) {
  return kExpansionFloor + kExpansionFactor * fileSize;
}

[[noreturn]] void ThrowExpansionOverLimit(const std::string& name, std::uint64_t allowed) {
  throw TransferError("El archivo " + name +
                      " no se admite: sus entidades internas se expanden a un texto de más de " +
                      std::to_string(allowed / (1024 * 1024)) + " MB");
}

std::uint64_t EntityExpansion::OfReferencesInElement(const xmlNode* element) {
  std::uint64_t total = Walk(element->children, false);
  for (const xmlAttr* a = element->properties; a != nullptr; a = a->next) {
    total = Add(total, Walk(a->children, false));
  }
  return total;
}

std::uint64_t EntityExpansion::Walk(const xmlNode* first, bool countText) {
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

std::uint64_t EntityExpansion::OfEntity(const xmlNode* reference) {
  const xmlEntity* entity = xmlGetDocEntity(doc_, reference->name);
  if (entity == nullptr) return 0;
  if (const auto known = sizes_.find(entity); known != sizes_.end()) return known->second;
  if (!open_.insert(entity).second) return limit_ + 1;  // a loop
  const std::uint64_t size = Walk(entity->children, true);
  open_.erase(entity);
  sizes_.emplace(entity, size);
  return size;
}

bool EntityExpansionOverLimit(const xmlDoc* doc, std::uint64_t limit) {
  if (doc->intSubset == nullptr && doc->extSubset == nullptr) return false;  // no entities
  return EntityExpansion(doc, limit).OfReferencesIn(doc->children) > limit;
}

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

}  // namespace brivasto::sagadoc
