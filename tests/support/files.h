// tests/support/files.h: what the hardening tests share: a temporary folder
// that cleans up after itself, whole-file reads and writes, and snapshots of
// a folder tree that can be compared and put back.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>

namespace brivasto::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "brivasto-harden-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "no temporary folder";
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    // Folders a test made read-only must be writable again to go.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         !ignored && it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline void WriteFile(const std::filesystem::path& file, std::string_view content) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << file;
}

inline std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every regular file under a folder, by its path relative to the folder.
using Snapshot = std::map<std::string, std::string>;

inline Snapshot TakeSnapshot(const std::filesystem::path& root) {
  Snapshot files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) {
      files[std::filesystem::relative(entry.path(), root).string()] = ReadFile(entry.path());
    }
  }
  return files;
}

// Empties `root` and writes the snapshot's files back.
inline void Restore(const std::filesystem::path& root, const Snapshot& files) {
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);
  for (const auto& [name, content] : files) {
    std::filesystem::create_directories((root / name).parent_path());
    WriteFile(root / name, content);
  }
}

// The folder of the sources (set by CTest; else the working directory).
inline std::filesystem::path SourceDir() {
  const char* dir = std::getenv("BRIVASTO_SOURCE_DIR");
  return dir != nullptr ? std::filesystem::path(dir) : std::filesystem::current_path();
}

}  // namespace brivasto::testing
