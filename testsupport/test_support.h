// testsupport/test_support.h: what the tests of every module share: a
// temporary folder that removes itself with everything in it, and whole-file
// reads and writes of bytes.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "text/text.h"

namespace brivasto::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "brivasto-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    // A test may have taken the write bit away to make the folder read-only.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::filesystem::path& file, std::string_view content) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

// The source tree (the tests run with BRIVASTO_SOURCE_DIR set; else the
// current folder).
inline std::filesystem::path SourceDir() {
  const char* dir = std::getenv("BRIVASTO_SOURCE_DIR");
  return dir != nullptr ? std::filesystem::path(dir) : std::filesystem::path(".");
}

// The message of the TransferError that `action` throws ("" when none).
template <typename Action>
std::string ErrorOf(Action action) {
  try {
    action();
  } catch (const TransferError& e) {
    return e.what();
  }
  return "";
}

}  // namespace brivasto::testing
