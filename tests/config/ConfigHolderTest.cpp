// The holder's contract over any store: results, last errors, update-else-add,
// exceptions caught at the holder, and the save-failure message box.
#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/config/ConfigDoc.h"
#include "tests/config/TestFiles.h"
#include "platform/Error.h"
#include "platform/MessageBox.h"

namespace {

// A store whose answers the test sets and whose calls it records.
class FakeStore : public dataclass {
 public:
  struct Script {
    bool loadResult = true;
    bool loadThrows = false;
    bool saveResult = true;
    bool saveThrows = false;
    bool updateResult = false;
    bool addResult = false;
    std::vector<datanode> nodes;
  };
  explicit FakeStore(Script& script, std::vector<std::string>& calls) : m_script(script), m_calls(calls) {}

  bool Load(const std::wstring&, bool create) override {
    m_calls.push_back(create ? "Load(create)" : "Load");
    if (m_script.loadThrows) throw std::runtime_error("Unable to create XML parser object");
    return m_script.loadResult;
  }
  bool Save(const std::wstring&) override {
    m_calls.push_back("Save");
    if (m_script.saveThrows) throw std::bad_alloc();
    return m_script.saveResult;
  }
  std::vector<datanode> GetNodes(const std::wstring& path, const attributemap& attributes) override {
    m_calls.push_back("GetNodes " + Narrow(path) + (attributes.empty() ? "" : " with attributes"));
    return m_script.nodes;
  }
  bool UpdateNodes(const std::wstring& parent, const std::wstring& name, const std::wstring&,
                   const attributemap&) override {
    m_calls.push_back("Update " + Narrow(parent) + " " + Narrow(name));
    return m_script.updateResult;
  }
  bool AddNode(const std::wstring& parent, const std::wstring& name, const std::wstring&,
               const attributemap&) override {
    m_calls.push_back("Add " + Narrow(parent) + " " + Narrow(name));
    return m_script.addResult;
  }
  void RemoveNodes(const std::wstring&, const std::wstring&, const std::wstring&) override {
    m_calls.push_back("Remove");
  }

 private:
  static std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }
  Script& m_script;
  std::vector<std::string>& m_calls;
};

class HolderTest : public ::testing::Test {
 protected:
  configdoc MakeHolder() { return configdoc(std::make_unique<FakeStore>(script, calls)); }

  FakeStore::Script script;
  std::vector<std::string> calls;
  MessageBoxCapture shown;
  std::vector<sys::MessageBoxRequest>& boxes = shown.boxes;
};

TEST_F(HolderTest, OpenRecordsResultAndPath) {
  struct Case {
    bool loadResult;
    bool loadThrows;
    bool expected;
  };
  const Case cases[] = {{true, false, true}, {false, false, false}, {true, true, false}};
  for (const Case& c : cases) {
    script = {};
    script.loadResult = c.loadResult;
    script.loadThrows = c.loadThrows;
    configdoc doc = MakeHolder();
    EXPECT_EQ(doc.Open(L"a.xml", true), c.expected);
    EXPECT_EQ(doc.IsLoaded(), c.expected);
    EXPECT_EQ(doc.Path(), c.expected ? L"a.xml" : L"");
  }
}

TEST_F(HolderTest, FailedReopenClearsLoadedButKeepsPath) {
  configdoc doc = MakeHolder();
  ASSERT_TRUE(doc.Open(L"first.xml", false));
  script.loadResult = false;
  EXPECT_FALSE(doc.Open(L"second.xml", false));
  EXPECT_FALSE(doc.IsLoaded());
  EXPECT_EQ(doc.Path(), L"first.xml");
  std::vector<datanode> nodes;
  EXPECT_EQ(doc.ReadSection(L"ZOL", nodes), 1006);
}

TEST_F(HolderTest, NotLoadedGives1006AndLeavesNodesAndStoreAlone) {
  script.loadThrows = true;
  configdoc doc = MakeHolder();
  EXPECT_FALSE(doc.Open(L"a.xml", false));
  calls.clear();

  std::vector<datanode> nodes{datanode{L"keep", L"me", {}, {}}};
  sys::SetLastError(0);
  EXPECT_EQ(doc.ReadSection(L"Ports_Configuration", nodes), 1006);
  EXPECT_EQ(sys::LastError(), 1006u);
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0].name, L"keep");

  sys::SetLastError(0);
  EXPECT_EQ(doc.WriteValue(L"ZOL//Ports_Configuration", L"MSR_USB", L"COM1", {}), 1006);
  EXPECT_EQ(sys::LastError(), 1006u);

  EXPECT_FALSE(doc.Save(L""));
  EXPECT_TRUE(calls.empty());
  EXPECT_TRUE(boxes.empty());
}

