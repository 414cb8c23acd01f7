// The catalogue elements read from the parser's events, the same way their
// nodes are read (saga/sections.cpp): values trimmed of blanks, text nodes
// holding only white space dropped, the text of the first child node.
#include "saga/catalogue_stream.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "text/text.h"

namespace brivasto::sagadoc {
namespace {

bool IsWhiteSpaceOnly(std::string_view text) {
  for (const char c : text) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  }
  return true;
}

std::u16string Trimmed(std::string_view utf8) {
  std::u16string text = FromUtf8(utf8);
  if (!text.empty() && (text.front() == u' ' || text.back() == u' ')) return TrimBlanks(text);
  return text;
}

bool Is(const xmlChar* localName, const xmlChar* prefix, const char* name) {
  return prefix == nullptr && std::strcmp(reinterpret_cast<const char*>(localName), name) == 0;
}

// An attribute of the element, as SAX2 gives them (local name, prefix, URI,
// value, end of value; the attributes the DTD supplies come last).
struct Attributes {
  const xmlChar** values;
  int count;

  // The value of the attribute without prefix named `name`, trimmed;
  // nullopt when absent. A value with a reference other than to "&" (which
  // the parser leaves as "&#38;") needs the nodes.
  std::optional<std::u16string> Value(const char* name) const {
    for (int i = 0; i < count; ++i) {
      const xmlChar** attribute = values + 5 * i;
      if (!Is(attribute[0], attribute[1], name)) continue;
      const std::string_view raw(reinterpret_cast<const char*>(attribute[3]),
                                 static_cast<std::size_t>(attribute[4] - attribute[3]));
      if (raw.find('&') == std::string_view::npos) return Trimmed(raw);
      std::string value;
      for (std::size_t at = 0; at < raw.size(); ++at) {
        if (raw[at] != '&') {
          value.push_back(raw[at]);
        } else if (raw.substr(at, 5) == "&#38;") {
          value.push_back('&');
          at += 4;
        } else {
          throw CatalogueStream::NeedsNodes{};
        }
      }
      return Trimmed(value);
    }
    return std::nullopt;
  }
};

Attributes Checked(const xmlChar** attributes, int attributeCount, int defaultedCount) {
  // The tree leaves out the attributes a DTD supplies; such a document is
  // read with its nodes.
  if (defaultedCount != 0) throw CatalogueStream::NeedsNodes{};
  return {attributes, attributeCount};
}

}  // namespace

void CatalogueStream::StartItem(const char* item, const xmlChar** attributes, int attributeCount,
                                int defaultedCount) {
  const Attributes values = Checked(attributes, attributeCount, defaultedCount);
  places_.clear();
  first_ = FirstChild::kNotYet;
  hasFirst_ = false;
  firstText_.clear();
  run_.clear();
  inRun_ = false;
  assigned_.clear();
  id_ = values.Value("id");
  name_.reset();
  regim_.reset();
  hours_.reset();
  attributeCount_ = static_cast<std::size_t>(attributeCount);
  if (std::strcmp(item, "subject") == 0) {
    kind_ = Kind::kSubject;
    name_ = values.Value("name");
    // Any third attribute, whatever its name, means the hours are given.
    if (attributeCount_ > 2) hours_ = values.Value("hours");
  } else if (std::strcmp(item, "group") == 0) {
    kind_ = Kind::kGroup;
    regim_ = values.Value("regim");
    name_ = values.Value("name");
  } else {
    kind_ = std::strcmp(item, "teacher") == 0 ? Kind::kNamedItem : Kind::kLocation;
  }
}

void CatalogueStream::EndRun() {
  if (!inRun_) return;
  inRun_ = false;
  if (!IsWhiteSpaceOnly(run_)) {
    if (first_ == FirstChild::kNotYet) {
      first_ = FirstChild::kKnown;
      hasFirst_ = true;
      firstText_ = std::move(run_);
    } else if (first_ == FirstChild::kInElement) {
      firstText_ += run_;  // an element's text is all the text it holds
    }
  }
  run_.clear();
}

void CatalogueStream::StartChild(const xmlChar* localName, const xmlChar* prefix,
                                 const xmlChar** attributes, int attributeCount,
                                 int defaultedCount) {
  const Attributes values = Checked(attributes, attributeCount, defaultedCount);
  EndRun();
  if (first_ == FirstChild::kNotYet) {
    first_ = FirstChild::kInElement;
    hasFirst_ = true;
    firstDepth_ = places_.size() + 1;
  }
  Place place = Place::kOther;
  if (kind_ == Kind::kGroup) {
    // "assigned-subjects/assigned-subject", and in each of those
    // "assigned-teachers/assigned-teacher".
    const Place parent = places_.empty() ? Place::kOther : places_.back();
    if (places_.empty() && Is(localName, prefix, "assigned-subjects")) {
      place = Place::kSubjectList;
    } else if (parent == Place::kSubjectList && Is(localName, prefix, "assigned-subject")) {
      place = Place::kAssignedSubject;
      SagaAssignedSubject& subject = assigned_.emplace_back();
      subject.position = assigned_.size();
      subject.id = values.Value("id");
    } else if (parent == Place::kAssignedSubject && Is(localName, prefix, "assigned-teachers")) {
      place = Place::kTeacherList;
    } else if (parent == Place::kTeacherList && Is(localName, prefix, "assigned-teacher")) {
      place = Place::kAssignedTeacher;
      std::vector<SagaAssignedTeacher>& teachers = assigned_.back().teachers;
      teachers.push_back({teachers.size() + 1, values.Value("id")});
    }
  }
  places_.push_back(place);
}

void CatalogueStream::EndChild() {
  EndRun();
  if (first_ == FirstChild::kInElement && places_.size() == firstDepth_) {
    first_ = FirstChild::kKnown;
  }
  places_.pop_back();
}

void CatalogueStream::Text(const xmlChar* text, int length) {
  if (kind_ == Kind::kSubject || first_ == FirstChild::kKnown) return;
  inRun_ = true;
  run_.append(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
}

void CatalogueStream::EndItem() {
  EndRun();
  std::optional<std::u16string> firstText;
  if (hasFirst_) firstText = Trimmed(firstText_);
  switch (kind_) {
    case Kind::kSubject: {
      SagaSubject& subject = sections_.subjects.emplace_back();
      subject.position = sections_.subjects.size();
      subject.id = std::move(id_);
      subject.name = std::move(name_);
      subject.attributeCount = attributeCount_;
      subject.hours = std::move(hours_);
      break;
    }
    case Kind::kNamedItem:
    case Kind::kLocation: {
      std::vector<SagaNamedItem>& items =
          kind_ == Kind::kNamedItem ? sections_.teachers : sections_.locations;
      items.push_back({items.size() + 1, std::move(id_), std::move(firstText)});
      break;
    }
    case Kind::kGroup: {
      SagaGroup& group = sections_.groups.emplace_back();
      group.position = sections_.groups.size();
      group.id = std::move(id_);
      group.regim = std::move(regim_);
      group.name = std::move(name_);
      group.description = std::move(firstText);
      // Sized to fit: a large school holds hundreds of thousands of them.
      group.subjects.reserve(assigned_.size());
      for (SagaAssignedSubject& subject : assigned_) group.subjects.push_back(std::move(subject));
      assigned_.clear();
      break;
    }
  }
}

}  // namespace brivasto::sagadoc
