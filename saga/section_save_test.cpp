// A new root section saved into a copy of the document's bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "saga/root_layout.h"
#include "saga/saga.h"
#include "testsupport/test_support.h"

namespace brivasto {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// The section every case writes: <time-tables><s v="VALUE"/></time-tables>.
std::function<void(XmlSectionWriter&)> Section(std::u16string value = u"1") {
  return [value](XmlSectionWriter& out) {
    out.Open("time-tables");
    out.Open("s");
    out.Attribute("v", value);
    out.Close();
    out.Close();
  };
}

std::string SaveWithSection(const TempDir& dir, const std::string& bytes,
                            const std::function<void(XmlSectionWriter&)>& section = Section()) {
  const fs::path file = dir / "doc.xml";
  WriteFile(file, bytes);
  SaveWithNewRootSection(SagaDocument::Load(file, LoadScope::kRootElement), file, "time-tables",
                         section, {});
  return ReadFile(file);
}

std::string Utf16(const std::string& utf8, bool littleEndian) {
  std::string bytes = littleEndian ? "\xFF\xFE" : "\xFE\xFF";
  for (const char16_t unit : FromUtf8(utf8)) {
    const char low = static_cast<char>(unit & 0xFF);
    const char high = static_cast<char>(unit >> 8);
    bytes += littleEndian ? low : high;
    bytes += littleEndian ? high : low;
  }
  return bytes;
}

constexpr char kNewSection[] = "  <time-tables>\n    <s v=\"1\"/>\n  </time-tables>\n";

TEST(SaveWithNewRootSection, KeepsEveryOtherByte) {
  struct Case {
    const char* what;
    std::string before;
    std::string after;
  };
  const std::string section = kNewSection;
  const Case kCases[] = {
      {"end tag on a line of its own",
       "<?xml version=\"1.0\"?>\n<!-- c -->\n<document a='x > y'>\n  <b>t</b>\n</document>\n",
       "<?xml version=\"1.0\"?>\n<!-- c -->\n<document a='x > y'>\n  <b>t</b>\n" + section +
           "</document>\n"},
      {"old sections leave with their lines, nested and prefixed ones stay",
       "<document xmlns:p='urn:p'>\n  <time-tables><x/></time-tables>\n"
       "  <g><time-tables/></g>\n  <p:time-tables/>\n\t<time-tables\n a='1'/>  \n"
       "  <b/><time-tables/><c/>\n</document>",
       "<document xmlns:p='urn:p'>\n  <g><time-tables/></g>\n  <p:time-tables/>\n"
       "  <b/><c/>\n" +
           section + "</document>"},
      {"markup inside comments, CDATA, instructions and the document type",
       "<!DOCTYPE document [\n<!ENTITY e \"<!-- <time-tables/>]> -->\">\n<!-- don't ]> -->\n"
       "<?pi '?>\n]>\n<document><!-- <time-tables/> --><?pi <time-tables/>?>"
       "<a><![CDATA[</document><time-tables>]]></a>&e;<time-tables>x</time-tables></document>",
       "<!DOCTYPE document [\n<!ENTITY e \"<!-- <time-tables/>]> -->\">\n<!-- don't ]> -->\n"
       "<?pi '?>\n]>\n<document><!-- <time-tables/> --><?pi <time-tables/>?>"
       "<a><![CDATA[</document><time-tables>]]></a>&e;\n" +
           section + "</document>"},
      {"an empty root element", "<?xml version='1.0'?>\n<document a=\"/\" />\n",
       "<?xml version='1.0'?>\n<document a=\"/\" >\n" + section + "</document>\n"},
      {"line ends of the file",
       "\xEF\xBB\xBF<document>\r\n  <time-tables/>\r\n  <b/>\r\n  </document>\r\n",
       "\xEF\xBB\xBF<document>\r\n  <b/>\r\n  <time-tables>\r\n    <s v=\"1\"/>\r\n"
       "  </time-tables>\r\n  </document>\r\n"},
  };
  TempDir dir;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    try {
      EXPECT_EQ(SaveWithSection(dir, c.before), c.after);
    } catch (const TransferError& error) {
      ADD_FAILURE() << error.what();
    }
  }
}

