// A new section written into a SAGA document without building either in
// memory: the file's bytes are copied as they are, the root's old sections of
// that name left out, and the new section is written as text before the
// root's end tag, in the document's encoding.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "files/files.h"
#include "saga/saga.h"
#include "saga/save_file.h"
#include "saga/xml_text.h"

namespace brivasto {
namespace fs = std::filesystem;

// --- XmlSectionWriter ------------------------------------------------------------

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

// --- The document's bytes ------------------------------------------------------------

namespace {

// How the document's characters are stored: one byte per markup character
// (UTF-8 and the single-byte encodings that keep ASCII as it is), or UTF-16
// in either byte order.
enum class Units { kByte, kUtf16LE, kUtf16BE };

// The file's bytes seen as a sequence of characters of markup: only ASCII
// characters are ever compared, so a byte or a UTF-16 unit is one position.
class UnitView {
 public:
  UnitView(std::string_view bytes, Units units) : bytes_(bytes), units_(units) {}
  std::size_t Width() const { return units_ == Units::kByte ? 1 : 2; }
  std::size_t Size() const { return bytes_.size() / Width(); }
  char32_t operator[](std::size_t i) const {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(bytes_[at]); };
    switch (units_) {
      case Units::kByte:
        return byte(i);
      case Units::kUtf16LE:
        return byte(2 * i) | (static_cast<char32_t>(byte(2 * i + 1)) << 8);
      case Units::kUtf16BE:
        return (static_cast<char32_t>(byte(2 * i)) << 8) | byte(2 * i + 1);
    }
    return 0;
  }
  bool StartsWith(std::size_t at, std::string_view text) const {
    if (at + text.size() > Size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if ((*this)[at + i] != static_cast<unsigned char>(text[i])) return false;
    }
    return true;
  }

 private:
  std::string_view bytes_;
  Units units_;
};

// Where things are in a well-formed document, in positions of a UnitView.
struct RootLayout {
  std::size_t nameBegin = 0;  // the root's name in its start tag
  std::size_t nameEnd = 0;
  // The root written as <name .../>: the position of its "/>".
  std::optional<std::size_t> emptyTagSlash;
  std::size_t endTag = 0;                                    // the "</" of the root's end tag
  std::vector<std::pair<std::size_t, std::size_t>> removed;  // [begin, end) of old sections
};

class LayoutScanner {
 public:
  LayoutScanner(const UnitView& units, std::string_view sectionName)
      : u_(units), sectionName_(sectionName) {}

  RootLayout Scan(std::size_t start) {
    RootLayout layout;
    std::size_t at = start;
    // Before the root: declaration, comments, processing instructions, the
    // document type declaration, white space.
    for (;;) {
      at = Find(at, "<");
      if (u_.StartsWith(at, "<?")) {
        at = After(at + 2, "?>");
      } else if (u_.StartsWith(at, "<!--")) {
        at = After(at + 4, "-->");
      } else if (u_.StartsWith(at, "<!")) {
        at = AfterDoctype(at + 2);
      } else {
        break;
      }
    }
    const Tag root = ReadTag(at);
    layout.nameBegin = root.nameBegin;
    layout.nameEnd = root.nameEnd;
    if (root.empty) {
      layout.emptyTagSlash = root.end - 2;
      return layout;
    }
    at = root.end;
    std::size_t depth = 1;  // elements open, the root included
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t sectionBegin = kNone;  // an old section open at the root
    for (;;) {
      at = Find(at, "<");
      if (u_.StartsWith(at, "<!--")) {
        at = After(at + 4, "-->");
      } else if (u_.StartsWith(at, "<![CDATA[")) {
        at = After(at + 9, "]]>");
      } else if (u_.StartsWith(at, "<?")) {
        at = After(at + 2, "?>");
      } else if (u_.StartsWith(at, "</")) {
        const std::size_t tagBegin = at;
        at = After(at + 2, ">");
        --depth;
        if (depth == 0) {
          layout.endTag = tagBegin;
          return layout;
        }
        if (depth == 1 && sectionBegin != kNone) {
          layout.removed.emplace_back(sectionBegin, at);
          sectionBegin = kNone;
        }
      } else {
        const Tag tag = ReadTag(at);
        const bool isSection = depth == 1 && NameIs(tag, sectionName_);
        if (tag.empty) {
          if (isSection) layout.removed.emplace_back(at, tag.end);
        } else {
          if (isSection) sectionBegin = at;
          ++depth;
        }
        at = tag.end;
      }
    }
  }

