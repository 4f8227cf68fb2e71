// The document through the real parser: reading, writing, saving, and the
// document the configuration tool builds on an empty file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/config/ConfigDoc.h"
#include "tests/config/TestFiles.h"

namespace {

using configtest::ReadBytes;
using configtest::TempFolder;
using configtest::WriteBytes;

datanode Leaf(const std::wstring& name, const std::wstring& value, attributemap attributes = {}) {
  return datanode{name, value, std::move(attributes), {}};
}

std::vector<std::wstring> Names(const std::vector<datanode>& nodes) {
  std::vector<std::wstring> names;
  for (const datanode& n : nodes) names.push_back(n.name);
  return names;
}

class DocumentTest : public ::testing::Test {
 protected:
  // Writes text as the document file and opens it (without create).
  void OpenText(const std::string& text) {
    WriteBytes(m_folder.File("ZolConfig.xml"), text);
    ASSERT_TRUE(doc.Open(Path(), false)) << text;
  }
  std::wstring Path() const { return m_folder.WFile("ZolConfig.xml"); }
  std::string FileText() const { return ReadBytes(m_folder.File("ZolConfig.xml")); }
  std::vector<datanode> Section(const std::wstring& path) {
    std::vector<datanode> nodes;
    EXPECT_EQ(doc.ReadSection(path, nodes), 0);
    return nodes;
  }
  // Saves, then reads the saved file with a new holder.
  std::vector<datanode> SaveAndReread(const std::wstring& path) {
    EXPECT_TRUE(doc.Save(L""));
    configdoc again;
    EXPECT_TRUE(again.Open(Path(), false)) << FileText();
    std::vector<datanode> nodes;
    EXPECT_EQ(again.ReadSection(path, nodes), 0);
    return nodes;
  }

  TempFolder m_folder;
  configdoc doc;
};

// The default document of the configuration tool: sections in order, keys in
// order, Serial_Number on the two port keys, the default values.
struct DefaultKey {
  const wchar_t* section;
  const wchar_t* key;
  const wchar_t* value;
  bool serialNumber;
};
const DefaultKey kDefaults[] = {
    {L"Ports_Configuration", L"MSR_USB", L"", true},
    {L"Ports_Configuration", L"LD_USB", L"", true},
    {L"Logging_Configuration", L"File_Name", L"C:\\Program Files\\Halvern\\ZOL\\LOG\\zol.log", false},
    {L"Logging_Configuration", L"File_Size", L"10240", false},
    {L"Logging_Configuration", L"Log_Level", L"0", false},
    {L"Logging_Configuration", L"TCP_Port", L"38674", false},
    {L"Logging_Configuration", L"Module_Service", L"true", false},
    {L"Logging_Configuration", L"Module_MSR", L"true", false},
    {L"Logging_Configuration", L"Module_LD", L"true", false},
    {L"MSR_Configuration", L"CR_Enabled", L"", false},
    {L"MSR_Configuration", L"Track1_Enabled", L"true", false},
    {L"MSR_Configuration", L"Track2_Enabled", L"true", false},
    {L"MSR_Configuration", L"Track3_Enabled", L"true", false},
    {L"MSR_Configuration", L"Strip_Sentinels", L"", false},
    {L"MSR_Configuration", L"Hide_Error_Tracks", L"", false},
    {L"MSR_Configuration", L"Track1_Start_Sentinel", L"%", false},
    {L"MSR_Configuration", L"Track2_Start_Sentinel", L";", false},
    {L"MSR_Configuration", L"Track3_Start_Sentinel", L"+", false},
    {L"MSR_Configuration", L"End_Sentinel", L"?", false},
    {L"MSR_Configuration", L"Head_Wrapper", L"", false},
    {L"MSR_Configuration", L"Tail_Wrapper", L"", false},
    {L"MSR_Configuration", L"Track1_CR_Enabled", L"", false},
    {L"MSR_Configuration", L"Track2_CR_Enabled", L"", false},
    {L"MSR_Configuration", L"Track3_CR_Enabled", L"", false},
};

TEST_F(DocumentTest, DefaultDocumentBuiltOnAnEmptyFile) {
  WriteBytes(m_folder.File("ZolConfig.xml"), "");
  ASSERT_FALSE(doc.Open(Path(), false));
  ASSERT_TRUE(doc.Open(Path(), true));
  // The tool's order: each empty section, then its keys.
  std::wstring section;
  for (const DefaultKey& k : kDefaults) {
    if (section != k.section) {
      section = k.section;
      ASSERT_EQ(doc.WriteValue(L"ZOL", section, L"", {}), 0);
    }
    attributemap attributes;
    if (k.serialNumber) attributes[L"Serial_Number"] = L"";
    StoreNode(doc, BuildNode(k.section, k.key, k.value, attributes), L"ZOL");
  }
  ASSERT_TRUE(doc.Save(L""));

  // Expected tree, from the same table.
  datanode root{L"ZOL", L"", {}, {}};
  for (const DefaultKey& k : kDefaults) {
    if (root.children.empty() || root.children.back().name != k.section) root.children.push_back({k.section, L"", {}, {}});
    attributemap attributes;
    if (k.serialNumber) attributes[L"Serial_Number"] = L"";
    root.children.back().children.push_back(Leaf(k.key, k.value, attributes));
  }

  configdoc reread;
  ASSERT_TRUE(reread.Open(Path(), false));
  std::vector<datanode> nodes;
  ASSERT_EQ(reread.ReadSection(L"ZOL", nodes), 0);
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0], root);

  // No declaration and no whitespace between elements.
  std::string text = FileText();
  EXPECT_EQ(text.rfind("<ZOL>", 0), 0u) << text;
  for (std::size_t at = text.find('>'); at != std::string::npos; at = text.find('>', at + 1)) {
    std::size_t next = text.find_first_not_of(" \t\r\n", at + 1);
    if (next != std::string::npos) {
      EXPECT_TRUE(next == at + 1 || text[next] != '<') << text;
    }
  }
  EXPECT_EQ(text.find("Raw_Data_Mode"), std::string::npos);
}

