#include "export/codes.h"

#include <unicode/utf16.h>

#include <algorithm>

#include "tables/tables.h"
#include "text/text.h"

namespace brivasto::codes {
namespace {

constexpr char16_t kBlank = u' ';

bool IsCapital(char16_t c) { return c >= u'A' && c <= u'Z'; }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// The first `count` characters of `text`, a surrogate pair counting as one.
std::u16string_view FirstCharacters(std::u16string_view text, std::size_t count) {
  std::size_t i = 0;
  for (std::size_t characters = 0; i < text.size() && characters < count; ++characters) {
    U16_FWD_1(text.data(), i, text.size());
  }
  return text.substr(0, i);
}

std::size_t CharacterCount(std::u16string_view text) {
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size(); ++characters) U16_FWD_1(text.data(), i, text.size());
  return characters;
}

// The first character followed by the character after each blank.
std::u16string Initials(std::u16string_view name) {
  if (name.empty()) return {};
  return std::u16string(1, name.front()) + InitialsAfterBlanks(name);
}

}  // namespace

std::u16string CodesGiven::Key(std::u16string_view code) const {
  std::u16string stored = StoredText(code, kCodeWidth);
  return letterCase_ == LetterCase::kIgnored ? CaseFolded(stored) : stored;
}

bool CodesGiven::Contains(std::u16string_view code) const { return keys_.contains(Key(code)); }

std::u16string CodesGiven::Give(std::u16string_view code, std::u16string_view base) {
  std::u16string given(code);
  std::u16string key = Key(given);
  if (!keys_.contains(key)) {  // most codes are free
    keys_.insert(std::move(key));
    return given;
  }
  auto known = nextCounter_.find(base);
  if (known == nextCounter_.end()) known = nextCounter_.emplace(std::u16string(base), 1).first;
  std::int64_t& counter = known->second;
  for (; keys_.contains(key); ++counter) {
    const std::u16string suffix = DecimalText(counter);
    // Room for the counter inside the field: the base loses characters from
    // its end, never the counter its digits.
    const std::size_t room = kCodeWidth > suffix.size() ? kCodeWidth - suffix.size() : 0;
    std::u16string_view kept = base;
    if (CharacterCount(base) > room) kept = FirstCharacters(base, room);
    given = std::u16string(kept) + suffix;
    key = Key(given);
  }
  keys_.insert(std::move(key));
  return given;
}

std::u16string SubjectCode(std::u16string_view name) {
  if (name.empty()) return {};
  std::u16string code;
  if (!IsCapital(name.front())) code.push_back(name.front());
  code += UpperLettersOnly(name);
  if (code.size() == 1) {
    if (name.find(kBlank) == std::u16string_view::npos) {
      code = std::u16string(name.substr(0, 6));
    } else {
      code = Initials(name);
    }
  }
  if (code.size() > kCodeWidth) code.resize(kCodeWidth);
  return code;
}

std::u16string SubjectBase(std::u16string_view code) {
  if (!code.empty() && IsDigit(code.back())) code.remove_suffix(1);
  return std::u16string(code);
}

std::u16string TeacherAbbreviation(std::u16string_view name) {
  std::u16string abbreviation = Initials(name);
  if (abbreviation.size() > kCodeWidth) abbreviation.resize(kCodeWidth);
  return abbreviation;
}

std::u16string RoomAbbreviation(std::u16string_view name) {
  std::u16string abbreviation = Initials(name);
  if (TrimBlanks(abbreviation).size() < 2) abbreviation = std::u16string(name.substr(0, 6));
  return abbreviation;
}

std::u16string RoomBase(std::u16string_view abbreviation) {
  if (!abbreviation.empty()) abbreviation.remove_suffix(1);
  return std::u16string(abbreviation);
}

GroupParts GroupPartsOf(std::u16string_view name) {
  GroupParts parts;
  if (name.empty()) return parts;
  const std::size_t length = name.size();
  // Position L - 1 counted from 1 is index L - 2; a one-character name
  // gives its only character.
  parts.curso = std::u16string(1, name[length >= 2 ? length - 2 : 0]);
  const std::size_t blank = name.find(kBlank);
  parts.nivel = std::u16string(blank == std::u16string_view::npos ? name.substr(0, 1)
                                                                  : name.substr(0, blank));
  parts.grupo = std::u16string(1, name.back());
  parts.base = (parts.nivel + parts.curso + parts.grupo).substr(0, 6);
  return parts;
}

}  // namespace brivasto::codes
