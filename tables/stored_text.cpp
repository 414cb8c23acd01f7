// What a text becomes in a table's text field. The one rule for it, used by
// the writer for the bytes, by the export to compare codes as they are
// stored, and by the check to foresee what the tables will hold.
#include "tables/stored_text.h"

#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

#include "tables/decoding.h"
#include "tables/tables.h"

namespace brivasto {
namespace {

// Which byte of Windows 1252 holds each character it defines, as the
// tables' own decoder reads it back. The bytes 0x81, 0x8D, 0x8F, 0x90 and
// 0x9D are undefined in 1252: no character is stored as one of them, so that
// every reader of 1252 can read the table.
class Windows1252 {
 public:
  Windows1252() {
    const decoding::Decoder decoder(decoding::kWindows1252);
    for (std::size_t byte = 0x20; byte < latin_.size(); ++byte) {
      const auto in = static_cast<std::uint8_t>(byte);
      std::u16string decoded;
      if (!decoder.Decode(&in, &in + 1, decoded) || decoded.size() != 1) continue;
      const char16_t c = decoded[0];
      if (c == u'\uFFFD' || (c >= 0x80 && c <= 0x9F)) continue;
      if (c < latin_.size()) {
        latin_[c] = static_cast<unsigned char>(byte);
      } else {
        others_.push_back({c, static_cast<unsigned char>(byte)});
      }
    }
  }
  // The byte of `c`, or 0 when 1252 does not hold it.
  unsigned char ByteOf(UChar32 c) const {
    if (c < 0) return 0;
    if (static_cast<std::size_t>(c) < latin_.size()) return latin_[static_cast<std::size_t>(c)];
    for (const Other& other : others_) {
      if (other.character == c) return other.byte;
    }
    return 0;
  }