TEST_F(DocumentTest, WritingOnAnEmptyDocumentCreatesEveryAncestor) {
  ASSERT_TRUE(doc.Open(m_folder.WFile("missing.xml"), true));
  EXPECT_TRUE(Section(L"ZOL").empty());
  ASSERT_EQ(doc.WriteValue(L"ZOL//Ports_Configuration", L"MSR_USB", L"", {{L"Serial_Number", L""}}), 0);
  std::vector<datanode> root = Section(L"ZOL");
  ASSERT_EQ(root.size(), 1u);
  datanode expected{L"ZOL", L"", {}, {datanode{L"Ports_Configuration", L"", {}, {Leaf(L"MSR_USB", L"", {{L"Serial_Number", L""}})}}}};
  EXPECT_EQ(root[0], expected);
}

TEST_F(DocumentTest, KeyIsAppendedOnceThenOnlyItsTextChanges) {
  OpenText("<ZOL><Logging_Configuration><File_Name>a</File_Name><Log_Level>3</Log_Level></Logging_Configuration></ZOL>");
  ASSERT_EQ(doc.WriteValue(L"ZOL//Logging_Configuration", L"TCP_Port", L"1234", {}), 0);
  std::vector<datanode> s = Section(L"Logging_Configuration");
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(Names(s[0].children), (std::vector<std::wstring>{L"File_Name", L"Log_Level", L"TCP_Port"}));
  EXPECT_EQ(s[0].children.back().value, L"1234");

  ASSERT_EQ(doc.WriteValue(L"ZOL//Logging_Configuration", L"TCP_Port", L"38674", {}), 0);
  s = Section(L"Logging_Configuration");
  EXPECT_EQ(Names(s[0].children), (std::vector<std::wstring>{L"File_Name", L"Log_Level", L"TCP_Port"}));
  EXPECT_EQ(s[0].children.back().value, L"38674");
  EXPECT_EQ(s[0].children[0].value, L"a");
}

