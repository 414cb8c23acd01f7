// tests/support/one_file_prompter.h: the user's side of a run through the
// frame, as the window makes it, answering the file dialog with one file.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <utility>

#include "app/run.h"

namespace brivasto::testing {

// Answers the file dialog with one file; messages are not needed here.
class OneFilePrompter final : public Prompter {
 public:
  explicit OneFilePrompter(std::filesystem::path file) : file_(std::move(file)) {}
  std::optional<std::filesystem::path> ChooseSagaFile() override { return file_; }
  void ShowMessage(std::u16string_view) override {}
  void ShowError(std::u16string_view) override {}
  void SetBusy(bool) override {}

 private:
  std::filesystem::path file_;
};

}  // namespace brivasto::testing
