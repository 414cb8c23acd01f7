// A new section written into a SAGA document without building either in
// memory: the file's bytes are copied as they are, the root's old sections of
// that name left out, and the new section is written as text before the
// root's end tag, in the document's encoding.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "files/files.h"
#include "saga/document_impl.h"
#include "saga/encoded_output.h"
#include "saga/root_layout.h"
#include "saga/saga.h"
#include "saga/save_file.h"

namespace brivasto {
namespace fs = std::filesystem;
using namespace sagadoc;

namespace {

// The same result for an encoding the byte copy does not handle: the whole
// tree parsed from the bytes already read, the old sections removed and the
// new one parsed into the root.
void SaveThroughTree(const SagaDocument& document, const fs::path& file,
                     std::string_view sectionName,
                     const std::function<void(XmlSectionWriter&)>& writeSection,
                     const std::function<void()>& beforeReplace) {
  SagaDocument whole = SagaDocumentAccess::LoadBytes(document.File(), document.SourceBytes());
  XmlNode root = whole.Root();
  for (XmlNode old = root.SelectSingleNode(sectionName); old;
       old = root.SelectSingleNode(sectionName)) {
    root.RemoveChild(old);
  }
  std::string utf8;
  XmlSectionWriter writer([&](std::string_view piece) { utf8 += piece; }, 0, false, u"");
  writeSection(writer);
  writer.Finish();
  // The section on its own is a whole UTF-8 document; its element is
  // copied into the tree.
  xmlNode* rootNode = XmlNodeAccess::Node(root);
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
  const RootLayout layout = ScanRootLayout(units, storage->start, sectionName);
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
    // The section's UTF-8 goes to a UTF-8 file as it is.
    const bool utf8 = storage->units == Units::kByte && storage->converter == nullptr;
    XmlSectionWriter writer(
        [&](std::string_view text) {
          if (utf8) {
            output.Bytes(text);
          } else {
            output.Text(FromUtf8(text));
          }
        },
        1, true, newline);
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
