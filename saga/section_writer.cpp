// XmlSectionWriter: a new section written as text, element by element.
#include <string>
#include <string_view>
#include <utility>

#include "saga/saga.h"
#include "saga/xml_text.h"

namespace brivasto {

namespace {

constexpr std::size_t kFlushAt = 1 << 16;

void AppendAscii(std::u16string& out, std::string_view text) {
  for (const char c : text) out.push_back(static_cast<char16_t>(c));
}

}  // namespace

XmlSectionWriter::XmlSectionWriter(Output output, int level, bool indent, std::u16string newline)
    : output_(std::move(output)), level_(level), indent_(indent), newline_(std::move(newline)) {}

void XmlSectionWriter::Open(std::string_view name) {
  if (startTagPending_) {
    buffer_ += u'>';
    buffer_ += newline_;
  }
  if (buffer_.size() >= kFlushAt) Flush();
  if (indent_) {
    buffer_.append(2 * static_cast<std::size_t>(level_) + 2 * open_.size(), u' ');
  }
  buffer_ += u'<';
  AppendAscii(buffer_, name);
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
    std::u16string& buffer;
    std::size_t size;
    bool done = false;
    ~Rollback() {
      if (!done) buffer.resize(size);
    }
  } rollback{buffer_, before};
  buffer_ += u' ';
  AppendAscii(buffer_, name);
  buffer_ += u"=\"";
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char16_t c = value[i];
    switch (c) {
      case u'<':
        buffer_ += u"&lt;";
        continue;
      case u'>':
        buffer_ += u"&gt;";
        continue;
      case u'&':
        buffer_ += u"&amp;";
        continue;
      case u'"':
        buffer_ += u"&quot;";
        continue;
      case u'\n':
        buffer_ += u"&#10;";
        continue;
      case u'\r':
        buffer_ += u"&#13;";
        continue;
      case u'\t':
        buffer_ += u"&#9;";
        continue;
      default:
        break;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < value.size() && value[i + 1] >= 0xDC00 &&
        value[i + 1] <= 0xDFFF) {
      buffer_ += c;
      buffer_ += value[++i];
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) {  // a lone surrogate
      buffer_ += u'\uFFFD';
      continue;
    }
    if (!xmltext::IsXmlChar(c)) xmltext::ThrowNotXmlChar(name, open_.back(), c);
    buffer_ += c;
  }
  buffer_ += u'"';
  rollback.done = true;
}

void XmlSectionWriter::Close() {
  if (open_.empty()) throw TransferError("No hay ningún elemento XML abierto que cerrar");
  if (startTagPending_) {
    buffer_ += u"/>";
  } else {
    if (indent_) {
      buffer_.append(2 * static_cast<std::size_t>(level_) + 2 * (open_.size() - 1), u' ');
    }
    buffer_ += u"</";
    AppendAscii(buffer_, open_.back());
    buffer_ += u'>';
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