 private:
  struct Other {
    char16_t character;
    unsigned char byte;
  };
  std::array<unsigned char, 256> latin_{};
  std::vector<Other> others_;  // the 27 characters 1252 holds above U+00FF
};

const Windows1252& Table1252() {
  static const Windows1252 kTable;
  return kTable;
}

bool IsPlainAscii(char16_t c) { return c >= 0x20 && c < 0x7F; }

// A character the rule keeps as it is, stored as the byte of its own value:
// printable ASCII and Latin-1 from U+00A0 on, but the soft hyphen, which is
// dropped. None of them changes in Normalization Form C, and none composes
// with the character after it that is one of them.
bool IsPlainLatin1(char16_t c) { return IsPlainAscii(c) || (c >= 0xA0 && c <= 0xFF && c != 0xAD); }

bool AllPlainLatin1(std::u16string_view text) {
  return std::all_of(text.begin(), text.end(), IsPlainLatin1);
}

// What the rule does with one character (a code point, or an unpaired
// surrogate).
enum class Fate { kKept, kReplaced, kDropped, kBlanked };

Fate FateOf(UChar32 c) {
  if (U_IS_SURROGATE(c)) return Fate::kReplaced;
  if (c < 0x20 || c == 0x7F) return Fate::kBlanked;
  if (u_hasBinaryProperty(c, UCHAR_DEFAULT_IGNORABLE_CODE_POINT)) return Fate::kDropped;
  return Table1252().ByteOf(c) != 0 ? Fate::kKept : Fate::kReplaced;
}

// `text` in Normalization Form C; the text itself when it is plain ASCII or
// when ICU cannot normalise it.
std::u16string Composed(std::u16string_view text) {
  if (std::all_of(text.begin(), text.end(), IsPlainAscii)) return std::u16string(text);
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
  if (U_FAILURE(status) || text.size() > static_cast<std::size_t>(INT32_MAX / 4)) {
    return std::u16string(text);
  }
  const auto length = static_cast<int32_t>(text.size());
  if (unorm2_quickCheck(nfc, text.data(), length, &status) == UNORM_YES && U_SUCCESS(status)) {
    return std::u16string(text);
  }
  // NFC never makes a text more than three times longer.
  std::u16string composed(text.size() * 3 + 1, u'\0');
  status = U_ZERO_ERROR;
  const int32_t written = unorm2_normalize(nfc, text.data(), length, composed.data(),
                                           static_cast<int32_t>(composed.size()), &status);
  if (U_FAILURE(status)) return std::u16string(text);
  composed.resize(static_cast<std::size_t>(written));
  return composed;
}

// Calls `visit(c, fate)` for every character of `text` in NFC, in order,
// until it returns false.
template <typename Visit>
void ForEachFate(std::u16string_view text, Visit&& visit) {
  const std::u16string composed = Composed(text);
  for (std::size_t i = 0; i < composed.size();) {
    UChar32 c;
    U16_NEXT(composed.data(), i, composed.size(), c);
    if (!visit(c, FateOf(c))) return;
  }
}

// The characters stored: at most `width`, each one 1252 holds.
std::u16string StoredCharacters(std::u16string_view text, std::size_t width) {
  std::u16string stored;
  if (width == 0) return stored;
  ForEachFate(text, [&](UChar32 c, Fate fate) {
    switch (fate) {
      case Fate::kKept:
        stored.push_back(static_cast<char16_t>(c));  // 1252 holds BMP characters only
        break;
      case Fate::kReplaced:
        stored.push_back(u'?');
        break;
      case Fate::kBlanked:
        stored.push_back(u' ');
        break;
      case Fate::kDropped:
        break;
    }
    return stored.size() < width;
  });
  return stored;
}

}  // namespace

std::u16string StoredText(std::u16string_view text, std::size_t width) {
  if (AllPlainLatin1(text)) {
    return TrimTrailingBlanks(text.substr(0, std::min(width, text.size())));
  }
  return TrimTrailingBlanks(StoredCharacters(text, width));
}

bool StoredExactly(std::u16string_view text) {
  if (AllPlainLatin1(text)) {
    return text.empty() || text.back() != u' ';
  }
  return StoredText(text, std::numeric_limits<std::size_t>::max()) == text;
}

StoredTextChanges ChangesInStoredText(std::u16string_view text) {
  StoredTextChanges changes;
  if (AllPlainLatin1(text)) return changes;
  std::unordered_set<UChar32> seen;
  ForEachFate(text, [&](UChar32 c, Fate fate) {
    if (fate == Fate::kKept || !seen.insert(c).second) return true;
    std::u16string& list = fate == Fate::kReplaced  ? changes.replaced
                           : fate == Fate::kDropped ? changes.dropped
                                                    : changes.blanked;
    if (U_IS_SURROGATE(c)) {
      list.push_back(u'\uFFFD');
    } else if (U_IS_BMP(c)) {
      list.push_back(static_cast<char16_t>(c));
    } else {
      list.push_back(static_cast<char16_t>(U16_LEAD(c)));
      list.push_back(static_cast<char16_t>(U16_TRAIL(c)));
    }
    return true;
  });
  return changes;
}

std::string CharacterNames(std::u16string_view characters) {
  std::string names;
  for (std::size_t i = 0; i < characters.size();) {
    UChar32 c;
    U16_NEXT(characters.data(), i, characters.size(), c);
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
    names += (names.empty() ? "" : ", ") + std::string(code);
  }
  return names;
}

namespace stored_text {

void Put(std::u16string_view text, std::size_t width, char* bytes) {
  // Most texts are plain Latin-1: copied as they are checked.
  std::size_t at = 0;
  for (; at < text.size() && IsPlainLatin1(text[at]); ++at) {
    if (at < width) bytes[at] = static_cast<char>(static_cast<unsigned char>(text[at]));
  }
  if (at == text.size()) {
    if (at < width) std::fill(bytes + at, bytes + width, ' ');
    return;
  }
  std::fill(bytes, bytes + width, ' ');
  const std::u16string stored = StoredCharacters(text, width);
  for (std::size_t i = 0; i < stored.size(); ++i) {
    bytes[i] = static_cast<char>(Table1252().ByteOf(stored[i]));
  }
}

}  // namespace stored_text
}  // namespace brivasto