TEST(SaveWithNewRootSection, WritesInTheDocumentsEncoding) {
  struct Case {
    const char* what;
    std::string before;
    std::string after;
  };
  // ñ fits every encoding here, € only windows-1252 and the Unicode ones,
  // and 😀 only the Unicode ones.
  const std::string body = "<document>\n</document>\n";
  const std::string utf8Section = "  <time-tables>\n    <s v=\"ñ€😀\"/>\n  </time-tables>\n";
  const Case kCases[] = {
      {"UTF-8", body, "<document>\n" + utf8Section + "</document>\n"},
      {"ISO-8859-1", "<?xml version='1.0' encoding='ISO-8859-1'?>\n" + body,
       "<?xml version='1.0' encoding='ISO-8859-1'?>\n<document>\n  <time-tables>\n"
       "    <s v=\"\xF1&#8364;&#128512;\"/>\n  </time-tables>\n</document>\n"},
      {"windows-1252", "<?xml version='1.0' encoding='windows-1252'?>\n" + body,
       "<?xml version='1.0' encoding='windows-1252'?>\n<document>\n  <time-tables>\n"
       "    <s v=\"\xF1\x80&#128512;\"/>\n  </time-tables>\n</document>\n"},
      {"UTF-16, little end first", Utf16("<?xml version='1.0' encoding='UTF-16'?>" + body, true),
       Utf16("<?xml version='1.0' encoding='UTF-16'?><document>\n" + utf8Section + "</document>\n",
             true)},
      {"UTF-16, big end first", Utf16("<?xml version='1.0' encoding='UTF-16'?>" + body, false),
       Utf16("<?xml version='1.0' encoding='UTF-16'?><document>\n" + utf8Section + "</document>\n",
             false)},
  };
  TempDir dir;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const std::string saved = SaveWithSection(dir, c.before, Section(u"ñ€😀"));
    EXPECT_EQ(saved, c.after);
    const SagaDocument reloaded = SagaDocument::Load(dir / "doc.xml");
    EXPECT_EQ(reloaded.SelectNodes("time-tables/s").at(0).Attribute("v"), u"ñ€😀");
  }
}

// An encoding whose bytes the copy cannot follow goes through the whole
// tree, with the same result for the reader.
TEST(SaveWithNewRootSection, OtherEncodingsGoThroughTheTree) {
  TempDir dir;
  const std::string before =
      "<?xml version='1.0' encoding='Shift_JIS'?>\n<document>\n  <time-tables/>\n  <a/>\n"
      "</document>\n";
  SaveWithSection(dir, before, Section(u"ñ"));
  const SagaDocument reloaded = SagaDocument::Load(dir / "doc.xml");
  EXPECT_EQ(reloaded.Encoding(), "Shift_JIS");
  std::string names;
  for (const XmlNode& child : reloaded.Root().ChildNodes()) names += child.Name() + ",";
  EXPECT_EQ(names, "a,time-tables,");
  EXPECT_EQ(reloaded.SelectNodes("time-tables/s").at(0).Attribute("v"), u"ñ");
}

// The fallback works from the bytes the document was loaded with, not from
// whatever the file holds by the time it is saved.
TEST(SaveWithNewRootSection, TheTreeComesFromTheBytesLoaded) {
  TempDir dir;
  const fs::path file = dir / "doc.xml";
  WriteFile(file, "<?xml version='1.0' encoding='Shift_JIS'?>\n<document><a/></document>\n");
  const SagaDocument document = SagaDocument::Load(file, LoadScope::kRootElement);
  WriteFile(file, "<?xml version='1.0' encoding='Shift_JIS'?>\n<document><b/></document>\n");
  const fs::path other = dir / "other.xml";  // not the file read, which has changed
  SaveWithNewRootSection(document, other, "time-tables", Section(), {});
  const SagaDocument saved = SagaDocument::Load(other);
  std::string names;
  for (const XmlNode& child : saved.Root().ChildNodes()) {
    names += child.Name() + ",";
  }
  EXPECT_EQ(names, "a,time-tables,");
}

