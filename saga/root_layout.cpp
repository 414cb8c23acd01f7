// The scan of a document's markup for the layout of its root.
#include "saga/root_layout.h"

#include "text/text.h"

namespace brivasto::sagadoc {

namespace {

class LayoutScanner {
 public:
  LayoutScanner(const UnitView& units, std::string_view sectionName)
      : u_(units), sectionName_(sectionName) {}

  RootLayout Scan(std::size_t start) {
    RootLayout layout;
    std::size_t at = start;
    // Before the root: declaration, comments, processing instructions, the
    // document type declaration, white space.
    for (;;) {
      at = Find(at, "<");
      if (u_.StartsWith(at, "<?")) {
        at = After(at + 2, "?>");
      } else if (u_.StartsWith(at, "<!--")) {
        at = After(at + 4, "-->");
      } else if (u_.StartsWith(at, "<!")) {
        at = AfterDoctype(at + 2);
      } else {
        break;
      }
    }
    const Tag root = ReadTag(at);
    layout.nameBegin = root.nameBegin;
    layout.nameEnd = root.nameEnd;
    if (root.empty) {
      layout.emptyTagSlash = root.end - 2;
      return layout;
    }
    at = root.end;
    std::size_t depth = 1;  // elements open, the root included
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t sectionBegin = kNone;  // an old section open at the root
    for (;;) {
      at = Find(at, "<");
      if (u_.StartsWith(at, "<!--")) {
        at = After(at + 4, "-->");
      } else if (u_.StartsWith(at, "<![CDATA[")) {
        at = After(at + 9, "]]>");
      } else if (u_.StartsWith(at, "<?")) {
        at = After(at + 2, "?>");
      } else if (u_.StartsWith(at, "</")) {
        const std::size_t tagBegin = at;
        at = After(at + 2, ">");
        --depth;
        if (depth == 0) {
          layout.endTag = tagBegin;
          return layout;
        }
        if (depth == 1 && sectionBegin != kNone) {
          layout.removed.emplace_back(sectionBegin, at);
          sectionBegin = kNone;
        }
      } else {
        const Tag tag = ReadTag(at);
        const bool isSection = depth == 1 && NameIs(tag, sectionName_);
        if (tag.empty) {
          if (isSection) layout.removed.emplace_back(at, tag.end);
        } else {
          if (isSection) sectionBegin = at;
          ++depth;
        }
        at = tag.end;
      }
    }
  }

 private:
  struct Tag {
    std::size_t nameBegin = 0;
    std::size_t nameEnd = 0;
    std::size_t end = 0;  // just after its ">"
    bool empty = false;
  };

  [[noreturn]] static void Broken() {
    throw TransferError("El documento SAGA no tiene la estructura esperada al guardarlo.");
  }

  // The position of the next `text` from `at`.
  std::size_t Find(std::size_t at, std::string_view text) const {
    for (at = u_.FindChar(at, text[0]); at < u_.Size(); at = u_.FindChar(at + 1, text[0])) {
      if (u_.StartsWith(at, text)) return at;
    }
    Broken();
  }
  std::size_t After(std::size_t at, std::string_view text) const {
    return Find(at, text) + text.size();
  }
  std::size_t AfterQuoted(std::size_t at) const {  // `at` on the opening quote
    at = u_.FindChar(at + 1, static_cast<char>(u_[at]));
    if (at == u_.Size()) Broken();
    return at + 1;
  }
  static bool IsBlank(char32_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

  // A document type declaration, its internal subset included.
  std::size_t AfterDoctype(std::size_t at) const {
    bool inSubset = false;
    while (at < u_.Size()) {
      const char32_t c = u_[at];
      if (inSubset && u_.StartsWith(at, "<!--")) {
        at = After(at + 4, "-->");
      } else if (inSubset && u_.StartsWith(at, "<?")) {
        at = After(at + 2, "?>");
      } else if (c == '"' || c == '\'') {
        at = AfterQuoted(at);
      } else if (c == '[') {
        inSubset = true;
        ++at;
      } else if (c == ']') {
        inSubset = false;
        ++at;
      } else if (c == '>' && !inSubset) {
        return at + 1;
      } else {
        ++at;
      }
    }
    Broken();
  }

  // A start tag or an empty-element tag beginning at `at` ("<").
  Tag ReadTag(std::size_t at) const {
    Tag tag;
    tag.nameBegin = at + 1;
    at = tag.nameBegin;
    at = u_.FindIf(at, [](char32_t c) { return IsBlank(c) || c == '/' || c == '>'; });
    tag.nameEnd = at;
    for (;;) {
      // Only quotes, '>' and '/' matter inside a tag.
      at = u_.FindIf(at, [](char32_t c) { return c == '"' || c == '\'' || c == '>' || c == '/'; });
      if (at == u_.Size()) break;
      const char32_t c = u_[at];
      if (c == '"' || c == '\'') {
        at = AfterQuoted(at);
      } else if (c == '>') {
        tag.end = at + 1;
        return tag;
      } else if (c == '/' && u_.StartsWith(at, "/>")) {
        tag.end = at + 2;
        tag.empty = true;
        return tag;
      } else {
        ++at;
      }
    }
    Broken();
  }

  bool NameIs(const Tag& tag, std::string_view name) const {
    if (tag.nameEnd - tag.nameBegin != name.size()) return false;
    return u_.StartsWith(tag.nameBegin, name);
  }

  const UnitView& u_;
  std::string_view sectionName_;
};

}  // namespace

RootLayout ScanRootLayout(const UnitView& units, std::size_t start, std::string_view sectionName) {
  return LayoutScanner(units, sectionName).Scan(start);
}

std::pair<std::size_t, std::size_t> WholeLines(const UnitView& u, std::size_t begin,
                                               std::size_t end, std::size_t start) {
  std::size_t lineBegin = begin;
  while (lineBegin > start && (u[lineBegin - 1] == ' ' || u[lineBegin - 1] == '\t')) --lineBegin;
  if (lineBegin > start && u[lineBegin - 1] != '\n') return {begin, end};
  std::size_t lineEnd = end;
  while (lineEnd < u.Size() && (u[lineEnd] == ' ' || u[lineEnd] == '\t')) ++lineEnd;
  if (lineEnd < u.Size() && u[lineEnd] == '\r') ++lineEnd;
  if (lineEnd >= u.Size() || u[lineEnd] != '\n') return {begin, end};
  return {lineBegin, lineEnd + 1};
}

std::u16string NewlineOf(const UnitView& u, std::size_t start) {
  for (std::size_t i = start; i < u.Size(); ++i) {
    if (u[i] == '\n') return i > start && u[i - 1] == '\r' ? u"\r\n" : u"\n";
  }
  return u"\n";
}

}  // namespace brivasto::sagadoc
