// Writing a save's bytes and text in the document's own encoding.
#include "saga/encoded_output.h"

#include <unicode/ucnv_cb.h>

#include "files/files.h"
#include "saga/save_file.h"
#include "text/text.h"

namespace brivasto::sagadoc {

namespace {

// A converter for a single-byte encoding that stores ASCII as it is, with
// characters it cannot hold written as decimal character references; null
// for any other encoding.
ConverterPtr SingleByteConverter(const std::string& encoding) {
  UErrorCode status = U_ZERO_ERROR;
  ConverterPtr converter(ucnv_open(encoding.c_str(), &status));
  if (U_FAILURE(status) || converter == nullptr) return nullptr;
  if (ucnv_getMaxCharSize(converter.get()) != 1) return nullptr;
  std::u16string ascii = u"\t\n\r";
  std::string expected = "\t\n\r";
  for (char16_t c = 0x20; c < 0x7F; ++c) {
    ascii.push_back(c);
    expected.push_back(static_cast<char>(c));
  }
  char out[128];
  const int32_t length = ucnv_fromUChars(converter.get(), out, sizeof out, ascii.data(),
                                         static_cast<int32_t>(ascii.size()), &status);
  if (U_FAILURE(status) || std::string_view(out, static_cast<std::size_t>(length)) != expected) {
    return nullptr;
  }
  ucnv_reset(converter.get());
  ucnv_setFromUCallBack(converter.get(), UCNV_FROM_U_CALLBACK_ESCAPE, UCNV_ESCAPE_XML_DEC, nullptr,
                        nullptr, &status);
  if (U_FAILURE(status)) return nullptr;
  return converter;
}

std::string EncodingKey(std::string_view encoding) {
  std::string key;
  for (const char c : encoding) {
    if (c == '-' || c == '_') continue;
    key += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  return key;
}

}  // namespace

void EncodedOutput::Bytes(std::string_view bytes) {
  if (buffer_.size() + bytes.size() < kChunk) {
    buffer_.append(bytes);
    return;
  }
  // A long run of the file's bytes goes to the file as it is, not through
  // the buffer.
  Flush();
  Write(bytes);
}

void EncodedOutput::Text(std::u16string_view text) {
  switch (units_) {
    case Units::kUtf16LE:
    case Units::kUtf16BE:
      for (const char16_t c : text) {
        const char high = static_cast<char>(c >> 8);
        const char low = static_cast<char>(c & 0xFF);
        buffer_ += units_ == Units::kUtf16LE ? low : high;
        buffer_ += units_ == Units::kUtf16LE ? high : low;
      }
      break;
    case Units::kByte:
      if (converter_ == nullptr) {
        AppendUtf8(buffer_, text);
      } else {
        Convert(text);
      }
      break;
  }
  if (buffer_.size() >= kChunk) Flush();
}

void EncodedOutput::Flush() {
  Write(buffer_);
  buffer_.clear();
}

void EncodedOutput::Write(std::string_view bytes) {
  if (const int error = files::WriteAll(fd_, bytes); error != 0) {
    savefile::ThrowError(file_, files::ErrnoText(error));
  }
}

void EncodedOutput::Convert(std::u16string_view text) {
  const char16_t* source = text.data();
  const char16_t* const sourceEnd = text.data() + text.size();
  char out[1 << 14];
  for (;;) {
    char* target = out;
    UErrorCode status = U_ZERO_ERROR;
    ucnv_fromUnicode(converter_, &target, out + sizeof out, &source, sourceEnd, nullptr, false,
                     &status);
    buffer_.append(out, static_cast<std::size_t>(target - out));
    if (status == U_BUFFER_OVERFLOW_ERROR) continue;
    if (U_FAILURE(status)) {
      savefile::ThrowError(file_,
                           std::string("no se puede convertir el texto: ") + u_errorName(status));
    }
    return;
  }
}

std::optional<Storage> StorageOf(std::string_view bytes, const std::string& encoding) {
  const ByteOrder order = SniffByteOrder(bytes);
  Storage storage;
  storage.units = order.units;
  if (order.utf16Mark) storage.start = 1;
  const std::string key = EncodingKey(encoding);
  const bool utf16Name = key == "UTF16" || key == "UTF16LE" || key == "UTF16BE";
  if (storage.units != Units::kByte) {
    if (!utf16Name || bytes.size() % 2 != 0) return std::nullopt;
    return storage;
  }
  if (utf16Name) return std::nullopt;
  if (key == "UTF8") {
    if (order.utf8Mark) storage.start = 3;
    return storage;
  }
  storage.converter = SingleByteConverter(encoding);
  if (storage.converter == nullptr) return std::nullopt;
  return storage;
}

}  // namespace brivasto::sagadoc
