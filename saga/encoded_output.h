// saga/encoded_output.h (private to saga/): bytes and text written to the
// temporary file of a save in the document's own encoding, for the encodings
// whose bytes the save can copy as they are.
#pragma once

#include <unicode/ucnv.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "saga/prologue.h"

namespace brivasto::sagadoc {

struct ConverterClose {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterClose>;

// Buffered writes to the temporary file, text converted to the document's
// encoding (characters it cannot hold written as character references).
// Failures throw TransferError naming `file`.
class EncodedOutput {
 public:
  EncodedOutput(int fd, const std::filesystem::path& file, Units units, UConverter* converter)
      : fd_(fd), file_(file), units_(units), converter_(converter) {
    // A chunk and the piece of text that passes it.
    buffer_.reserve(kChunk + kChunk / 4);
  }

  void Bytes(std::string_view bytes);
  void Text(std::u16string_view text);
  void Flush();

 private:
  static constexpr std::size_t kChunk = 1 << 20;
  void Convert(std::u16string_view text);
  void Write(std::string_view bytes);

  int fd_;
  const std::filesystem::path& file_;
  Units units_;
  UConverter* converter_;
  std::string buffer_;
};

// The way the bytes hold characters, and where the markup starts (after a
// byte order mark); nullopt for an encoding this copy does not handle.
struct Storage {
  Units units = Units::kByte;
  std::size_t start = 0;   // in units
  ConverterPtr converter;  // single-byte encodings other than ASCII itself
};

std::optional<Storage> StorageOf(std::string_view bytes, const std::string& encoding);

}  // namespace brivasto::sagadoc