 private:
  struct Tag {
    std::size_t nameBegin = 0;
    std::size_t nameEnd = 0;
    std::size_t end = 0;  // just after its ">"
    bool empty = false;
  };

  [[noreturn]] static void Broken() {
    throw TransferError("El documento SAGA no tiene la estructura esperada al guardarlo.");
  }

  // The position of the next `text` from `at`.
  std::size_t Find(std::size_t at, std::string_view text) const {
    for (; at < u_.Size(); ++at) {
      if (u_[at] == static_cast<unsigned char>(text[0]) && u_.StartsWith(at, text)) return at;
    }
    Broken();
  }
  std::size_t After(std::size_t at, std::string_view text) const {
    return Find(at, text) + text.size();
  }
  std::size_t AfterQuoted(std::size_t at) const {  // `at` on the opening quote
    const char32_t quote = u_[at];
    for (++at; at < u_.Size(); ++at) {
      if (u_[at] == quote) return at + 1;
    }
    Broken();
  }
  static bool IsBlank(char32_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

  // A document type declaration, its internal subset included.
  std::size_t AfterDoctype(std::size_t at) const {
    bool inSubset = false;
    while (at < u_.Size()) {
      const char32_t c = u_[at];
      if (inSubset && u_.StartsWith(at, "<!--")) {
        at = After(at + 4, "-->");
      } else if (inSubset && u_.StartsWith(at, "<?")) {
        at = After(at + 2, "?>");
      } else if (c == '"' || c == '\'') {
        at = AfterQuoted(at);
      } else if (c == '[') {
        inSubset = true;
        ++at;
      } else if (c == ']') {
        inSubset = false;
        ++at;
      } else if (c == '>' && !inSubset) {
        return at + 1;
      } else {
        ++at;
      }
    }
    Broken();
  }

  // A start tag or an empty-element tag beginning at `at` ("<").
  Tag ReadTag(std::size_t at) const {
    Tag tag;
    tag.nameBegin = at + 1;
    at = tag.nameBegin;
    while (at < u_.Size() && !IsBlank(u_[at]) && u_[at] != '/' && u_[at] != '>') ++at;
    tag.nameEnd = at;
    while (at < u_.Size()) {
      const char32_t c = u_[at];
      if (c == '"' || c == '\'') {
        at = AfterQuoted(at);
      } else if (c == '>') {
        tag.end = at + 1;
        return tag;
      } else if (c == '/' && u_.StartsWith(at, "/>")) {
        tag.end = at + 2;
        tag.empty = true;
        return tag;
      } else {
        ++at;
      }
    }
    Broken();
  }

  bool NameIs(const Tag& tag, std::string_view name) const {
    if (tag.nameEnd - tag.nameBegin != name.size()) return false;
    return u_.StartsWith(tag.nameBegin, name);
  }

  const UnitView& u_;
  std::string_view sectionName_;
};

// Widens [begin, end) to whole lines when nothing but blanks shares its
// first and last line with it, so that taking it out leaves no empty line.
std::pair<std::size_t, std::size_t> WholeLines(const UnitView& u, std::size_t begin,
                                               std::size_t end, std::size_t start) {
  std::size_t lineBegin = begin;
  while (lineBegin > start && (u[lineBegin - 1] == ' ' || u[lineBegin - 1] == '\t')) --lineBegin;
  if (lineBegin > start && u[lineBegin - 1] != '\n') return {begin, end};
  std::size_t lineEnd = end;
  while (lineEnd < u.Size() && (u[lineEnd] == ' ' || u[lineEnd] == '\t')) ++lineEnd;
  if (lineEnd < u.Size() && u[lineEnd] == '\r') ++lineEnd;
  if (lineEnd >= u.Size() || u[lineEnd] != '\n') return {begin, end};
  return {lineBegin, lineEnd + 1};
}

// --- Output in the document's encoding ---------------------------------------------

struct ConverterClose {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterClose>;

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

// Buffered writes to the temporary file, text converted to the document's
// encoding.
class EncodedOutput {
 public:
  EncodedOutput(int fd, const fs::path& file, Units units, UConverter* converter)
      : fd_(fd), file_(file), units_(units), converter_(converter) {}

