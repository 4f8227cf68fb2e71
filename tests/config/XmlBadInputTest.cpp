// Files that are not a usable document: the reader reports them, the file on
// disk is never changed, and nothing crashes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/config/ConfigDoc.h"
#include "platform/Error.h"
#include "platform/MessageBox.h"
#include "tests/config/TestFiles.h"

namespace {

using configtest::ReadBytes;
using configtest::TempFolder;
using configtest::WriteBytes;

std::string Nested(std::size_t depth) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += "<n>";
  for (std::size_t i = 0; i < depth; ++i) text += "</n>";
  return text;
}

std::string Binary() {
  std::string bytes;
  unsigned v = 12345;
  for (int i = 0; i < 4096; ++i) {
    v = v * 1103515245u + 12345u;
    bytes += static_cast<char>((v >> 16) & 0xFF);
  }
  return bytes;
}

struct BadFile {
  const char* what;
  std::string bytes;
};

std::vector<BadFile> BadFiles() {
  return {
      {"empty", ""},
      {"whitespace only", " \r\n\t "},
      {"truncated", "<ZOL><Ports_Configuration><MSR_USB>CO"},
      {"unclosed root", "<ZOL><Ports_Configuration/>"},
      {"mismatched end tag", "<ZOL><A></B></ZOL>"},
      {"case of end tag", "<ZOL></zol>"},
      {"two roots", "<ZOL/><ZOL/>"},
      {"text before root", "junk<ZOL/>"},
      {"text after root", "<ZOL/>junk"},
      {"comment only", "<!--x-->"},
      {"bad attribute", "<ZOL a=1/>"},
      {"bad name", "<1ZOL/>"},
      {"lone ampersand", "<ZOL>a & b</ZOL>"},
      {"unknown entity", "<ZOL>&nbsp;</ZOL>"},
      {"unterminated reference", "<ZOL>&amp</ZOL>"},
      {"reference to NUL", "<ZOL>&#0;</ZOL>"},
      {"reference to a surrogate", "<ZOL>&#xD800;</ZOL>"},
      {"reference out of range", "<ZOL>&#x110000;</ZOL>"},
      {"ampersand in attribute", "<ZOL a=\"x&y\"/>"},
      {"less-than in attribute", "<ZOL a=\"x<y\"/>"},
      {"binary", Binary()},
      {"NUL bytes", std::string("<ZOL>\0\0\0</ZOL>", 15)},
      {"invalid UTF-8", "<ZOL><A>\xC3\x28\xFF</A></ZOL>"},
      {"control character in text", "<ZOL><A>\x01</A></ZOL>"},
      {"control character in attribute", "<ZOL a=\"\x1B\"/>"},
      {"encoded surrogate", "<ZOL><A>\xED\xA0\x80</A></ZOL>"},
      {"nested too deep", Nested(100000)},
      {"nested past the limit", Nested(300)},
  };
}

class BadInputTest : public ::testing::Test {
 protected:
  // Not opened: every reader and writer answers 1006 and the file stays.
  void ExpectUnreadable(const std::wstring& path, const char* what) {
    configdoc doc;
    EXPECT_FALSE(doc.Open(path, false)) << what;
    EXPECT_FALSE(doc.IsLoaded()) << what;
    std::vector<datanode> nodes;
    sys::SetLastError(0);
    EXPECT_EQ(doc.ReadSection(L"ZOL", nodes), 1006) << what;
    EXPECT_EQ(sys::LastError(), 1006u) << what;
    EXPECT_TRUE(nodes.empty()) << what;
    EXPECT_EQ(doc.WriteValue(L"ZOL//S", L"K", L"v", {}), 1006) << what;
    EXPECT_FALSE(doc.Save(L"")) << what;
    std::vector<datanode> children{datanode{L"keep", L"", {}, {}}};
    EXPECT_EQ(ReadConfigSectionAt(path, children), ConfigRead::NotLoaded) << what;
  }

  // The reader sequence against a given file (not the one beside the executable).
  static ConfigRead ReadConfigSectionAt(const std::wstring& path, std::vector<datanode>& children) {
    configdoc doc;
    if (!doc.Open(path, false)) return ConfigRead::NotLoaded;
    std::vector<datanode> sections;
    if (doc.ReadSection(L"ZOL", sections) != 0 || sections.empty()) return ConfigRead::NoSection;
    children = sections.front().children;
    return ConfigRead::Found;
  }

  TempFolder folder;
  MessageBoxCapture shown;
  std::vector<sys::MessageBoxRequest>& boxes = shown.boxes;
};

TEST_F(BadInputTest, UnreadableFilesAreReportedAndLeftAsTheyAre) {
  for (const BadFile& bad : BadFiles()) {
    auto file = folder.File("bad.xml");
    WriteBytes(file, bad.bytes);
    ExpectUnreadable(file.wstring(), bad.what);
    EXPECT_EQ(ReadBytes(file), bad.bytes) << bad.what;
  }
}