TEST_F(DocumentTest, AttributeMapNarrowsTheUpdate) {
  OpenText(
      "<ZOL><Ports_Configuration><MSR_USB Serial_Number=\"A1\">COM1</MSR_USB><MSR_USB Serial_Number=\"\">COM2</MSR_USB>"
      "<MSR_USB>COM3</MSR_USB></Ports_Configuration></ZOL>");
  EXPECT_TRUE(doc.Store().UpdateNodes(L"ZOL//Ports_Configuration", L"MSR_USB", L"COM9", {{L"Serial_Number", L""}}));
  std::vector<datanode> s = Section(L"Ports_Configuration");
  ASSERT_EQ(s[0].children.size(), 3u);
  EXPECT_EQ(s[0].children[0].value, L"COM1");
  EXPECT_EQ(s[0].children[1].value, L"COM9");
  EXPECT_EQ(s[0].children[2].value, L"COM3");
  EXPECT_FALSE(doc.Store().UpdateNodes(L"ZOL//Ports_Configuration", L"MSR_USB", L"x", {{L"Serial_Number", L"B2"}}));
}

TEST_F(DocumentTest, SerialNumberMismatchAddsASecondKey) {
  OpenText("<ZOL><Ports_Configuration><MSR_USB Serial_Number=\"A1\">COM1</MSR_USB></Ports_Configuration></ZOL>");
  ASSERT_EQ(doc.WriteValue(L"ZOL//Ports_Configuration", L"MSR_USB", L"COM4", {{L"Serial_Number", L""}}), 0);
  std::vector<datanode> s = SaveAndReread(L"Ports_Configuration");
  ASSERT_EQ(s.size(), 1u);
  const std::vector<datanode> expected = {Leaf(L"MSR_USB", L"COM1", {{L"Serial_Number", L"A1"}}),
                                          Leaf(L"MSR_USB", L"COM4", {{L"Serial_Number", L""}})};
  EXPECT_EQ(s[0].children, expected);
}

TEST_F(DocumentTest, EveryMatchingKeyIsUpdated) {
  // A key twice in one section, and a section present twice.
  OpenText(
      "<ZOL><MSR_Configuration><CR_Enabled>a</CR_Enabled><CR_Enabled>b</CR_Enabled></MSR_Configuration>"
      "<MSR_Configuration><CR_Enabled>c</CR_Enabled></MSR_Configuration></ZOL>");
  ASSERT_EQ(doc.WriteValue(L"ZOL//MSR_Configuration", L"CR_Enabled", L"true", {}), 0);
  std::vector<datanode> s = SaveAndReread(L"MSR_Configuration");
  ASSERT_EQ(s.size(), 2u);
  ASSERT_EQ(s[0].children.size(), 2u);
  for (const datanode& section : s) {
    for (const datanode& key : section.children) EXPECT_EQ(key.value, L"true");
  }
}

TEST_F(DocumentTest, FirstSectionInDocumentOrderComesFirst) {
  OpenText(
      "<ZOL><Other><Logging_Configuration><Log_Level>1</Log_Level></Logging_Configuration></Other>"
      "<Logging_Configuration><Log_Level>2</Log_Level></Logging_Configuration></ZOL>");
  std::vector<datanode> s = Section(L"Logging_Configuration");
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].children[0].value, L"1");
  EXPECT_EQ(s[1].children[0].value, L"2");
}

TEST_F(DocumentTest, UnknownKeysSurviveTheToolsSave) {
  OpenText("<ZOL><MSR_Configuration><Raw_Data_Mode>TRUE</Raw_Data_Mode><CR_Enabled/></MSR_Configuration></ZOL>");
  StoreNode(doc, BuildNode(L"MSR_Configuration", L"CR_Enabled", L"true", {}), L"ZOL");
  StoreNode(doc, BuildNode(L"MSR_Configuration", L"End_Sentinel", L"?", {}), L"ZOL");
  std::vector<datanode> s = SaveAndReread(L"MSR_Configuration");
  ASSERT_EQ(s.size(), 1u);
  const std::vector<datanode> expected = {Leaf(L"Raw_Data_Mode", L"TRUE"), Leaf(L"CR_Enabled", L"true"),
                                          Leaf(L"End_Sentinel", L"?")};
  EXPECT_EQ(s[0].children, expected);
}

