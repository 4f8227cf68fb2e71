// A save replaces the document whole: readers that open it while the tool
// saves in a loop always find the old or the new document, never a missing,
// empty or cut one.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/config/ConfigDoc.h"
#include "tests/config/TestFiles.h"

namespace {

using configtest::TempFolder;

const std::wstring kSection = L"Logging_Configuration";
const std::wstring kParent = L"ZOL//Logging_Configuration";

// The reader sequence of every component; the TCP_Port it saw, or "" when the
// document was missing, not well-formed or without the key.
std::wstring ReadPort(const std::wstring& path) {
  configdoc doc;
  std::vector<datanode> sections;
  if (!doc.Open(path, false) || doc.ReadSection(kSection, sections) != 0 || sections.empty()) return L"";
  for (const datanode& key : sections.front().children) {
    if (key.name == L"TCP_Port") return key.value;
  }
  return L"";
}

TEST(SaveWhileReading, ReadersAlwaysFindTheOldOrTheNewDocument) {
  TempFolder folder;
  const std::wstring path = folder.WFile("ZolConfig.xml");
  configdoc tool;
  ASSERT_TRUE(tool.Open(path, true));
  // A document of some size, so that writing it takes more than one step.
  ASSERT_EQ(tool.WriteValue(kParent, L"Padding", std::wstring(64 * 1024, L'x'), {}), 0);
  ASSERT_EQ(tool.WriteValue(kParent, L"TCP_Port", L"1000", {}), 0);
  ASSERT_TRUE(tool.Save(L""));

  std::atomic<bool> saving{true};
  std::atomic<int> reads{0}, bad{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i) {
    readers.emplace_back([&] {
      while (saving.load()) {
        const std::wstring port = ReadPort(path);
        if (port != L"1000" && port != L"2000") ++bad;
        ++reads;
      }
    });
  }
  int failedSaves = 0;
  for (int i = 0; i < 150 || reads.load() < 300; ++i) {
    tool.WriteValue(kParent, L"TCP_Port", i % 2 ? L"1000" : L"2000", {});
    if (!tool.Save(L"")) ++failedSaves;
    if (i > 5000) break;
  }
  saving = false;
  for (auto& t : readers) t.join();
  EXPECT_EQ(failedSaves, 0);
  EXPECT_GE(reads.load(), 300);
  EXPECT_EQ(bad.load(), 0) << "of " << reads.load() << " reads";
  // Nothing but the document is left in its folder.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"ZolConfig.xml"});
}

}  // namespace
