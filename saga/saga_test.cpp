#include "saga/saga.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libxml/tree.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "saga/document_impl.h"
#include "testsupport/test_support.h"

namespace brivasto {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// --- Helpers -------------------------------------------------------------------

fs::path Testdata(const std::string& name) {
  return testing::SourceDir() / "saga" / "testdata" / name;
}

std::string Utf16LeWithMark(const std::string& utf8) {
  std::string bytes = "\xFF\xFE";
  for (const char16_t unit : FromUtf8(utf8)) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

std::string Latin1(const std::string& utf8) {
  std::string bytes;
  for (const char16_t unit : FromUtf8(utf8)) bytes.push_back(static_cast<char>(unit));
  return bytes;
}

// Everything a document holds, node by node, so that two loads can be
// compared whatever the layout of their files.
void DumpNode(const xmlNode* node, int depth, std::string& out) {
  for (; node != nullptr; node = node->next) {
    out.append(static_cast<std::size_t>(depth) * 2, ' ');
    out += std::to_string(node->type) + " " +
           (node->name != nullptr ? reinterpret_cast<const char*>(node->name) : "");
    if (node->type == XML_DTD_NODE) {
      const auto* dtd = reinterpret_cast<const xmlDtd*>(node);
      if (dtd->ExternalID != nullptr)
        out += " public=" + std::string(reinterpret_cast<const char*>(dtd->ExternalID));
      if (dtd->SystemID != nullptr)
        out += " system=" + std::string(reinterpret_cast<const char*>(dtd->SystemID));
    }
    if (node->type == XML_ELEMENT_NODE) {
      for (const xmlAttr* a = node->properties; a != nullptr; a = a->next) {
        xmlChar* value = xmlNodeGetContent(reinterpret_cast<const xmlNode*>(a));
        out += std::string(" @") + reinterpret_cast<const char*>(a->name) + "=[" +
               reinterpret_cast<const char*>(value) + "]";
        xmlFree(value);
      }
    }
    if (node->content != nullptr && node->type != XML_ENTITY_DECL) {
      out += " [" + std::string(reinterpret_cast<const char*>(node->content)) + "]";
    }
    out += "\n";
    if (node->type == XML_ELEMENT_NODE || node->type == XML_DTD_NODE) {
      DumpNode(node->children, depth + 1, out);
    }
  }
}

std::string Dump(const SagaDocument& document) {
  const xmlNode* root = XmlNodeAccess::Node(document.Root());
  std::string out;
  DumpNode(root->doc->children, 0, out);
  return out;
}

// Changes the tree behind the document's back, as only tests do.
void SetAttribute(const XmlNode& element, const char* name, std::u16string_view value) {
  xmlSetProp(XmlNodeAccess::Node(element), reinterpret_cast<const xmlChar*>(name),
             reinterpret_cast<const xmlChar*>(ToUtf8(value).c_str()));
}

// Collects what libxml2 (or anything else) writes to stderr meanwhile.
class StderrCapture {
 public:
  StderrCapture() : file_(std::tmpfile()), saved_(::dup(2)) {
    std::fflush(stderr);
    ::dup2(::fileno(file_), 2);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  ~StderrCapture() {
    Restore();
    std::fclose(file_);
  }
  std::string Text() {
    Restore();
    std::rewind(file_);
    std::string text;
    for (int c = std::fgetc(file_); c != EOF; c = std::fgetc(file_))
      text.push_back(static_cast<char>(c));
    return text;
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }
  std::FILE* file_;
  int saved_;
};

std::string Opt(const std::optional<std::u16string>& value) {
  return value ? "\"" + ToUtf8(*value) + "\"" : "-";
}

std::vector<std::string> Describe(const std::vector<SagaSubject>& subjects) {
  std::vector<std::string> out;
  for (const auto& s : subjects) {
    out.push_back(std::to_string(s.position) + " " + Opt(s.id) + " " + Opt(s.name) + " " +
                  std::to_string(s.attributeCount) + " " + Opt(s.hours));
  }
  return out;
}

std::vector<std::string> Describe(const std::vector<SagaNamedItem>& items) {
  std::vector<std::string> out;
  for (const auto& i : items) {
    out.push_back(std::to_string(i.position) + " " + Opt(i.id) + " " + Opt(i.name));
  }
  return out;
}

std::vector<std::string> Describe(const std::vector<SagaGroup>& groups) {
  std::vector<std::string> out;
  for (const auto& g : groups) {
    out.push_back(std::to_string(g.position) + " " + Opt(g.id) + " " + Opt(g.regim) + " " +
                  Opt(g.name) + " " + Opt(g.description));
    for (const auto& s : g.subjects) {
      out.push_back("  " + std::to_string(s.position) + " " + Opt(s.id));
      for (const auto& t : s.teachers) {
        out.push_back("    " + std::to_string(t.position) + " " + Opt(t.id));
      }
    }
  }
  return out;
}

SagaDocument LoadText(const TempDir& dir, const std::string& xml,
                      LoadScope scope = LoadScope::kWholeTree) {
  const fs::path file = dir / "doc.xml";
  WriteFile(file, xml);
  return SagaDocument::Load(file, scope);
}

// The sections come out the same from the whole tree and from the stream.
constexpr LoadScope kSectionScopes[] = {LoadScope::kWholeTree, LoadScope::kCatalogueSections};
constexpr LoadScope kAllScopes[] = {LoadScope::kWholeTree, LoadScope::kCatalogueSections,
                                    LoadScope::kRootElement};

std::string ScopeName(LoadScope scope) {
  switch (scope) {
    case LoadScope::kWholeTree:
      return "whole tree";
    case LoadScope::kCatalogueSections:
      return "catalogue sections";
    case LoadScope::kRootElement:
      return "root element";
  }
  return "?";
}

// --- Catalogue sections --------------------------------------------------------

TEST(ReadSections, ExampleDocument) {
  for (const LoadScope scope : kSectionScopes) {
    SCOPED_TRACE(ScopeName(scope));
    const SagaDocument document = SagaDocument::Load(Testdata("example.xml"), scope);
    using Lines = std::vector<std::string>;
    EXPECT_EQ(Describe(ReadSubjects(document)),
              (Lines{"1 \"11\" \"Matemáticas I\" 3 \"4\"",
                     "2 \"12\" \"Lengua Castellana y Literatura\" 2 -"}));
    EXPECT_EQ(Describe(ReadTeachers(document)),
              (Lines{"1 \"21\" \"María José García López\"", "2 \"22\" \"Juan García\""}));
    EXPECT_EQ(Describe(ReadLocations(document)), (Lines{"1 \"31\" \"Aula 1\""}));
    // The group's first child is the assigned-subjects element: its text is empty.
    EXPECT_EQ(Describe(ReadGroups(document)),
              (Lines{"1 \"41\" \"M\" \"1ESO A\" \"\"", "  1 \"11\"", "    1 \"21\"", "  2 \"12\"",
                     "    1 \"22\""}));
  }
}

struct SectionCase {
  const char* what;
  const char* xml;
  std::vector<std::string> want;
};

TEST(ReadSections, WhereElementsCount) {
  const SectionCase kCases[] = {
      {"root with another name",
       "<documento><subjects><subject id='1' name='a'/></subjects></documento>",
       {}},
      {"no sections", "<document><other/></document>", {}},
      {"subjects at wrong places",
       "<document><subject id='x' name='x'/><subjects><subject id='1' name='a'/>"
       "<group><subject id='y' name='y'/></group></subjects>"
       "<other><subjects><subject id='z' name='z'/></subjects></other></document>",
       {"1 \"1\" \"a\" 2 -"}},
      {"names are case-sensitive",
       "<document><Subjects><subject id='x'/></Subjects><subjects><Subject "
       "id='y'/></subjects></document>",
       {}},
      {"two sections act as one",
       "<document><subjects><subject id='1' name='a'/></subjects><teachers/>"
       "<subjects><subject id='2' name='b'/><subject id='3' name='c'/></subjects></document>",
       {"1 \"1\" \"a\" 2 -", "2 \"2\" \"b\" 2 -", "3 \"3\" \"c\" 2 -"}},
      {"third attribute of another name, missing ones",
       "<document><subjects><subject id='1' name='a' code='X'/><subject id='2'/>"
       "<subject name='n' id='3' hours=''/><subject hours=' 5 ' id='4' name='d'><x/></subject>"
       "</subjects></document>",
       {"1 \"1\" \"a\" 3 -", "2 \"2\" - 1 -", "3 \"3\" \"n\" 3 \"\"", "4 \"4\" \"d\" 3 \"5\""}},
  };
  TempDir dir;
  for (const LoadScope scope : kSectionScopes) {
    for (const auto& c : kCases) {
      SCOPED_TRACE(ScopeName(scope) + ": " + c.what);
      EXPECT_EQ(Describe(ReadSubjects(LoadText(dir, c.xml, scope))), c.want);
    }
  }
}

TEST(ReadSections, FirstChildAndNestedAssignments) {
  TempDir dir;
  for (const LoadScope scope : kSectionScopes) {
    SCOPED_TRACE(ScopeName(scope));
    const SagaDocument document = LoadText(
        dir,
        "<!DOCTYPE document [<!ENTITY name 'Ana &#x20;'>]>\n"
        "<document>"
        "<teachers><teacher id='1'/><teacher id='2'><!-- nota --><b>Ana</b></teacher>"
        "<teacher id='3' x='y'><b> Luis <i>Gil</i> </b>tail</teacher>\n  "
        "<teacher id='&name;'>\n  <b>\n    &name;<i>Gil</i>\n  </b>\n</teacher></teachers>"
        "<locations><location> Aula <![CDATA[ 2 ]]></location></locations>"
        "<groups>"
        "<group id=' 7 ' regim='D ' name='2BACH B'>  Bachillerato  <assigned-subjects>"
        "<assigned-teacher id='bad1'/>"
        "<assigned-subject id=' s1 '><assigned-teacher id='bad2'/>"
        "<assigned-teachers><assigned-teacher id='t1'/><assigned-teacher/></assigned-teachers>"
        "<assigned-teachers><assigned-teacher id='t3'/></assigned-teachers>"
        "</assigned-subject><assigned-subject id='s2'/></assigned-subjects>"
        "<assigned-teacher id='bad3'/><assigned-subjects><assigned-subject "
        "id='s3'/></assigned-subjects>"
        "</group>"
        "<group/>"
        "</groups></document>",
        scope);
    using Lines = std::vector<std::string>;
    // The first child node counts whatever its kind: no child, a comment, an
    // element; text nodes of white space alone are not there, entities are
    // read as the text they stand for.
    EXPECT_EQ(
        Describe(ReadTeachers(document)),
        (Lines{"1 \"1\" -", "2 \"2\" \"nota\"", "3 \"3\" \"Luis Gil\"", "4 \"Ana\" \"Ana  Gil\""}));
    EXPECT_EQ(Describe(ReadLocations(document)), (Lines{"1 - \"Aula\""}));
    EXPECT_EQ(Describe(ReadGroups(document)),
              (Lines{"1 \"7\" \"D\" \"2BACH B\" \"Bachillerato\"", "  1 \"s1\"", "    1 \"t1\"",
                     "    2 -", "    3 \"t3\"", "  2 \"s2\"", "  3 \"s3\"", "2 - - - -"}));
  }
}

// The catalogue sections read from the parser's events equal those read from
// the nodes of the whole tree, whether the events can be read alone or the
// element needs its nodes (a comment, CDATA, an entity, a DTD default).
TEST(ReadSections, StreamedEqualsWholeTree) {
  const char* const kDocuments[] = {
      // First child: text, blank text then an element, text runs inside the
      // first element at any depth, text after it.
      "<document><teachers><teacher id='1'>  Ana  Gil </teacher><teacher id='2'>\n  <b>x\n</b>"
      "</teacher><teacher id='3'> \n <b> Luis <i>Gil</i>\n \t<i> </i> Pe</b>tail<c>no</c></teacher>"
      "<teacher id='4'>\n\t </teacher><teacher id='5'><b/>late</teacher><teacher/></teachers>"
      "<locations><location id=' 9 '>Aula\t1\r\n</location><location id=''><x><y/></x></location>"
      "</locations></document>",
      // Groups: description, assignments at the right and wrong places,
      // prefixes and namespaces.
      "<document xmlns='urn:d' xmlns:p='urn:p'><groups>"
      "<group id='7' regim=' D' name='1ESO A' p:id='no'>Primero<assigned-subjects>"
      "<assigned-subject id='s1'><assigned-teachers><assigned-teacher id='t1'/>"
      "<p:assigned-teacher id='t2'/><assigned-teacher p:id='t3'/></assigned-teachers>"
      "<assigned-teacher id='bad'/></assigned-subject><p:assigned-subject id='s2'/>"
      "<assigned-subject/></assigned-subjects><assigned-subjects><x><assigned-subject id='s9'/>"
      "</x><assigned-subject id='s3'>text<assigned-teachers/><assigned-teachers>"
      "<assigned-teacher id='t4'/></assigned-teachers></assigned-subject></assigned-subjects>"
      "</group><group id='8'><assigned-subjects> x </assigned-subjects>after</group>"
      "<group id='9'>   </group></groups>"
      "<subjects><subject id='1' name='a' p:hours='3'/><subject p:id='1' name='b'/></subjects>"
      "</document>",
      // References in values and text: characters, the predefined entities.
      "<document><subjects><subject id='a&amp;b' name=' x &#38;&#x26; &lt;y&gt; &#233;&#x1F600; '"
      " hours='&#32;4 '/><subject id='&#9;1&#10;' name='a\tb'/></subjects><teachers>"
      "<teacher id='1'>R &amp; D &#x41;&lt;</teacher></teachers></document>",
      // What needs the nodes: a comment, CDATA, an instruction, a general
      // entity in text and in a value, an attribute the DTD supplies.
      "<!DOCTYPE document [<!ENTITY e 'E'><!ATTLIST subject hours CDATA '9'>]>"
      "<document><subjects><subject id='1' name='a'/></subjects><teachers>"
      "<teacher id='1'><!-- c -->x</teacher><teacher id='2'><![CDATA[ y ]]></teacher>"
      "<teacher id='3'><?p q?>z</teacher><teacher id='4'>a&e;b</teacher>"
      "<teacher id='&e;'>w</teacher></teachers></document>",
      "<!DOCTYPE document [<!ENTITY e 'E'>]><document><groups><group id='1' name='&e;'>"
      "<assigned-subjects><assigned-subject id='x'/></assigned-subjects></group></groups>"
      "</document>",
  };
  TempDir dir;
  for (const char* xml : kDocuments) {
    SCOPED_TRACE(xml);
    const SagaDocument tree = LoadText(dir, xml, LoadScope::kWholeTree);
    const SagaDocument streamed = LoadText(dir, xml, LoadScope::kCatalogueSections);
    EXPECT_EQ(Describe(ReadSubjects(streamed)), Describe(ReadSubjects(tree)));
    EXPECT_EQ(Describe(ReadTeachers(streamed)), Describe(ReadTeachers(tree)));
    EXPECT_EQ(Describe(ReadLocations(streamed)), Describe(ReadLocations(tree)));
    EXPECT_EQ(Describe(ReadGroups(streamed)), Describe(ReadGroups(tree)));
  }
}

// --- Paths, nodes, text ------------------------------------------------------------

TEST(SelectNodes, StepsFromDocumentOrElement) {
  TempDir dir;
  const SagaDocument document = LoadText(
      dir,
      "<document><a id='1'><b id='1b'/><c/><b id='1b2'/></a><a id='2'><b id='2b'/></a></document>");
  const auto ids = [](const std::vector<XmlNode>& nodes) {
    std::string out;
    for (const auto& n : nodes) out += ToUtf8(n.Attribute("id").value_or(u"?")) + ",";
    return out;
  };
  EXPECT_EQ(ids(document.SelectNodes("/document/a/b")), "1b,1b2,2b,");
  EXPECT_EQ(ids(document.SelectNodes("a/b")), "1b,1b2,2b,");
  EXPECT_EQ(ids(document.SelectNodes("/a/b")), "");
  EXPECT_EQ(ids(document.SelectNodes("/document")), "?,");
  const XmlNode second = document.SelectNodes("a")[1];
  EXPECT_EQ(ids(second.SelectNodes("b")), "2b,");
  EXPECT_EQ(ids(second.SelectNodes("/document/a")), "1,2,");
  EXPECT_EQ(ToUtf8(*second.SelectSingleNode("b").Attribute("id")), "2b");
  EXPECT_FALSE(second.SelectSingleNode("c"));
  EXPECT_TRUE(XmlNode().SelectNodes("a").empty());
  EXPECT_THROW(document.SelectNodes("/document//a"), TransferError);
}

TEST(Load, DropsTextNodesHoldingOnlyWhiteSpace) {
  TempDir dir;
  const SagaDocument document =
      LoadText(dir,
               "<document>\n  <a>  x  </a>\n\t<b> \r\n\t</b><c><![CDATA[   ]]></c>"
               "<d>  <e/>  </d><f at=' v '>a &amp; b<!-- c --> <?p d?>z</f></document>");
  std::string names;
  for (const auto& n : document.Root().ChildNodes()) names += n.Name() + ",";
  EXPECT_EQ(names, "a,b,c,d,f,");
  const XmlNode root = document.Root();
  EXPECT_EQ(root.SelectSingleNode("a").FirstChild().Text(), u"  x  ");
  EXPECT_FALSE(root.SelectSingleNode("b").FirstChild());
  EXPECT_EQ(root.SelectSingleNode("c").FirstChild().Name(), "#cdata-section");
  EXPECT_EQ(root.SelectSingleNode("c").Text(), u"   ");
  EXPECT_EQ(root.SelectSingleNode("d").ChildNodes().size(), 1u);
  const XmlNode f = root.SelectSingleNode("f");
  EXPECT_EQ(f.Text(), u"a & bz");  // comments and processing instructions hold no text
  EXPECT_EQ(f.Attribute("at"), u" v ");
  EXPECT_EQ(f.Attribute("At"), std::nullopt);
  EXPECT_EQ(f.AttributeCount(), 1u);
}

// --- Load errors and unsafe input ------------------------------------------------

TEST(Load, RejectsWhatIsNotWellFormed) {
  struct Case {
    const char* what;
    std::string bytes;
    const char* where;
  };
  const Case kCases[] = {
      {"empty file", "", "(línea 1, columna 1): "},
      {"mismatched end tag", "<document>\n  <a>\n</document>\n", "(línea 3, columna 12): "},
      {"unquoted attribute", "<?xml version='1.0'?>\n<document>\n<a b=1/></document>",
       "(línea 3, columna 6): "},
      {"text after the root", "<document/>\nx", "(línea 2, columna 1): "},
      {"bytes not in the declared encoding",
       "<?xml version='1.0' encoding='UTF-8'?><document>\xE1</document>",
       "(línea 1, columna 49): "},
  };
  TempDir dir;
  const fs::path file = dir / "bad.xml";
  for (const LoadScope scope : kAllScopes) {
    for (const auto& c : kCases) {
      SCOPED_TRACE(ScopeName(scope) + ": " + c.what);
      WriteFile(file, c.bytes);
      StderrCapture stderrText;
      try {
        SagaDocument::Load(file, scope);
        ADD_FAILURE() << "loaded";
      } catch (const TransferError& e) {
        const std::string message = e.what();
        const std::string start =
            "El archivo " + file.string() + " no es un documento XML válido " + c.where;
        EXPECT_EQ(message.substr(0, start.size()), start) << message;
        EXPECT_GT(message.size(), start.size()) << message;
        EXPECT_NE(message.back(), '\n');
      }
      EXPECT_EQ(stderrText.Text(), "");
    }
  }
}

// ASCII text in UTF-16, low byte first.
std::string Utf16Le(std::string_view ascii) {
  std::string bytes;
  for (const char c : ascii) {
    bytes.push_back(c);
    bytes.push_back('\0');
  }
  return bytes;
}

// Documents that parse, but not into what their bytes say: refused in
// every scope, in Spanish, before anything is read from them.
TEST(Load, RefusesWhatItCannotReadExactly) {
  std::string deep = "<document>";
  for (int i = 0; i < 300; ++i) deep += "<a>";
  for (int i = 0; i < 300; ++i) deep += "</a>";
  deep += "</document>";
  std::string shallow = "<document>";
  for (int i = 0; i < 200; ++i) shallow += "<a>";
  for (int i = 0; i < 200; ++i) shallow += "</a>";
  shallow += "</document>";
  const std::string body =
      "<document><teachers><teacher id='1'>Mar\xC3\xAD"
      "a</teacher></teachers>"
      "</document>";
  struct Case {
    const char* what;
    std::string bytes;
    const char* error;  // after "El archivo FILE no se admite: "; null: loads
  };
  const Case kCases[] = {
      {"UTF-8 mark, Latin-1 declared",
       "\xEF\xBB\xBF<?xml version='1.0' encoding='ISO-8859-1'?>" + body,
       "empieza con la marca de orden de bytes de UTF-8, pero su declaración XML dice "
       "encoding=\"ISO-8859-1\""},
      {"UTF-8 mark, UTF-8 declared",
       "\xEF\xBB\xBF<?xml version=\"1.0\" encoding = \"utf-8\" ?>" + body, nullptr},
      {"UTF-8 mark, no declaration", "\xEF\xBB\xBF" + body, nullptr},
      {"UTF-16 mark, UTF-8 declared",
       "\xFF\xFE" + Utf16Le("<?xml version='1.0' encoding='UTF-8'?><document/>"),
       "empieza con la marca de orden de bytes de UTF-16, pero su declaración XML dice "
       "encoding=\"UTF-8\""},
      {"nesting deeper than 256 elements", deep,
       "sus elementos se anidan en más de 256 niveles (línea 1, columna"},
      {"nesting of 200 elements", shallow, nullptr},
      {"an entity that makes an element",
       "<!DOCTYPE document [<!ENTITY tt '<time-tables/>'><!ENTITY n 'Mar&#237;a'>]>"
       "<document>&tt;</document>",
       "su DTD declara entidades que crean elementos (\"tt\")"},
      {"entities of text, a comment",
       "<!DOCTYPE document [<!ENTITY c '<!-- x -->'>]><document>&c;</document>", nullptr},
  };
  TempDir dir;
  const fs::path file = dir / "doc.xml";
  for (const LoadScope scope : kAllScopes) {
    for (const auto& c : kCases) {
      SCOPED_TRACE(ScopeName(scope) + ": " + c.what);
      WriteFile(file, c.bytes);
      StderrCapture stderrText;
      try {
        const SagaDocument document = SagaDocument::Load(file, scope);
        EXPECT_EQ(c.error, nullptr) << "loaded";
        if (scope != LoadScope::kRootElement && c.bytes.find("teacher") != std::string::npos) {
          CatalogueSections storage;
          const CatalogueSections& sections = ReadCatalogueSections(document, storage);
          ASSERT_EQ(sections.teachers.size(), 1u);
          EXPECT_EQ(sections.teachers[0].name, u"María");
        }
      } catch (const TransferError& e) {
        ASSERT_NE(c.error, nullptr) << e.what();
        const std::string start = "El archivo " + file.string() + " no se admite: " + c.error;
        EXPECT_EQ(std::string(e.what()).substr(0, start.size()), start) << e.what();
      }
      EXPECT_EQ(stderrText.Text(), "");
    }
  }
}

TEST(Load, MissingOrUnreadableFileNamesIt) {
  TempDir dir;
  for (const fs::path& file : {dir / "none.xml", dir.Path()}) {
    try {
      SagaDocument::Load(file);
      ADD_FAILURE() << "loaded " << file;
    } catch (const TransferError& e) {
      EXPECT_NE(std::string(e.what()).find(file.string()), std::string::npos) << e.what();
    }
  }
}

TEST(Load, NeverFetchesExternalEntities) {
  const std::string secretPath = "file:///etc/passwd";
  const std::string kDocuments[] = {
      "<!DOCTYPE document [<!ENTITY x SYSTEM '" + secretPath +
          "'>]>"
          "<document><teacher id='1'>&x;</teacher><a b='c'>&x;</a></document>",
      "<!DOCTYPE document [<!ENTITY % p SYSTEM '" + secretPath + "'> %p;]><document>t</document>",
      "<!DOCTYPE document SYSTEM '" + secretPath + "'><document>t</document>",
      "<document xmlns:xi='http://www.w3.org/2001/XInclude'><xi:include href='" + secretPath +
          "' parse='text'/></document>",
  };
  const std::string secret = ReadFile("/etc/passwd").substr(0, 8);
  ASSERT_FALSE(secret.empty());
  TempDir dir;
  for (const auto& xml : kDocuments) {
    SCOPED_TRACE(xml);
    StderrCapture stderrText;
    try {
      const SagaDocument document = LoadText(dir, xml);
      EXPECT_EQ(ToUtf8(document.Root().Text()).find(secret), std::string::npos);
      for (const auto& t : ReadTeachers(document))
        EXPECT_EQ(Opt(t.name).find(secret), std::string::npos);
      document.Save(dir / "out.xml");
      EXPECT_EQ(ReadFile(dir / "out.xml").find(secret), std::string::npos);
    } catch (const TransferError&) {
      // Refusing the document is as good as not fetching.
    }
    EXPECT_EQ(stderrText.Text(), "");
  }
}

TEST(Load, EntityExpansionIsBounded) {
  std::string laughs = "<?xml version='1.0'?>\n<!DOCTYPE document [\n<!ENTITY lol0 'lol'>\n";
  for (int i = 1; i <= 9; ++i) {
    laughs += "<!ENTITY lol" + std::to_string(i) + " '";
    for (int j = 0; j < 10; ++j) laughs += "&lol" + std::to_string(i - 1) + ";";
    laughs += "'>\n";
  }
  laughs += "]>\n<document>&lol9;</document>\n";
  // 100 kB of text referred to 3000 times: a 110 kB file standing for 300 MB.
  const std::string big = "<!DOCTYPE document [<!ENTITY a '" + std::string(100000, 'a') + "'>]>";
  std::string manyRefs;
  for (int i = 0; i < 3000; ++i) manyRefs += "&a;";
  struct Case {
    const char* what;
    std::string xml;
    const char* error;  // the start of the message after the file name; null: loads
  };
  const Case kCases[] = {
      {"billion laughs", laughs, " no es un documento XML válido (línea 14, columna 17): "},
      {"large entity in text", big + "<document>" + manyRefs + "</document>",
       " no se admite: sus entidades internas se expanden"},
      {"large entity in an attribute", big + "<document at='" + manyRefs + "'/>",
       " no se admite: sus entidades internas se expanden"},
      {"small entity",
       "<!DOCTYPE document [<!ENTITY e 'x&#x20;y'>]><document at='&e;&e;'>&e;</document>", nullptr},
  };
  TempDir dir;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    StderrCapture stderrText;
    try {
      const SagaDocument document = LoadText(dir, c.xml);
      EXPECT_EQ(c.error, nullptr) << "loaded";
      EXPECT_EQ(document.Root().Text(), u"x y");
      EXPECT_EQ(document.Root().Attribute("at"), u"x yx y");
    } catch (const TransferError& e) {
      ASSERT_NE(c.error, nullptr) << e.what();
      const std::string start = "El archivo " + (dir / "doc.xml").string() + c.error;
      EXPECT_EQ(std::string(e.what()).substr(0, start.size()), start) << e.what();
    }
    EXPECT_EQ(stderrText.Text(), "");
  }
}

// Read as a stream, only the elements the export reads are expanded: their
// references count, others cost nothing.
TEST(Load, EntityExpansionIsBoundedInTheStreamedSections) {
  const std::string big = "<!DOCTYPE document [<!ENTITY a '" + std::string(100000, 'a') + "'>]>";
  std::string manyRefs;
  for (int i = 0; i < 3000; ++i) manyRefs += "&a;";
  TempDir dir;
  for (const std::string& xml :
       {big + "<document><teachers><teacher id='1'>" + manyRefs +
            "</teacher></teachers></document>",
        big + "<document><groups><group id='1'><assigned-subjects><assigned-subject id='" +
            manyRefs + "'/></assigned-subjects></group></groups></document>"}) {
    StderrCapture stderrText;
    try {
      LoadText(dir, xml, LoadScope::kCatalogueSections);
      ADD_FAILURE() << "loaded";
    } catch (const TransferError& e) {
      EXPECT_NE(std::string(e.what()).find(" no se admite: sus entidades internas se expanden"),
                std::string::npos)
          << e.what();
    }
    EXPECT_EQ(stderrText.Text(), "");
  }
  const SagaDocument document = LoadText(
      dir, big + "<document at='" + manyRefs + "'><other>" + manyRefs + "</other></document>",
      LoadScope::kCatalogueSections);
  EXPECT_EQ(document.Root().Name(), "document");
}

TEST(Load, RootElementScopeKeepsTheRootAndTheBytes) {
  TempDir dir;
  const std::string xml =
      "<?xml version='1.0' encoding='ISO-8859-1'?>\n<document v='\xF1'><a/></document>\n";
  const SagaDocument document = LoadText(dir, xml, LoadScope::kRootElement);
  EXPECT_EQ(document.Root().Name(), "document");
  EXPECT_EQ(document.Root().Attribute("v"), u"ñ");
  EXPECT_TRUE(document.Root().ChildNodes().empty());
  EXPECT_EQ(document.SourceBytes(), xml);
  EXPECT_EQ(document.Encoding(), "ISO-8859-1");
  EXPECT_EQ(document.StreamedSections(), nullptr);
}

// --- Save ------------------------------------------------------------------------

TEST(Save, KeepsEncodingAndWritesWhatItCannotHoldAsReferences) {
  struct Case {
    const char* what;
    std::string bytes;
    const char* encoding;
    std::string savedStart;
    std::string savedHas;
  };
  const std::string body = "<document><t id='1'>Begoña Núñez Güell €</t></document>";
  const Case kCases[] = {
      {"UTF-8 declared", "<?xml version='1.0' encoding='UTF-8'?>" + body, "UTF-8",
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<document>", "Begoña Núñez Güell €"},
      {"UTF-8 without declaration", "\n" + body, "UTF-8", "<document>", "Begoña Núñez Güell €"},
      {"UTF-8 with mark", "\xEF\xBB\xBF<?xml version='1.0' standalone='yes'?>" + body, "UTF-8",
       "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<document>",
       "Begoña Núñez Güell €"},
      {"UTF-16 with mark", Utf16LeWithMark(body), "UTF-16", std::string("\xFF\xFE<\0d\0", 6),
       std::string("\xF1\0", 2)},
      {"UTF-16 declared", Utf16LeWithMark("<?xml version='1.0' encoding='UTF-16'?>" + body),
       "UTF-16", std::string("\xFF\xFE<\0?\0x\0", 8), std::string("\xF1\0", 2)},
      {"ISO-8859-1",
       Latin1("<?xml version='1.0' encoding='ISO-8859-1'?><document><t id='1'>Begoña Núñez "
              "Güell</t></document>"),
       "ISO-8859-1", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<document>",
       "&#8364; \xF1\">Bego\xF1"
       "a"},
  };
  TempDir dir;
  const std::u16string added = u"中 𝄞 € ñ";
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const fs::path file = dir / "doc.xml";
    WriteFile(file, c.bytes);
    SagaDocument document = SagaDocument::Load(file);
    EXPECT_EQ(document.Encoding(), c.encoding);
    EXPECT_EQ(document.Root().Text().substr(0, 6), u"Begoña");
    SetAttribute(document.Root().SelectSingleNode("t"), "added", added);
    document.Save(file);
    const std::string saved = ReadFile(file);
    EXPECT_EQ(saved.substr(0, c.savedStart.size()), c.savedStart);
    EXPECT_NE(saved.find(c.savedHas), std::string::npos) << saved;
    const SagaDocument reloaded = SagaDocument::Load(file);
    EXPECT_EQ(reloaded.Encoding(), c.encoding);
    EXPECT_EQ(Dump(reloaded), Dump(document));
    EXPECT_EQ(reloaded.Root().SelectSingleNode("t").Attribute("added"), added);
  }
}

TEST(Save, Windows1252RoundTripKeepsEverything) {
  TempDir dir;
  const fs::path file = dir / "saga.xml";
  fs::copy_file(Testdata("windows-1252.xml"), file);
  SagaDocument document = SagaDocument::Load(file);
  EXPECT_EQ(document.Encoding(), "windows-1252");
  EXPECT_EQ(Describe(ReadTeachers(document)),
            (std::vector<std::string>{"1 \"21\" \"Begoña Núñez Güell\"",
                                      "2 \"22\" \"Ángel Pérez Ibáñez\""}));
  EXPECT_EQ(document.Root().SelectSingleNode("notes").Text(), u"cuota < 5 € & más");
  const std::string before = Dump(document);
  StderrCapture stderrText;
  document.Save(file);
  const std::string saved = ReadFile(file);
  EXPECT_EQ(saved.substr(0, 45), "<?xml version=\"1.0\" encoding=\"windows-1252\"?>");
  EXPECT_NE(saved.find("Bego\xF1"
                       "a N\xFA\xF1"
                       "ez G\xFC"
                       "ell"),
            std::string::npos);
  EXPECT_NE(saved.find("\xC1ngel"), std::string::npos);
  EXPECT_NE(saved.find("<![CDATA[cuota < 5 \x80 & m\xE1s]]>"), std::string::npos);
  EXPECT_EQ(saved.find("\xC3"), std::string::npos);  // no UTF-8 sequences
  const SagaDocument reloaded = SagaDocument::Load(file);
  EXPECT_EQ(Dump(reloaded), before);  // the DOCTYPE, comment, PI and CDATA included

  SetAttribute(document.Root().SelectSingleNode("teachers/teacher"), "x", u"中𝄞");
  document.Save(file);
  EXPECT_NE(ReadFile(file).find("x=\"&#20013;&#119070;\""), std::string::npos);
  EXPECT_EQ(SagaDocument::Load(file).SelectNodes("teachers/teacher")[0].Attribute("x"), u"中𝄞");
  EXPECT_EQ(stderrText.Text(), "");
}

TEST(Save, TreeWithoutARemovedChildRoundTrips) {
  TempDir dir;
  const fs::path file = dir / "saga.xml";
  SagaDocument document =
      LoadText(dir, "<document><time-tables old='1'><day/></time-tables><groups/></document>");
  XmlNode root = document.Root();
  const XmlNode tables = root.SelectSingleNode("time-tables");
  EXPECT_THROW(root.RemoveChild(tables.SelectSingleNode("day")), TransferError);  // a grandchild
  root.RemoveChild(tables);
  document.Save(file);
  const SagaDocument reloaded = SagaDocument::Load(file);
  EXPECT_EQ(Dump(reloaded), Dump(document));
  std::string names;
  for (const auto& n : reloaded.Root().ChildNodes()) names += n.Name() + ",";
  EXPECT_EQ(names, "groups,");
}

TEST(Save, ReplacesAtomicallyKeepingPermissions) {
  TempDir dir;
  const fs::path file = dir / "saga.xml";
  WriteFile(file, "<document><a/></document>");
  ::chmod(file.c_str(), 0640);
  const fs::path link = dir / "link.xml";
  fs::create_symlink(file, link);
  SagaDocument document = SagaDocument::Load(file);
  SetAttribute(document.Root(), "saved", u"1");
  document.Save(link);  // through the link, onto the file
  EXPECT_TRUE(fs::is_symlink(link));
  struct stat status {};
  ASSERT_EQ(::stat(file.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  EXPECT_EQ(SagaDocument::Load(file).Root().Attribute("saved"), u"1");
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir.Path()))
    left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"link.xml", "saga.xml"}));
}

