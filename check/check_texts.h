// check/check_texts.h (private): how the check names what it reports.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tables/tables.h"

namespace brivasto {

// "\"text\"" in UTF-8.
std::string Quoted(std::u16string_view text);
// "subject nº 3 (id=\"11\", name=\"Música\")": the element, its 1-based
// position and what identifies it, as far as it has it.
std::string ElementText(std::string_view element, std::size_t position,
                        const std::optional<std::u16string>& id,
                        const std::optional<std::u16string>& name);
// The width of a text field of `table`; 0 when it has no such field.
std::size_t TextFieldWidth(const ExchangeTable& table, std::string_view field);
// Characters, a surrogate pair counting as one.
std::size_t CodePointCount(std::u16string_view text);
// A number of hours as the user reads it: "3", "2,5".
std::string HoursText(double hours);

// The warnings of one kind: the first kListed in full, the others only
// counted, so that a timetable made for other data still gives a report
// one can read (and quickly). Finish() adds "... y N más: WHAT".
class WarningsOfOneKind {
 public:
  static constexpr std::size_t kListed = 100;

  WarningsOfOneKind(std::vector<std::string>& warnings, std::string what)
      : warnings_(warnings), what_(std::move(what)) {}

  // `text()` makes the warning's text; it is called only for listed ones.
  template <typename MakeText>
  void Add(MakeText&& text) {
    if (listed_ < kListed) {
      warnings_.push_back(text());
      ++listed_;
    } else {
      ++unlisted_;
    }
  }
  void Finish() {
    if (unlisted_ > 0) {
      warnings_.push_back("... y " + std::to_string(unlisted_) + " más: " + what_);
    }
    unlisted_ = 0;
  }

 private:
  std::vector<std::string>& warnings_;
  std::string what_;
  std::size_t listed_ = 0;
  std::size_t unlisted_ = 0;
};

}  // namespace brivasto
