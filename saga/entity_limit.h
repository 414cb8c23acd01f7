// saga/entity_limit.h (private to saga/): the bounds a load puts on a
// document's internal entities. The text that entity references stand for
// is never copied into the tree: Text() and Attribute() expand it when
// read. libxml2 limits what one entity may expand to, not how often the
// document refers to it, so a small file can refer to a large entity
// thousands of times. The load measures the whole expansion once (each
// entity's size computed once) and refuses a document whose references
// would add more text than ExpansionAllowed.
#pragma once

#include <libxml/tree.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace brivasto::sagadoc {

// The entity text a document of `fileSize` bytes may expand to.
std::uint64_t ExpansionAllowed(std::uint64_t fileSize);

// TransferError: the file's internal entities expand to more than `allowed`.
[[noreturn]] void ThrowExpansionOverLimit(const std::string& name, std::uint64_t allowed);

class EntityExpansion {
 public:
  EntityExpansion(const xmlDoc* doc, std::uint64_t limit) : doc_(doc), limit_(limit) {}

  // The bytes of text the references in the node list `first` and in
  // everything inside it stand for, up to just over the limit.
  std::uint64_t OfReferencesIn(const xmlNode* first) { return Walk(first, false); }

  // The same for one element: its attributes and its content.
  std::uint64_t OfReferencesInElement(const xmlNode* element);

 private:
  std::uint64_t Add(std::uint64_t a, std::uint64_t b) const { return std::min(a + b, limit_ + 1); }
  // Text held by the node list `first` and its descendants; with
  // `countText` false, only what its entity references add.
  std::uint64_t Walk(const xmlNode* first, bool countText);
  std::uint64_t OfEntity(const xmlNode* reference);

  const xmlDoc* doc_;
  std::uint64_t limit_;
  std::unordered_map<const xmlEntity*, std::uint64_t> sizes_;
  std::unordered_set<const xmlEntity*> open_;
};

// Whether the whole document's references expand to more than `limit`.
bool EntityExpansionOverLimit(const xmlDoc* doc, std::uint64_t limit);

// The internal general entities whose text holds an element ("e", "f"),
// sorted; empty when there are none. Such an entity puts elements into the
// tree that the file's bytes do not show where they stand, so a save that
// keeps the bytes could not find them (a second `time-tables`).
std::string EntitiesMakingElements(const xmlDoc* doc);

}  // namespace brivasto::sagadoc
