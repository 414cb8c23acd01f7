// Arbitrary bytes as a SAGA document: load, read the catalogue sections,
// check and export into a scratch exchange folder, then save. A document
// that loads must export or be refused with TransferError; the tables an
// export writes must open again, and a saved document must load again. A
// document that loads as a whole tree must also load as a stream, with the
// same catalogue sections, and take a new root section in a byte copy that
// loads again with the root's other children unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "export/export.h"
#include "fuzz/fuzz_support.h"
#include "saga/saga.h"
#include "tables/tables.h"

namespace {

[[noreturn]] void Broken(const char* what, const brivasto::TransferError& error) {
  std::fprintf(stderr, "%s: %s\n", what, error.what());
  std::abort();
}

void ReadBack(const std::filesystem::path& directory) {
  for (const brivasto::ExchangeTable* table :
       {&brivasto::kAsignomt, &brivasto::kProft, &brivasto::kAulat, &brivasto::kGrupost,
        &brivasto::kAsigt, &brivasto::kDiashorast}) {
    try {
      const brivasto::Table read = brivasto::Table::Open(directory, table->name, u'.');
      for (std::size_t record = 0; record < read.RecordCount(); ++record) {
        for (std::size_t field = 0; field < table->fields.size(); ++field) {
          (void)read.Text(record, field);
        }
      }
    } catch (const brivasto::TransferError& error) {
      Broken("a table the export wrote does not read back", error);
    }
  }
}

std::string Optional(const std::optional<std::u16string>& text) {
  return text ? "\"" + brivasto::ToUtf8(*text) + "\"" : "-";
}

// Everything the export reads from the sections, as one text.
std::string Described(const brivasto::CatalogueSections& sections) {
  std::string out;
  for (const auto& s : sections.subjects) {
    out += "s" + std::to_string(s.position) + Optional(s.id) + Optional(s.name) +
           std::to_string(s.attributeCount) + Optional(s.hours) + "\n";
  }
  for (const auto* items : {&sections.teachers, &sections.locations}) {
    for (const auto& i : *items) {
      out += "i" + std::to_string(i.position) + Optional(i.id) + Optional(i.name) + "\n";
    }
  }
  for (const auto& g : sections.groups) {
    out += "g" + std::to_string(g.position) + Optional(g.id) + Optional(g.regim) +
           Optional(g.name) + Optional(g.description) + "\n";
    for (const auto& a : g.subjects) {
      out += " a" + std::to_string(a.position) + Optional(a.id) + "\n";
      for (const auto& t : a.teachers) out += "  t" + std::to_string(t.position) + Optional(t.id);
    }
  }
  return out;
}

// The kinds and names of the root's children, `time-tables` elements left
// out and neighbouring texts counted as one.
std::vector<std::string> RootChildren(const brivasto::SagaDocument& document) {
  std::vector<std::string> names;
  for (const brivasto::XmlNode& child : document.Root().ChildNodes()) {
    const std::string name = child.Name();
    if (name == "time-tables") continue;
    if (name == "#text" && !names.empty() && names.back() == "#text") continue;
    names.push_back(name);
  }
  return names;
}

void CheckStreamedAndSpliced(const std::filesystem::path& file, const brivasto::SagaDocument& whole,
                             const std::filesystem::path& scratch) {
  brivasto::CatalogueSections storage;
  const std::string expected = Described(brivasto::ReadCatalogueSections(whole, storage));
  try {
    const brivasto::SagaDocument streamed =
        brivasto::SagaDocument::Load(file, brivasto::LoadScope::kCatalogueSections);
    brivasto::CatalogueSections streamedStorage;
    if (Described(brivasto::ReadCatalogueSections(streamed, streamedStorage)) != expected) {
      std::fprintf(stderr, "the streamed sections differ from the whole tree's\n");
      std::abort();
    }
  } catch (const brivasto::TransferError& error) {
    Broken("a document that loads whole does not load as a stream", error);
  }

  const std::filesystem::path spliced = scratch / "spliced.xml";
  std::filesystem::copy_file(file, spliced, std::filesystem::copy_options::overwrite_existing);
  try {
    brivasto::SaveWithNewRootSection(
        brivasto::SagaDocument::Load(spliced, brivasto::LoadScope::kRootElement), spliced,
        "time-tables",
        [](brivasto::XmlSectionWriter& out) {
          out.Open("time-tables");
          out.Open("s");
          out.Attribute("v", u"<&\"ñ€😀\n");
          out.Close();
          out.Close();
        },
        {});
  } catch (const brivasto::TransferError&) {
    return;  // e.g. an encoding libxml2 reads but cannot write
  }
  try {
    const brivasto::SagaDocument reloaded = brivasto::SagaDocument::Load(spliced);
    const auto sections = reloaded.Root().SelectNodes("time-tables");
    const auto children = reloaded.Root().ChildNodes();
    if (sections.size() != 1 || children.empty() || children.back() != sections[0] ||
        sections[0].SelectSingleNode("s").Attribute("v") != u"<&\"ñ€😀\n" ||
        RootChildren(reloaded) != RootChildren(whole)) {
      std::fprintf(stderr,
                   "the new section is not the root's only and last one, or the root's "
                   "other children changed\n");
      std::abort();
    }
  } catch (const brivasto::TransferError& error) {
    Broken("a document with a new section does not load again", error);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const brivasto::fuzz::ScratchDir scratch;
  const std::filesystem::path file = scratch.Path() / "saga.xml";
  brivasto::fuzz::WriteBytes(file, data, size);

  std::optional<brivasto::SagaDocument> document;
  try {
    document.emplace(brivasto::SagaDocument::Load(file));
  } catch (const brivasto::TransferError&) {
    return 0;
  }
  CheckStreamedAndSpliced(file, *document, scratch.Path());
  (void)document->Encoding();
  (void)document->Root().Text();
  (void)document->SelectNodes("/document/time-tables/time-table");

  brivasto::RunContext context;
  context.exchangeDirectory = scratch.Fresh("zwork");
  bool exported = false;
  try {
    brivasto::RunExportSteps(*document, context);
    exported = true;
  } catch (const brivasto::TransferError&) {
  }
  if (exported) ReadBack(context.exchangeDirectory);

  const std::filesystem::path saved = scratch.Path() / "saved.xml";
  try {
    document->Save(saved);
  } catch (const brivasto::TransferError&) {
    return 0;  // e.g. an encoding libxml2 reads but cannot write
  }
  try {
    (void)brivasto::SagaDocument::Load(saved);
  } catch (const brivasto::TransferError& error) {
    Broken("a saved document does not load again", error);
  }
  return 0;
}