TEST_F(DocumentTest, NodeShapeFollowsTheFirstChild) {
  struct Case {
    std::string xml;
    datanode section;
  };
  const Case cases[] = {
      // A first comment turns the section into a plain value: no keys seen.
      {"<ZOL><S><!--note--><Log_Level>3</Log_Level></S></ZOL>", datanode{L"S", L"3", {}, {}}},
      // Leading text likewise.
      {"<ZOL><S>x<Log_Level>3</Log_Level></S></ZOL>", datanode{L"S", L"x3", {}, {}}},
      // A comment after the first key is an empty node among the children.
      {"<ZOL><S><Log_Level>3</Log_Level><!--note--><TCP_Port>9</TCP_Port></S></ZOL>",
       datanode{L"S", L"", {}, {Leaf(L"Log_Level", L"3"), datanode{}, Leaf(L"TCP_Port", L"9")}}},
      // Text after the first key is a text node among the children.
      {"<ZOL><S><Log_Level>3</Log_Level>tail</S></ZOL>",
       datanode{L"S", L"", {}, {Leaf(L"Log_Level", L"3"), Leaf(L"#text", L"tail")}}},
      // An empty element and an element without children.
      {"<ZOL><S/></ZOL>", datanode{L"S", L"", {}, {}}},
      {"<ZOL><S></S></ZOL>", datanode{L"S", L"", {}, {}}},
      // Indentation between elements is dropped and hides no key.
      {"<ZOL>\n  <S>\n    <A>1</A>\n    <B>2</B>\n  </S>\n</ZOL>\n",
       datanode{L"S", L"", {}, {Leaf(L"A", L"1"), Leaf(L"B", L"2")}}},
      {"<ZOL>\r\n\t<S>\r\n\t\t<A>1</A>\r\n\t</S>\r\n</ZOL>", datanode{L"S", L"", {}, {Leaf(L"A", L"1")}}},
      // White space around the text is cut, inside it kept; CDATA is kept whole.
      {"<ZOL><S><A>  x  </A><B>a \n  b</B><C> a <!--c--> b </C><D> a <I> b </I> c </D></S></ZOL>",
       datanode{L"S", L"", {}, {Leaf(L"A", L"x"), Leaf(L"B", L"a \n  b"), Leaf(L"C", L"a  b"),
                                Leaf(L"D", L"a  b  c")}}},
      {"<ZOL><S><A><![CDATA[  x  ]]></A><B>&#32;x&#32;</B><C>\tx\r\n</C><D> a<![CDATA[ x ]]>b </D></S></ZOL>",
       datanode{L"S", L"", {}, {Leaf(L"A", L"  x  "), Leaf(L"B", L"x"), Leaf(L"C", L"x"), Leaf(L"D", L"a x b")}}},
      {"<ZOL><S x=\" a \"> lead<A>1</A> tail </S></ZOL>", datanode{L"S", L"lead1 tail", {{L"x", L" a "}}, {}}},
      // Entities, character references and CDATA are text.
      {"<ZOL><S><A>a&amp;b&lt;&#65;&#x42;</A><B><![CDATA[<x>]]></B></S></ZOL>",
       datanode{L"S", L"", {}, {Leaf(L"A", L"a&b<AB"), Leaf(L"B", L"<x>")}}},
      // Comments do not count as text of a key.
      {"<ZOL><S><A>1<!--c-->2</A></S></ZOL>", datanode{L"S", L"", {}, {Leaf(L"A", L"12")}}},
      // A processing instruction is a node like a comment, but keeps its name and data.
      {"<ZOL><S><?pi x?><A>1</A></S></ZOL>", datanode{L"S", L"1", {}, {}}},
      {"<ZOL><S><A>1</A><?pi  y z ?></S></ZOL>", datanode{L"S", L"", {}, {Leaf(L"A", L"1"), Leaf(L"pi", L"y z ")}}},
      // Attributes, sorted by name.
      {"<ZOL><S z=\"1\" a=\"&quot;2&quot;\"><A/></S></ZOL>",
       datanode{L"S", L"", {{L"a", L"\"2\""}, {L"z", L"1"}}, {Leaf(L"A", L"")}}},
      // A declaration and a document-level comment are not part of the tree.
      {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!--top--><ZOL><S><A>1</A></S></ZOL>",
       datanode{L"S", L"", {}, {Leaf(L"A", L"1")}}},
      // Other encodings that the file may declare or mark.
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><ZOL><S><A>\xE9</A></S></ZOL>",
       datanode{L"S", L"", {}, {Leaf(L"A", L"\u00E9")}}},
      {"\xEF\xBB\xBF<ZOL><S><A>\xC3\xA9</A></S></ZOL>", datanode{L"S", L"", {}, {Leaf(L"A", L"\u00E9")}}},
      {std::string("\xFF\xFE<\0Z\0O\0L\0>\0<\0S\0>\0<\0A\0>\0\xE9\0<\0/\0A\0>\0<\0/\0S\0>\0<\0/\0Z\0O\0L\0>\0", 54),
       datanode{L"S", L"", {}, {Leaf(L"A", L"\u00E9")}}},
      // Non-ASCII text, UTF-8 encoded.
      {"<ZOL><S><A>\xC3\xA9\xE2\x82\xAC\xE6\x97\xA5</A></S></ZOL>", datanode{L"S", L"", {}, {Leaf(L"A", L"\u00E9\u20AC\u65E5")}}},
  };
  for (const Case& c : cases) {
    OpenText(c.xml);
    std::vector<datanode> s = Section(L"S");
    ASSERT_EQ(s.size(), 1u) << c.xml;
    EXPECT_EQ(s[0], c.section) << c.xml;
  }
}