TEST_F(HolderTest, ReadSectionReplacesNodesWithoutAttributes) {
  script.nodes = {datanode{L"Ports_Configuration", L"", {}, {}}};
  configdoc doc = MakeHolder();
  ASSERT_TRUE(doc.Open(L"a.xml", false));
  std::vector<datanode> nodes{datanode{L"old", L"", {}, {}}, datanode{L"older", L"", {}, {}}};
  EXPECT_EQ(doc.ReadSection(L"Ports_Configuration", nodes), 0);
  EXPECT_EQ(nodes, script.nodes);
  EXPECT_EQ(calls.back(), "GetNodes Ports_Configuration");
}

TEST_F(HolderTest, WriteValueUpdatesElseAdds) {
  struct Case {
    bool update;
    bool add;
    int result;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {true, false, 0, {"Update ZOL//S K"}},
      {true, true, 0, {"Update ZOL//S K"}},
      {false, true, 0, {"Update ZOL//S K", "Add ZOL//S K"}},
      {false, false, 29, {"Update ZOL//S K", "Add ZOL//S K"}},
  };
  for (const Case& c : cases) {
    script = {};
    script.updateResult = c.update;
    script.addResult = c.add;
    configdoc doc = MakeHolder();
    ASSERT_TRUE(doc.Open(L"a.xml", false));
    calls.clear();
    sys::SetLastError(0);
    EXPECT_EQ(doc.WriteValue(L"ZOL//S", L"K", L"v", {}), c.result);
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(sys::LastError(), c.result == 29 ? 29u : 0u);
  }
}

TEST_F(HolderTest, SaveFailureShowsTheErrorBox) {
  struct Case {
    std::wstring openPath;
    std::wstring savePath;
    std::wstring shown;
  };
  const std::wstring longPath(300, L'x');
  const std::wstring prefix = L"Unable to save file \"";
  const Case cases[] = {
      {L"opened.xml", L"", L"Unable to save file \"opened.xml\".\nPlease check location of file"},
      {L"opened.xml", L"other.xml", L"Unable to save file \"other.xml\".\nPlease check location of file"},
      // Formatted into 260 characters: what does not fit is cut.
      {L"opened.xml", longPath, (prefix + longPath).substr(0, 259)},
  };
  for (const Case& c : cases) {
    script = {};
    script.saveResult = false;
    boxes.clear();
    configdoc doc = MakeHolder();
    ASSERT_TRUE(doc.Open(c.openPath, false));
    EXPECT_FALSE(doc.Save(c.savePath));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, L"Save File Error!");
    EXPECT_EQ(boxes[0].text, c.shown);
    EXPECT_EQ(boxes[0].icon, sys::MessageIcon::Error);
    EXPECT_EQ(boxes[0].buttons, sys::MessageButtons::Ok);
  }
}

TEST_F(HolderTest, ExceptionWhileSavingIsAFailedSave) {
  script.saveThrows = true;
  configdoc doc = MakeHolder();
  ASSERT_TRUE(doc.Open(L"a.xml", false));
  EXPECT_FALSE(doc.Save(L""));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, L"Unable to save file \"a.xml\".\nPlease check location of file");
  EXPECT_TRUE(doc.IsLoaded());
}

TEST_F(HolderTest, SuccessfulSaveShowsNothing) {
  configdoc doc = MakeHolder();
  ASSERT_TRUE(doc.Open(L"a.xml", false));
  EXPECT_TRUE(doc.Save(L""));
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(calls.back(), "Save");
}

TEST_F(HolderTest, StoreNodeWritesEachLeafUnderTheExtendedPrefix) {
  script.updateResult = true;
  configdoc doc = MakeHolder();
  ASSERT_TRUE(doc.Open(L"a.xml", false));
  calls.clear();
  datanode tree{L"S", L"", {}, {datanode{L"A", L"1", {}, {}}, datanode{L"T", L"", {}, {datanode{L"B", L"2", {}, {}}}}}};
  StoreNode(doc, tree, L"ZOL");
  StoreNode(doc, BuildNode(L"Logging_Configuration", L"TCP_Port", L"1", {}), L"");
  StoreNode(doc, BuildNode(L"", L"Leaf", L"1", {}), L"ZOL");
  const std::vector<std::string> expected = {"Update ZOL//S A", "Update ZOL//S//T B",
                                             "Update Logging_Configuration TCP_Port", "Update ZOL Leaf"};
  EXPECT_EQ(calls, expected);
}

}  // namespace
