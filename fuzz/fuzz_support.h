// fuzz/fuzz_support.h: what the harnesses share. A scratch folder made once
// per process (on /dev/shm when there is one, so that the writers' fsync
// costs nothing) and whole-file writes.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace brivasto::fuzz {

// Removed when the process ends normally; libFuzzer ends with exit().
class ScratchDir {
 public:
  ScratchDir() {
    std::error_code ignored;
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ignored)
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
    std::string pattern = (base / "brivasto-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      ::abort();
    }
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }

  // A fresh, empty subfolder.
  std::filesystem::path Fresh(std::string_view name) const {
    const std::filesystem::path dir = path_ / name;
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    std::filesystem::create_directories(dir);
    return dir;
  }

 private:
  std::filesystem::path path_;
};

inline void WriteBytes(const std::filesystem::path& file, const std::uint8_t* data,
                       std::size_t size) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) ::abort();
}

inline void WriteBytes(const std::filesystem::path& file, std::string_view bytes) {
  WriteBytes(file, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace brivasto::fuzz