TEST_F(DocumentTest, SelectionPaths) {
  OpenText(
      "<ZOL><Ports_Configuration><MSR_USB Serial_Number=\"\" a=\"1\">COM1</MSR_USB></Ports_Configuration>"
      "<X><Ports_Configuration><MSR_USB>COM2</MSR_USB></Ports_Configuration></X></ZOL>");
  struct Case {
    std::wstring path;
    attributemap attributes;
    std::vector<std::wstring> values;
  };
  const Case cases[] = {
      {L"MSR_USB", {}, {L"COM1", L"COM2"}},
      {L"ZOL//MSR_USB", {}, {L"COM1", L"COM2"}},
      {L"X//MSR_USB", {}, {L"COM2"}},
      {L"ZOL//X//Ports_Configuration//MSR_USB", {}, {L"COM2"}},
      {L"MSR_USB", {{L"Serial_Number", L""}}, {L"COM1"}},
      {L"MSR_USB", {{L"Serial_Number", L""}, {L"a", L"1"}}, {L"COM1"}},
      {L"MSR_USB", {{L"Serial_Number", L""}, {L"a", L"2"}}, {}},
      {L"msr_usb", {}, {}},
      {L"", {}, {}},
      // A value that would break or change the expression selects nothing.
      {L"MSR_USB", {{L"Serial_Number", L"\""}}, {}},
      {L"MSR_USB", {{L"Serial_Number", L"\"] | //*[@x=\""}}, {}},
      {L"MSR_USB", {{L"Serial_Number", L"\" or \"\"=\""}}, {}},
      // Other characters in a value are plain text.
      {L"MSR_USB", {{L"Serial_Number", L"'] | //*['"}}, {}},
      // Only names joined by "//" are paths.
      {L"ZOL/Ports_Configuration/MSR_USB", {}, {}},
      {L"ZOL//*", {}, {}},
      {L"MSR_USB | //MSR_USB", {}, {}},
      {L"MSR_USB//", {}, {}},
      {L"MSR_USB[", {}, {}},
      {L"MSR_USB]", {}, {}},
      {L"(", {}, {}},
      {L"MSR_USB", {{L"", L""}}, {}},
  };
  for (const Case& c : cases) {
    std::vector<datanode> nodes = doc.Store().GetNodes(c.path, c.attributes);
    std::vector<std::wstring> values;
    for (const datanode& n : nodes) values.push_back(n.value);
    EXPECT_EQ(values, c.values) << std::string(c.path.begin(), c.path.end());
  }
}

TEST_F(DocumentTest, BrokenPredicateWritesAddAnElementThatSurvivesSaving) {
  OpenText("<ZOL><Ports_Configuration/></ZOL>");
  attributemap attributes{{L"Serial_Number", L"a\"<&'b"}};
  ASSERT_EQ(doc.WriteValue(L"ZOL//Ports_Configuration", L"MSR_USB", L"COM1", attributes), 0);
  std::vector<datanode> s = SaveAndReread(L"Ports_Configuration");
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].children, (std::vector<datanode>{Leaf(L"MSR_USB", L"COM1", attributes)}));
}

