#include "text/text.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <cstdint>
#include <string>

namespace brivasto {
namespace {
constexpr char16_t kBlank = u' ';
}  // namespace

std::u16string TrimBlanks(std::u16string_view text) {
  return TrimLeadingBlanks(TrimTrailingBlanks(text));
}

std::u16string TrimLeadingBlanks(std::u16string_view text) {
  const auto first = text.find_first_not_of(kBlank);
  return first == std::u16string_view::npos ? std::u16string() : std::u16string(text.substr(first));
}

std::u16string TrimTrailingBlanks(std::u16string_view text) {
  const auto last = text.find_last_not_of(kBlank);
  return last == std::u16string_view::npos ? std::u16string()
                                           : std::u16string(text.substr(0, last + 1));
}

std::u16string RightmostChars(std::u16string_view text, std::int32_t count) {
  if (count <= 0) return {};
  const auto wanted = static_cast<std::size_t>(count);
  if (text.size() <= wanted) return std::u16string(text);
  return std::u16string(text.substr(text.size() - wanted));
}

std::u16string UpperLettersOnly(std::u16string_view text) {
  std::u16string kept;
  for (const char16_t c : text) {
    if (c >= u'A' && c <= u'Z') kept.push_back(c);
  }
  return kept;
}

std::u16string InitialsAfterBlanks(std::u16string_view text) {
  std::u16string taken;
  // Positions 1 to L - 1 (0-based: 0 to size - 2); a blank takes its follower.
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == kBlank) taken.push_back(text[i + 1]);
  }
  return taken;
}

std::u16string CaseFolded(std::u16string_view text) {
  std::u16string folded;
  folded.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] < 0x80) {  // ASCII folds to itself, but for the capitals A to Z
      const char16_t c = text[i++];
      folded.push_back(c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c);
      continue;
    }
    UChar32 c;
    U16_NEXT(text.data(), i, text.size(), c);
    // Full folding may turn one character into several (ß -> ss).
    UChar buffer[U16_MAX_LENGTH * 3];
    UChar one[U16_MAX_LENGTH];
    int32_t oneLength = 0;
    UBool error = false;
    U16_APPEND(one, oneLength, U16_MAX_LENGTH, c, error);
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length =
        u_strFoldCase(buffer, U16_MAX_LENGTH * 3, one, oneLength, U_FOLD_CASE_DEFAULT, &status);
    if (U_FAILURE(status) || error) {
      folded.append(one, one + oneLength);
    } else {
      folded.append(buffer, buffer + length);
    }
  }
  return folded;
}

bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return a == b || CaseFolded(a) == CaseFolded(b);
}

std::string AsciiUpper(std::string_view name) {
  std::string upper(name);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

bool EqualAsciiIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::u16string FromUtf8(std::string_view text) {
  // Never more code units than bytes: the result is cut to size at the end.
  std::u16string result(text.size(), u'\0');
  char16_t* out = result.data();
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t at = 0;
  while (at < length) {
    if (bytes[at] < 0x80) {  // most of it: ASCII, one unit per byte
      *out++ = bytes[at++];
      continue;
    }
    UChar32 c;
    U8_NEXT_OR_FFFD(bytes, at, length, c);
    if (U_IS_BMP(c)) {
      *out++ = static_cast<char16_t>(c);
    } else {
      *out++ = static_cast<char16_t>(U16_LEAD(c));
      *out++ = static_cast<char16_t>(U16_TRAIL(c));
    }
  }
  result.resize(static_cast<std::size_t>(out - result.data()));
  return result;
}

std::string ToUtf8(std::u16string_view text) {
  std::string result;
  AppendUtf8(result, text);
  return result;
}

void AppendUtf8(std::string& out, std::u16string_view text) {
  out.reserve(out.size() + text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] < 0x80) {  // most of it: a run of ASCII copied in one step
      std::size_t end = i + 1;
      while (end < text.size() && text[end] < 0x80) ++end;
      const std::size_t at = out.size();
      out.resize(at + (end - i));
      char* to = out.data() + at;
      for (; i < end; ++i) *to++ = static_cast<char>(text[i]);
      continue;
    }
    UChar32 c;
    U16_NEXT(text.data(), i, text.size(), c);
    if (U_IS_SURROGATE(c)) c = 0xFFFD;  // a lone surrogate
    uint8_t buffer[U8_MAX_LENGTH];
    int32_t length = 0;
    U8_APPEND_UNSAFE(buffer, length, c);
    out.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
  }
}

std::u16string DecimalText(std::int64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

namespace {

std::uint64_t MixedHash(std::u16string_view text) {
  return static_cast<std::uint64_t>(TextHash{}(text)) * 0x9E3779B97F4A7C15u;
}

}  // namespace

FirstPositions::FirstPositions(const std::vector<std::u16string>& texts) : texts_(texts) {
  if (texts.size() >= UINT32_MAX) throw TransferError("Demasiados textos para un índice.");
  std::size_t size = 16;
  while (size < texts.size() * 2) size *= 2;
  slots_.resize(size);
  for (std::size_t position = 0; position < texts.size(); ++position) {
    const std::uint64_t hash = MixedHash(texts[position]);
    Slot& slot = slots_[SlotOf(texts[position], hash)];
    if (slot.position == 0) {  // else an earlier position holds the text
      slot = {static_cast<std::uint32_t>(position + 1), static_cast<std::uint32_t>(hash >> 32)};
    }
  }
}

std::size_t FirstPositions::SlotOf(std::u16string_view text, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  const auto tag = static_cast<std::uint32_t>(hash >> 32);
  for (std::size_t at = (hash >> 20) & mask;; at = (at + 1) & mask) {
    const Slot& slot = slots_[at];
    if (slot.position == 0 || (slot.tag == tag && texts_[slot.position - 1] == text)) return at;
  }
}

std::optional<std::size_t> FirstPositions::Find(std::u16string_view text) const {
  const Slot& slot = slots_[SlotOf(text, MixedHash(text))];
  if (slot.position == 0) return std::nullopt;
  return slot.position - 1;
}

}  // namespace brivasto