// Ways to make a save fail, applied in a child process only. Each returns
// false when this machine offers no way to do it.
bool MakeDirectoryReadOnly(const fs::path& dir) {
  // A read-only bind mount in a private mount namespace or, failing that,
  // an unprivileged user (root ignores permission bits).
  if (::unshare(CLONE_NEWNS) == 0 &&
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
      ::mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
      ::mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0) {
    return true;
  }
  return ::setresgid(65534, 65534, 65534) == 0 && ::setresuid(65534, 65534, 65534) == 0;
}

bool LimitFileSizeTo10Bytes(const fs::path&) {
  // Writing past the limit then fails with EFBIG in the middle of the save.
  ::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{10, 10};
  return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

TEST(Save, FailureLeavesFileUnchangedAndNoTemporaryFile) {
  struct Case {
    const char* what;
    bool (*setUp)(const fs::path& dir);
  };
  const Case kCases[] = {
      {"read-only directory", MakeDirectoryReadOnly},
      {"write fails half way", LimitFileSizeTo10Bytes},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const fs::path file = dir / "saga.xml";
    const std::string original = "<document>\n<a/>\n</document>\n";
    WriteFile(file, original);
    ::chmod(dir.Path().c_str(), 0755);
    SagaDocument document = SagaDocument::Load(file);
    SetAttribute(document.Root(), "changed", u"1");
    std::fflush(nullptr);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (!c.setUp(dir.Path())) ::_exit(77);
      try {
        document.Save(file);
      } catch (const TransferError& e) {
        const std::string message = e.what();
        ::_exit(message.find("No se puede guardar el archivo " + file.string() + ": ") == 0 ? 0
                                                                                            : 2);
      }
      ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) {
      std::cout << "skipped: " << c.what << " cannot be arranged here\n";
      continue;
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: saved anyway, 2: message without the file";
    EXPECT_EQ(ReadFile(file), original);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
  }
}

// Found by fuzzing: a document in UTF-7 loads, but written back in UTF-7 its
// markup itself is escaped and no reader loads it. Such a save is refused.
TEST(Save, RefusesToWriteADocumentThatWouldNotLoadAgain) {
  TempDir dir;
  const fs::path file = dir / "saga.xml";
  const std::string original = ReadFile(Testdata("utf-7.xml"));
  WriteFile(file, original);
  SagaDocument document = SagaDocument::Load(file);
  try {
    document.Save(file);
    ADD_FAILURE() << "saved";
  } catch (const TransferError& e) {
    EXPECT_NE(std::string(e.what()).find("No se puede guardar el archivo " + file.string() +
                                         ": el documento no se puede escribir de forma legible en "
                                         "su codificación UTF-7"),
              std::string::npos)
        << e.what();
  }
  EXPECT_EQ(ReadFile(file), original);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace brivasto