TEST_F(DocumentTest, AddNodeResults) {
  OpenText("<ZOL><S><A>1</A></S></ZOL>");
  struct Case {
    std::wstring parent;
    std::wstring name;
    bool added;
  };
  const Case cases[] = {
      {L"ZOL//S", L"", false},      // no name
      {L"ZOL//S", L"A", false},     // exists
      {L"", L"A", false},           // exists anywhere
      {L"ZOL//S", L"B", true},      // appended
      {L"ZOL//T", L"C", true},      // T made under ZOL first
      {L"ZOL//S", L"bad name", false},
      {L"ZOL//S", L"1digit", false},
      {L"", L"Root2", false},       // a second root would not load again
  };
  for (const Case& c : cases) {
    EXPECT_EQ(doc.Store().AddNode(c.parent, c.name, L"v", {}), c.added) << std::string(c.name.begin(), c.name.end());
  }
  std::vector<datanode> root = SaveAndReread(L"ZOL");
  ASSERT_EQ(root.size(), 1u);
  datanode expected{L"ZOL", L"", {}, {datanode{L"S", L"", {}, {Leaf(L"A", L"1"), Leaf(L"B", L"v")}},
                                      datanode{L"T", L"", {}, {Leaf(L"C", L"v")}}}};
  EXPECT_EQ(root[0], expected);
}

TEST_F(DocumentTest, TextThatCouldNotBeLoadedAgainIsNotWritten) {
  const std::string original = "<ZOL><S><A>1</A></S></ZOL>";
  struct Case {
    const char* what;
    std::wstring key;
    std::wstring value;
    attributemap attributes;
  };
  const Case cases[] = {
      {"control character, new key", L"B", L"a\x01", {}},
      {"control character, existing key", L"A", L"\x1B", {}},
      {"control character in attribute", L"B", L"x", {{L"n", L"\x02"}}},
      {"non-character", L"A", L"\xFFFF", {}},
  };
  for (const Case& c : cases) {
    OpenText(original);
    EXPECT_EQ(doc.WriteValue(L"ZOL//S", c.key, c.value, c.attributes), 29) << c.what;
    EXPECT_EQ(Section(L"S")[0].children, (std::vector<datanode>{Leaf(L"A", L"1")})) << c.what;
  }
  // Tab, line feed and carriage return are text.
  ASSERT_EQ(doc.WriteValue(L"ZOL//S", L"A", L"a\tb\nc", {}), 0);
  EXPECT_EQ(SaveAndReread(L"S")[0].children[0].value, L"a\tb\nc");
}

TEST_F(DocumentTest, WriteValueOnAForeignRootFails) {
  OpenText("<Other><S/></Other>");
  EXPECT_EQ(doc.WriteValue(L"ZOL//Ports_Configuration", L"MSR_USB", L"COM1", {}), 29);
  EXPECT_TRUE(Section(L"ZOL").empty());
}

TEST_F(DocumentTest, AddNodeCreatesUnderEveryMatchingParent) {
  OpenText("<ZOL><S/><S/></ZOL>");
  EXPECT_TRUE(doc.Store().AddNode(L"ZOL//S", L"K", L"7", {{L"n", L""}}));
  std::vector<datanode> s = Section(L"S");
  ASSERT_EQ(s.size(), 2u);
  for (const datanode& section : s) EXPECT_EQ(section.children, (std::vector<datanode>{Leaf(L"K", L"7", {{L"n", L""}})}));
}

TEST_F(DocumentTest, UpdateReplacesContentAndSetsAttributes) {
  OpenText("<ZOL><S><K a=\"0\"><Inner>x</Inner><a>old</a></K></S></ZOL>");
  // The element's content is replaced by the value, so the attribute is set
  // on the element itself.
  EXPECT_TRUE(doc.Store().UpdateNodes(L"ZOL//S", L"K", L"v", {{L"a", L"0"}}));
  std::vector<datanode> s = Section(L"S");
  EXPECT_EQ(s[0].children, (std::vector<datanode>{Leaf(L"K", L"v", {{L"a", L"0"}})}));
  // Nested matches: the outer one wins, nothing breaks.
  OpenText("<ZOL><K><K>in</K></K></ZOL>");
  EXPECT_TRUE(doc.Store().UpdateNodes(L"", L"K", L"out", {}));
  EXPECT_EQ(Section(L"ZOL")[0].children, (std::vector<datanode>{Leaf(L"K", L"out")}));
  EXPECT_FALSE(doc.Store().UpdateNodes(L"", L"", L"x", {}));
}