TEST_F(BadInputTest, CreateOnRequestGivesAnEmptyDocumentButSavesNothingUnasked) {
  for (const BadFile& bad : BadFiles()) {
    auto file = folder.File("bad.xml");
    WriteBytes(file, bad.bytes);
    configdoc doc;
    ASSERT_TRUE(doc.Open(file.wstring(), true)) << bad.what;
    std::vector<datanode> nodes{datanode{L"stale", L"", {}, {}}};
    EXPECT_EQ(doc.ReadSection(L"ZOL", nodes), 0) << bad.what;
    EXPECT_TRUE(nodes.empty()) << bad.what;
    EXPECT_TRUE(doc.Store().GetNodes(L"n", {}).empty()) << bad.what;
    EXPECT_EQ(ReadBytes(file), bad.bytes) << bad.what;
  }
}

TEST_F(BadInputTest, DepthUpToTheLimitStillReads) {
  auto file = folder.File("deep.xml");
  WriteBytes(file, "<ZOL>" + Nested(200) + "</ZOL>");
  configdoc doc;
  ASSERT_TRUE(doc.Open(file.wstring(), false));
  std::vector<datanode> nodes;
  ASSERT_EQ(doc.ReadSection(L"ZOL", nodes), 0);
  ASSERT_EQ(nodes.size(), 1u);
  std::size_t depth = 0;
  for (const datanode* n = &nodes[0]; !n->children.empty(); n = &n->children[0]) ++depth;
  EXPECT_EQ(depth, 200u);
  // Every n element is selected, outermost first.
  std::vector<datanode> all;
  ASSERT_EQ(doc.ReadSection(L"n", all), 0);
  EXPECT_EQ(all.size(), 200u);
}

TEST_F(BadInputTest, PathsThatAreNoFile) {
  const std::wstring longName = (folder.Path() / std::string(5000, 'x')).wstring();
  struct Case {
    const char* what;
    std::wstring path;
  };
  const Case cases[] = {
      {"missing", folder.WFile("missing.xml")},
      {"missing folder", (folder.Path() / "no" / "ZolConfig.xml").wstring()},
      {"a folder", folder.Path().wstring()},
      {"too long", longName},
      {"empty path", L""},
  };
  for (const Case& c : cases) {
    ExpectUnreadable(c.path, c.what);
    // With create: an empty document, which cannot be saved there.
    configdoc doc;
    ASSERT_TRUE(doc.Open(c.path, true)) << c.what;
    std::vector<datanode> nodes;
    EXPECT_EQ(doc.ReadSection(L"ZOL", nodes), 0) << c.what;
    EXPECT_TRUE(nodes.empty()) << c.what;
    ASSERT_EQ(doc.WriteValue(L"ZOL", L"Ports_Configuration", L"", {}), 0) << c.what;
    if (c.path != folder.WFile("missing.xml")) {
      boxes.clear();
      EXPECT_FALSE(doc.Save(L"")) << c.what;
      EXPECT_EQ(boxes.size(), 1u) << c.what;
    }
  }
  EXPECT_TRUE(std::filesystem::is_directory(folder.Path()));
  EXPECT_FALSE(std::filesystem::exists(folder.Path() / "no"));
}

TEST_F(BadInputTest, SaveThatCannotWriteChangesNothing) {
  const std::string original = "<ZOL><S><A>1</A></S></ZOL>";
  auto file = folder.File("ZolConfig.xml");
  WriteBytes(file, original);
  configdoc doc;
  ASSERT_TRUE(doc.Open(file.wstring(), false));
  ASSERT_EQ(doc.WriteValue(L"ZOL//S", L"A", L"2", {}), 0);

  std::filesystem::create_directories(folder.Path() / "sub");
  const std::wstring targets[] = {
      (folder.Path() / "sub").wstring(),                       // a folder
      (folder.Path() / "no" / "ZolConfig.xml").wstring(),      // a missing folder
      (folder.Path() / std::string(5000, 'y')).wstring(),      // too long
  };
  for (const std::wstring& target : targets) {
    boxes.clear();
    EXPECT_FALSE(doc.Save(target));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"Save File Error!");
    EXPECT_EQ(boxes[0].text.rfind(L"Unable to save file \"", 0), 0u);
  }
  EXPECT_EQ(ReadBytes(file), original);
  EXPECT_TRUE(std::filesystem::is_directory(folder.Path() / "sub"));
  EXPECT_FALSE(std::filesystem::exists(folder.Path() / "no"));
  // The document in memory keeps the change.
  std::vector<datanode> s;
  ASSERT_EQ(doc.ReadSection(L"S", s), 0);
  EXPECT_EQ(s[0].children[0].value, L"2");
}

TEST_F(BadInputTest, MissingFileWithCreateSavesWhereItWasOpened) {
  auto file = folder.File("new.xml");
  configdoc doc;
  ASSERT_TRUE(doc.Open(file.wstring(), true));
  EXPECT_FALSE(std::filesystem::exists(file));
  ASSERT_EQ(doc.WriteValue(L"ZOL", L"Ports_Configuration", L"", {}), 0);
  ASSERT_TRUE(doc.Save(L""));
  configdoc again;
  ASSERT_TRUE(again.Open(file.wstring(), false));
  std::vector<datanode> s;
  ASSERT_EQ(again.ReadSection(L"Ports_Configuration", s), 0);
  EXPECT_EQ(s.size(), 1u);
}

}  // namespace
