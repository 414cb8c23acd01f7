// export/codes.h (private): the short codes of the four catalogues, derived
// from SAGA's names and made unique within their table. Pure functions and a
// small value type; no tables, no XML.
//
// Every code goes into a text field of 10 characters, so two codes are the
// same code when the table would store the same text: cut to the field's
// width by the tables' own rule (StoredText). Subjects compare
// those stored texts with letter case; teachers, rooms and groups without.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "text/text.h"

namespace brivasto::codes {

// The width of every code field (COD, ABREV).
inline constexpr std::size_t kCodeWidth = 10;

enum class LetterCase { kRespected, kIgnored };

// The codes given so far in one table, compared as the table stores them.
class CodesGiven {
 public:
  explicit CodesGiven(LetterCase letterCase) : letterCase_(letterCase) {}

  bool Contains(std::u16string_view code) const;

  // `code` itself when no stored code equals it; else the first of base + "1",
  // base + "2", ... that is free. When base and counter together would not
  // fit the field, the base is shortened from its end to make room. The code
  // given is remembered.
  std::u16string Give(std::u16string_view code, std::u16string_view base);

 private:
  std::u16string Key(std::u16string_view code) const;

  LetterCase letterCase_;
  std::unordered_set<std::u16string, TextHash, std::equal_to<>> keys_;
  // The counter to try first for each base: every candidate below it is
  // taken, and a code once given stays given.
  std::unordered_map<std::u16string, std::int64_t, TextHash, std::equal_to<>> nextCounter_;
};

// Subjects: a first character that is not a capital A to Z, then the
// capitals A to Z of the name; a one-character result becomes the first 6
// characters of a name without blanks, or the first character followed by
// the characters after each blank; cut to 10. Empty for an empty name.
std::u16string SubjectCode(std::u16string_view name);
// The counter's base for a subject code: the code without a trailing digit.
std::u16string SubjectBase(std::u16string_view code);

// Teachers: the first character followed by the characters after each blank,
// cut to 10. The base for the counter is the abbreviation itself.
std::u16string TeacherAbbreviation(std::u16string_view name);

// Rooms: as teachers but not cut; an abbreviation shorter than 2 characters
// without its blanks becomes the first 6 characters of the name.
std::u16string RoomAbbreviation(std::u16string_view name);
// The counter's base for a room: the abbreviation without its last character.
std::u16string RoomBase(std::u16string_view abbreviation);

// A group name cut into Talvenor's parts. Positions count UTF-16 units.
struct GroupParts {
  std::u16string nivel;  // before the first blank; the first character without one
  std::u16string curso;  // the second-to-last character (the only one of a 1-character name)
  std::u16string grupo;  // the last character
  std::u16string base;   // the first 6 characters of nivel + curso + grupo
};
GroupParts GroupPartsOf(std::u16string_view name);

}  // namespace brivasto::codes
