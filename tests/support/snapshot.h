// tests/support/snapshot.h: snapshots of a folder tree (every regular file
// by its relative path, with its bytes) that can be compared and put back.
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "testsupport/test_support.h"

namespace brivasto::testing {

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

// The files that differ between two snapshots ("+ added", "- gone",
// "* changed"), one a line; empty when they are equal.
inline std::string Differences(const Snapshot& before, const Snapshot& after) {
  std::string lines;
  for (const auto& [name, content] : after) {
    const auto old = before.find(name);
    if (old == before.end()) {
      lines += "+ " + name + "\n";
    } else if (old->second != content) {
      lines += "* " + name + "\n";
    }
  }
  for (const auto& [name, content] : before) {
    if (!after.contains(name)) lines += "- " + name + "\n";
  }
  return lines;
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

}  // namespace brivasto::testing