TEST_F(DocumentTest, RemoveNodesByValue) {
  struct Case {
    std::wstring parent;
    std::wstring value;
    std::vector<std::wstring> left;
  };
  const Case cases[] = {
      {L"ZOL//S", L"b", {L"a", L"c"}},
      {L"ZOL//S", L"", {}},
      {L"ZOL//S", L"B", {L"a", L"b", L"c"}},
      {L"", L"", {L"a", L"b", L"c"}},  // no parent: nothing happens
  };
  for (const Case& c : cases) {
    OpenText("<ZOL><S><K>a</K><K>b</K><K>c</K></S></ZOL>");
    doc.Store().RemoveNodes(c.parent, L"K", c.value);
    std::vector<datanode> s = Section(L"S");
    ASSERT_EQ(s.size(), 1u);
    std::vector<std::wstring> left;
    for (const datanode& k : s[0].children) left.push_back(k.value);
    EXPECT_EQ(left, c.left);
  }
  // Nested matches are removed without touching freed nodes.
  OpenText("<ZOL><S><K><K>in</K></K><K>x</K></S></ZOL>");
  doc.Store().RemoveNodes(L"S", L"K", L"");
  EXPECT_TRUE(Section(L"S")[0].children.empty());
}

TEST_F(DocumentTest, RoundTripOfAwkwardText) {
  const std::wstring values[] = {
      L"a & b < c > d",
      L"\"quoted\" 'single'",
      L"C:\\Program Files\\Halvern\\ZOL\\LOG\\zol.log",
      L"\u00E9\u00FC\u00DF \u20AC \u65E5\u672C",
      L"]]>",
      L"%;+?",
      L"\U0001F600",
  };
  ASSERT_TRUE(doc.Open(m_folder.WFile("ZolConfig.xml"), true));
  int i = 0;
  for (const std::wstring& v : values) {
    std::wstring key = L"K" + std::to_wstring(i++);
    ASSERT_EQ(doc.WriteValue(L"ZOL//S", key, v, {{L"attr", v}}), 0);
  }
  std::vector<datanode> s = SaveAndReread(L"S");
  ASSERT_EQ(s.size(), 1u);
  ASSERT_EQ(s[0].children.size(), std::size(values));
  for (std::size_t k = 0; k < std::size(values); ++k) {
    EXPECT_EQ(s[0].children[k].value, values[k]) << k;
    EXPECT_EQ(s[0].children[k].attributes.at(L"attr"), values[k]) << k;
  }
}

TEST_F(DocumentTest, SaveToAnotherPathLeavesTheOpenedOneAlone) {
  const std::string original = "<ZOL><S><A>1</A></S></ZOL>";
  OpenText(original);
  ASSERT_EQ(doc.WriteValue(L"ZOL//S", L"A", L"2", {}), 0);
  std::wstring other = m_folder.WFile("copy.xml");
  ASSERT_TRUE(doc.Save(other));
  EXPECT_EQ(FileText(), original);
  configdoc copy;
  ASSERT_TRUE(copy.Open(other, false));
  std::vector<datanode> s;
  ASSERT_EQ(copy.ReadSection(L"S", s), 0);
  EXPECT_EQ(s[0].children[0].value, L"2");
  EXPECT_EQ(doc.Path(), Path());
}

TEST_F(DocumentTest, ReloadReplacesTheDocument) {
  OpenText("<ZOL><S><A>1</A></S></ZOL>");
  WriteBytes(m_folder.File("second.xml"), "<ZOL><T/></ZOL>");
  ASSERT_TRUE(doc.Open(m_folder.WFile("second.xml"), false));
  EXPECT_TRUE(Section(L"S").empty());
  EXPECT_EQ(Section(L"T").size(), 1u);
  EXPECT_EQ(doc.Path(), m_folder.WFile("second.xml"));
}

}  // namespace
