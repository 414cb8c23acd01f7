// text/text.h: the text helpers that clean SAGA's texts and derive short
// codes, plus the few text services every module shares. Texts are UTF-16
// code units; the only blank the helpers know is U+0020 (tab, line feed and
// no-break space are ordinary characters). Positions in comments count from 1.
// Every function here is pure; the conversions and the case folding use ICU.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace brivasto {

// The one error type of the system. Its message is Spanish UTF-8 text a user
// can act on: which file, table, record, element or field, and what is wrong.
class TransferError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The text without the blanks at its start and at its end; inner blanks stay.
std::u16string TrimBlanks(std::u16string_view text);
// The text without the blanks at its start; empty when it held only blanks.
std::u16string TrimLeadingBlanks(std::u16string_view text);
// The text without the blanks at its end.
std::u16string TrimTrailingBlanks(std::u16string_view text);
// The last `count` characters; the whole text when it has no more than
// `count`, the empty text for a count of 0 or less.
std::u16string RightmostChars(std::u16string_view text, std::int32_t count);
// The characters from "A" to "Z" in order; accented capitals are dropped.
std::u16string UpperLettersOnly(std::u16string_view text);
// The characters that directly follow a blank, in order (so a run of blanks
// contributes blanks); the first character is never taken.
std::u16string InitialsAfterBlanks(std::u16string_view text);

// The text case-folded (full Unicode folding): two texts are equal ignoring
// letter case when their folded forms are equal. JG = jg, Á = á, a ≠ á.
std::u16string CaseFolded(std::u16string_view text);
bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b);

// Names made of ASCII letters (table, field, INI section and key names):
// upper-cased, and compared without regard to letter case.
std::string AsciiUpper(std::string_view name);
bool EqualAsciiIgnoringCase(std::string_view a, std::string_view b);

// UTF-8 <-> UTF-16. Ill-formed input becomes U+FFFD; nothing throws.
std::u16string FromUtf8(std::string_view text);
std::string ToUtf8(std::u16string_view text);
// ToUtf8 appended to `out`.
void AppendUtf8(std::string& out, std::u16string_view text);

// Hashing for unordered containers of UTF-16 texts that are looked up by
// std::u16string_view without making a string (use with std::equal_to<>).
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::u16string_view text) const noexcept {
    // FNV-1a over the code units: the texts hashed are short codes, for
    // which it is quicker than the library's general hash.
    std::uint64_t hash = 14695981039346656037u;
    for (const char16_t unit : text) {
      hash = (hash ^ unit) * 1099511628211u;
    }
    return static_cast<std::size_t>(hash ^ (hash >> 29));
  }
};

// The first position of each text of a list, looked up by text: what a scan
// from the start of the list finds first. Open addressing over the list
// itself, which must outlive the index and stay unchanged; a large school
// looks ids up hundreds of thousands of times.
class FirstPositions {
 public:
  explicit FirstPositions(const std::vector<std::u16string>& texts);
  // The first position holding `text`, or none.
  std::optional<std::size_t> Find(std::u16string_view text) const;

 private:
  // A slot: the position plus one (0 for an empty slot), and the hash's top
  // bits, so that most other texts are passed over without reading them.
  struct Slot {
    std::uint32_t position = 0;
    std::uint32_t tag = 0;
  };
  std::size_t SlotOf(std::u16string_view text, std::uint64_t hash) const;
  const std::vector<std::u16string>& texts_;
  std::vector<Slot> slots_;
};

// Plain decimal numeral of a number: no sign for non-negative values, no
// blanks, no leading zeros ("1", "40", "-3").
std::u16string DecimalText(std::int64_t value);

}  // namespace brivasto