// The scan of the markup on a byte buffer: what looks like a section inside
// a comment, a CDATA section, an attribute value or a deeper element is not
// one, in bytes and in UTF-16.
TEST(RootLayout, FindsOnlyTheRootsOwnSections) {
  const std::string xml =
      "<?xml version='1.0'?><!DOCTYPE document [<!ENTITY e '<t/>'>]>\n"
      "<document a='<t>'><!-- <t/> --><t/><x><t></t></x><![CDATA[<t>]]><t k=\"/>\">y</t>\n"
      "</document>";
  struct Case {
    const char* what;
    std::string bytes;
    sagadoc::Units units;
    std::size_t start;
  };
  std::string utf16 = Utf16(xml, true);
  const Case kCases[] = {{"bytes", xml, sagadoc::Units::kByte, 0},
                         {"UTF-16LE", utf16, sagadoc::Units::kUtf16LE, 1}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    const sagadoc::UnitView units(c.bytes, c.units);
    const sagadoc::RootLayout layout = sagadoc::ScanRootLayout(units, c.start, "t");
    const auto text = [&](std::size_t begin, std::size_t end) {
      std::string out;
      for (std::size_t i = begin; i < end; ++i) out += static_cast<char>(units[i]);
      return out;
    };
    EXPECT_EQ(text(layout.nameBegin, layout.nameEnd), "document");
    EXPECT_FALSE(layout.emptyTagSlash);
    EXPECT_EQ(text(layout.endTag, units.Size()), "</document>");
    ASSERT_EQ(layout.removed.size(), 2u);
    EXPECT_EQ(text(layout.removed[0].first, layout.removed[0].second), "<t/>");
    EXPECT_EQ(text(layout.removed[1].first, layout.removed[1].second), "<t k=\"/>\">y</t>");
  }
  EXPECT_THROW(
      sagadoc::ScanRootLayout(sagadoc::UnitView("<document><t>", sagadoc::Units::kByte), 0, "t"),
      TransferError);
}

TEST(XmlSectionWriter, EscapesAndRefusesWhatXmlCannotHold) {
  std::string text;  // UTF-8
  XmlSectionWriter writer([&](std::string_view piece) { text += piece; }, 0, true, u"\n");
  writer.Open("a");
  writer.Attribute("v", u"<&>\"'\t\r\n");
  writer.Attribute("w", std::u16string(u"x") + char16_t{0xD800} + u"y");
  writer.Attribute("z", u"\u00F1\u20AC\U0001F600\u007F");
  writer.Open("b");
  writer.Close();
  writer.Open("c");
  try {
    writer.Attribute("v", std::u16string(u"ok") + char16_t{0x1});
    ADD_FAILURE() << "written";
  } catch (const TransferError& error) {
    EXPECT_EQ(std::string(error.what()),
              "El valor del atributo \"v\" del elemento \"c\" contiene un carácter no admitido "
              "en XML (U+0001)");
  }
  writer.Close();
  writer.Close();
  writer.Finish();
  EXPECT_EQ(text,
            "<a v=\"&lt;&amp;&gt;&quot;'&#9;&#13;&#10;\" w=\"x\xEF\xBF\xBDy\" "
            "z=\"\xC3\xB1\xE2\x82\xAC\xF0\x9F\x98\x80\x7F\">\n  <b/>\n  <c/>\n</a>\n");
}

// A section that fails halfway changes nothing.
TEST(SaveWithNewRootSection, FailureLeavesTheFileAsItWas) {
  TempDir dir;
  const fs::path file = dir / "doc.xml";
  const std::string before = "<document>\n  <time-tables/>\n</document>\n";
  WriteFile(file, before);
  const SagaDocument document = SagaDocument::Load(file, LoadScope::kRootElement);
  bool replaced = false;
  EXPECT_THROW(SaveWithNewRootSection(
                   document, file, "time-tables",
                   [](XmlSectionWriter& out) {
                     out.Open("time-tables");
                     throw TransferError("SOLUC, registro 2");
                   },
                   [&] { replaced = true; }),
               TransferError);
  EXPECT_FALSE(replaced);
  EXPECT_EQ(ReadFile(file), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace brivasto
