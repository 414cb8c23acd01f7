// XmlSectionWriter: a new section written as text, element by element.
#include <string>
#include <string_view>
#include <utility>

#include "saga/saga.h"
#include "saga/xml_text.h"

namespace brivasto {

namespace {

constexpr std::size_t kFlushAt = 1 << 17;

// A character as UTF-8.
void AppendCharacter(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

XmlSectionWriter::XmlSectionWriter(Output output, int level, bool indent, std::u16string newline)
    : output_(std::move(output)), level_(level), indent_(indent), newline_(ToUtf8(newline)) {}

void XmlSectionWriter::Open(std::string_view name) {
  if (startTagPending_) {
    buffer_ += '>';
    buffer_ += newline_;
  }
  if (buffer_.size() >= kFlushAt) Flush();
  if (indent_) {
    buffer_.append(2 * static_cast<std::size_t>(level_) + 2 * open_.size(), ' ');
  }
  buffer_ += '<';
  buffer_ += name;
  open_.emplace_back(name);
  startTagPending_ = true;
}

void XmlSectionWriter::Attribute(std::string_view name, std::u16string_view value) {
  if (!startTagPending_) {
    throw TransferError("No se puede poner el atributo \"" + std::string(name) +
                        "\": no hay un elemento recién abierto");
  }
  // Nothing of the attribute stays when its value is refused.
  const std::size_t before = buffer_.size();
  struct Rollback {
    std::string& buffer;
    std::size_t size;
    bool done = false;
    ~Rollback() {
      if (!done) buffer.resize(size);
    }
  } rollback{buffer_, before};
  buffer_ += ' ';
  buffer_ += name;
  buffer_ += "=\"";
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char16_t c = value[i];
    switch (c) {
      case u'<':
        buffer_ += "&lt;";
        continue;
      case u'>':
        buffer_ += "&gt;";
        continue;
      case u'&':
        buffer_ += "&amp;";
        continue;
      case u'"':
        buffer_ += "&quot;";
        continue;
      case u'\n':
        buffer_ += "&#10;";
        continue;
      case u'\r':
        buffer_ += "&#13;";
        continue;
      case u'\t':
        buffer_ += "&#9;";
        continue;
      default:
        break;
    }
    if (c >= 0x20 && c < 0x80) {
      buffer_ += static_cast<char>(c);
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < value.size() && value[i + 1] >= 0xDC00 &&
        value[i + 1] <= 0xDFFF) {
      AppendCharacter(buffer_, 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
                                   (static_cast<char32_t>(value[++i]) - 0xDC00));
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) {  // a lone surrogate
      AppendCharacter(buffer_, 0xFFFD);
      continue;
    }
    if (!xmltext::IsXmlChar(c)) xmltext::ThrowNotXmlChar(name, open_.back(), c);
    AppendCharacter(buffer_, c);
  }
  buffer_ += '"';
  rollback.done = true;
}

void XmlSectionWriter::Close() {
  if (open_.empty()) throw TransferError("No hay ningún elemento XML abierto que cerrar");
  if (startTagPending_) {
    buffer_ += "/>";
  } else {
    if (indent_) {
      buffer_.append(2 * static_cast<std::size_t>(level_) + 2 * (open_.size() - 1), ' ');
    }
    buffer_ += "</";
    buffer_ += open_.back();
    buffer_ += '>';
  }
  buffer_ += newline_;
  startTagPending_ = false;
  open_.pop_back();
}

void XmlSectionWriter::Finish() {
  if (!open_.empty()) {
    throw TransferError("El elemento XML \"" + open_.back() + "\" no se ha cerrado");
  }
  Flush();
}

void XmlSectionWriter::Flush() {
  if (buffer_.empty()) return;
  output_(buffer_);
  buffer_.clear();
}

}  // namespace brivasto