  void Bytes(std::string_view bytes) {
    buffer_.append(bytes);
    if (buffer_.size() >= kChunk) Flush();
  }

  void Text(std::u16string_view text) {
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

  void Flush() {
    if (const int error = files::WriteAll(fd_, buffer_); error != 0) {
      savefile::ThrowError(file_, files::ErrnoText(error));
    }
    buffer_.clear();
  }

 private:
  static constexpr std::size_t kChunk = 1 << 20;

  void Convert(std::u16string_view text) {
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

  int fd_;
  const fs::path& file_;
  Units units_;
  UConverter* converter_;
  std::string buffer_;
};

std::string EncodingKey(std::string_view encoding) {
  std::string key;
  for (const char c : encoding) {
    if (c == '-' || c == '_') continue;
    key += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  return key;
}

// The way the bytes hold characters, and where the markup starts (after a
// byte order mark); nullopt for an encoding this copy does not handle.
struct Storage {
  Units units = Units::kByte;
  std::size_t start = 0;   // in units
  ConverterPtr converter;  // single-byte encodings other than ASCII itself
};

std::optional<Storage> StorageOf(std::string_view bytes, const std::string& encoding) {
  const auto byte = [&](std::size_t at) {
    return at < bytes.size() ? static_cast<unsigned char>(bytes[at]) : 0x100u;
  };
  Storage storage;
  if (byte(0) == 0xFF && byte(1) == 0xFE) {
    storage.units = Units::kUtf16LE;
    storage.start = 1;
  } else if (byte(0) == 0xFE && byte(1) == 0xFF) {
    storage.units = Units::kUtf16BE;
    storage.start = 1;
  } else if (byte(0) == '<' && byte(1) == 0) {
    storage.units = Units::kUtf16LE;
  } else if (byte(0) == 0 && byte(1) == '<') {
    storage.units = Units::kUtf16BE;
  }
  const std::string key = EncodingKey(encoding);
  const bool utf16Name = key == "UTF16" || key == "UTF16LE" || key == "UTF16BE";
  if (storage.units != Units::kByte) {
    if (!utf16Name || bytes.size() % 2 != 0) return std::nullopt;
    return storage;
  }
  if (utf16Name) return std::nullopt;
  if (key == "UTF8") {
    if (byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) storage.start = 3;
    return storage;
  }
  storage.converter = SingleByteConverter(encoding);
  if (storage.converter == nullptr) return std::nullopt;
  return storage;
}

// The line end the file uses (the first one in it), else a line feed.
std::u16string NewlineOf(const UnitView& u, std::size_t start) {
  for (std::size_t i = start; i < u.Size(); ++i) {
    if (u[i] == '\n') return i > start && u[i - 1] == '\r' ? u"\r\n" : u"\n";
  }
  return u"\n";
}

// The same result for an encoding the byte copy does not handle: the whole
// tree, the old sections removed and the new one parsed into the root.
void SaveThroughTree(const SagaDocument& document, const fs::path& file,
                     std::string_view sectionName,
                     const std::function<void(XmlSectionWriter&)>& writeSection,
                     const std::function<void()>& beforeReplace) {
  SagaDocument whole = SagaDocument::Load(document.File());
  XmlNode root = whole.Root();
  for (XmlNode old = root.SelectSingleNode(sectionName); old;
       old = root.SelectSingleNode(sectionName)) {
    root.RemoveChild(old);
  }
  std::u16string text;
  XmlSectionWriter writer([&](std::u16string_view piece) { text += piece; }, 0, false, u"");
  writeSection(writer);
  writer.Finish();
  // The section on its own is a whole UTF-8 document; its element is
  // copied into the tree.
  const std::string utf8 = ToUtf8(text);
  auto* rootNode = static_cast<xmlNode*>(const_cast<void*>(root.Handle()));
  const std::unique_ptr<xmlDoc, void (*)(xmlDoc*)> section(
      xmlReadMemory(utf8.data(), static_cast<int>(utf8.size()), nullptr, "UTF-8",
                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
      xmlFreeDoc);
  xmlNode* sectionRoot = section == nullptr ? nullptr : xmlDocGetRootElement(section.get());
  xmlNode* added = sectionRoot == nullptr ? nullptr : xmlDocCopyNode(sectionRoot, rootNode->doc, 1);
  if (added == nullptr) {
    savefile::ThrowError(file, "no se puede añadir la sección " + std::string(sectionName));
  }
  xmlAddChild(rootNode, added);
  // Replaces only the version `document` read, which `whole` may not be.
  const files::FileIdentity identity = SagaDocumentSave::Save(
      whole, file, beforeReplace, SagaDocumentSave::Expected(document, file));
  SagaDocumentSave::Saved(document, file, identity);
}

}  // namespace

void SaveWithNewRootSection(const SagaDocument& document, const fs::path& file,
                            std::string_view sectionName,
                            const std::function<void(XmlSectionWriter&)>& writeSection,
                            const std::function<void()>& beforeReplace) {
  const std::string& bytes = document.SourceBytes();
  if (bytes.empty()) {
    throw TransferError("El documento SAGA " + document.File().string() +
                        " no se cargó con su contenido; no se puede guardar.");
  }
  std::optional<Storage> storage = StorageOf(bytes, document.Encoding());
  if (!storage) {
    SaveThroughTree(document, file, sectionName, writeSection, beforeReplace);
    return;
  }
  const UnitView units(bytes, storage->units);
  const RootLayout layout = LayoutScanner(units, sectionName).Scan(storage->start);
  const std::u16string newline = NewlineOf(units, storage->start);
  const std::size_t width = units.Width();

  const auto write = [&](int fd) {
    EncodedOutput output(fd, file, storage->units, storage->converter.get());
    std::size_t copied = 0;  // units of the file already copied or left out
    const auto copyTo = [&](std::size_t end) {
      output.Bytes(std::string_view(bytes).substr(copied * width, (end - copied) * width));
      copied = end;
    };
    for (const auto& [begin, end] : layout.removed) {
      const auto [from, to] = WholeLines(units, begin, end, storage->start);
      copyTo(std::max(from, copied));
      copied = to;
    }
    XmlSectionWriter writer([&](std::u16string_view text) { output.Text(text); }, 1, true, newline);
    if (layout.emptyTagSlash) {
      // <document .../> becomes <document ...>, the section, </document>.
      copyTo(*layout.emptyTagSlash);
      output.Text(u">" + newline);
      writeSection(writer);
      writer.Finish();
      output.Text(u"</");
      output.Bytes(std::string_view(bytes).substr(layout.nameBegin * width,
                                                  (layout.nameEnd - layout.nameBegin) * width));
      output.Text(u">");
      copied = *layout.emptyTagSlash + 2;
    } else {
      // Before the end tag's line when it stands alone on it, else on a
      // line of its own just before it.
      std::size_t at = layout.endTag;
      while (at > copied && (units[at - 1] == ' ' || units[at - 1] == '\t')) --at;
      const bool ownLine = at > storage->start && units[at - 1] == '\n';
      copyTo(ownLine ? at : layout.endTag);
      if (!ownLine) output.Text(newline);
      writeSection(writer);
      writer.Finish();
    }
    copyTo(units.Size());
    output.Flush();
  };
  const files::FileIdentity identity = savefile::ReplaceAtomically(
      file, write, "", SagaDocumentSave::Expected(document, file), beforeReplace);
  SagaDocumentSave::Saved(document, file, identity);
}

}  // namespace brivasto
