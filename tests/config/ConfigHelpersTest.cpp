// The path helpers, the tool helpers, the boolean rule and the location rule.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/config/ConfigDoc.h"
#include "tests/config/TestFiles.h"
#include "platform/Paths.h"
#include "platform/Process.h"

namespace {

TEST(MakePredicate, JoinsAttributesInNameOrder) {
  struct Case {
    attributemap attributes;
    std::wstring expected;
  };
  const Case cases[] = {
      {{}, L""},
      {{{L"Serial_Number", L""}}, L"[@Serial_Number=\"\"]"},
      {{{L"b", L"2"}, {L"a", L"1"}}, L"[@a=\"1\" and @b=\"2\"]"},
      {{{L"c", L"3"}, {L"a", L"1"}, {L"b", L"2"}}, L"[@a=\"1\" and @b=\"2\" and @c=\"3\"]"},
      // Values go in verbatim, quotes and all.
      {{{L"a", L"x\"y"}}, L"[@a=\"x\"y\"]"},
  };
  for (const Case& c : cases) EXPECT_EQ(MakePredicate(c.attributes), c.expected);
}

TEST(SplitPath, CutsAtEverySeparator) {
  struct Case {
    std::wstring text;
    std::vector<std::wstring> pieces;
  };
  const Case cases[] = {
      {L"", {}},
      {L"ZOL", {L"ZOL"}},
      {L"ZOL//Ports_Configuration", {L"ZOL", L"Ports_Configuration"}},
      {L"a//b//c", {L"a", L"b", L"c"}},
      {L"//a", {L"", L"a"}},
      {L"a//", {L"a", L""}},
      {L"a////b", {L"a", L"", L"b"}},
      {L"a/b", {L"a/b"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitPath(c.text, L"//"), c.pieces) << c.text.size();
}

TEST(BuildNode, LeafOrSectionWithLeaf) {
  attributemap attributes{{L"Serial_Number", L""}};
  datanode leaf = BuildNode(L"", L"MSR_USB", L"COM5", attributes);
  EXPECT_EQ(leaf, (datanode{L"MSR_USB", L"COM5", attributes, {}}));

  datanode section = BuildNode(L"Ports_Configuration", L"MSR_USB", L"COM5", attributes);
  EXPECT_EQ(section.name, L"Ports_Configuration");
  EXPECT_TRUE(section.value.empty());
  EXPECT_TRUE(section.attributes.empty());
  ASSERT_EQ(section.children.size(), 1u);
  EXPECT_EQ(section.children[0], leaf);
}

TEST(FindNode, DepthFirstPreOrder) {
  // root{ a{ x="1" }, x="2", b{ a="3" } }: pre-order finds the node itself
  // first, then the first child's whole subtree before the second child.
  datanode root{L"root", L"", {}, {}};
  datanode a{L"a", L"", {}, {datanode{L"x", L"1", {}, {}}}};
  datanode x{L"x", L"2", {}, {}};
  datanode b{L"b", L"", {}, {datanode{L"a", L"3", {}, {}}}};
  root.children = {a, x, b};

  struct Case {
    std::wstring name;
    bool found;
    std::wstring value;
    std::size_t children;
  };
  const Case cases[] = {
      {L"root", true, L"", 3},
      {L"x", true, L"1", 0},
      {L"a", true, L"", 1},
      {L"b", true, L"", 1},
      {L"X", false, L"", 0},
      {L"", false, L"", 0},
  };
  for (const Case& c : cases) {
    std::optional<datanode> found = FindNode(c.name, root);
    ASSERT_EQ(found.has_value(), c.found) << std::string(c.name.begin(), c.name.end());
    if (found) {
      EXPECT_EQ(found->value, c.value);
      EXPECT_EQ(found->children.size(), c.children);
    }
  }
}

TEST(FindNode, EmptyNameMatchesACommentNode) {
  datanode root{L"root", L"", {}, {datanode{}, datanode{L"k", L"v", {}, {}}}};
  std::optional<datanode> found = FindNode(L"", root);
  ASSERT_TRUE(found);
  EXPECT_EQ(*found, datanode{});
}

TEST(FindNode, DeepTreeDoesNotExhaustTheStack) {
  datanode root{L"n", L"", {}, {}};
  datanode* cur = &root;
  for (int i = 0; i < 20000; ++i) {
    cur->children.push_back(datanode{L"n", L"", {}, {}});
    cur = &cur->children.back();
  }
  cur->name = L"bottom";
  std::optional<datanode> found = FindNode(L"bottom", root);
  ASSERT_TRUE(found);
  EXPECT_TRUE(found->children.empty());
  // Tear the chain down from the bottom so the test itself does not recurse deeply.
  while (!root.children.empty()) {
    datanode next = std::move(root.children.front());
    root = std::move(next);
  }
}

TEST(ConfigBoolean, OnlyTrueInAnyCaseIsOn) {
  struct Case {
    std::wstring text;
    bool on;
  };
  const Case cases[] = {
      {L"true", true},   {L"TRUE", true},   {L"True", true},     {L"tRuE", true},
      {L"", false},      {L"false", false}, {L"yes", false},     {L"1", false},
      {L" true", false}, {L"true ", false}, {L"truee", false},   {L"tru", false},
      {L"on", false},    {L"FALSE", false},
  };
  for (const Case& c : cases) EXPECT_EQ(ConfigBoolean(c.text), c.on) << std::string(c.text.begin(), c.text.end());
}

TEST(ConfigPath, BesideTheExecutableWhenItFits) {
  const wchar_t sep = sys::PathSeparator();
  const std::wstring fixed = sys::GetFixedPath(sys::FixedPath::ConfigDocument);
  const std::wstring tail = std::wstring(1, sep) + L"ZolConfig.xml";  // 14 characters
  // A folder name of n characters gives a document path of n + 14.
  auto folder = [&](std::size_t length) { return std::wstring(1, sep) + std::wstring(length - 1, L'f'); };

  struct Case {
    const char* what;
    std::optional<std::wstring> executable;
    std::wstring expected;
  };
  const Case cases[] = {
      {"plain", folder(10) + sep + L"prog.exe", folder(10) + tail},
      {"no executable name", std::nullopt, fixed},
      {"empty name", std::wstring(), fixed},
      {"no separator", std::wstring(L"prog.exe"), fixed},
      {"document path of 259 fits", folder(245) + sep + L"p", folder(245) + tail},
      {"document path of 260 does not", folder(246) + sep + L"p", fixed},
      {"short folder, executable name too long for the buffer", folder(10) + sep + std::wstring(260, L'p'), fixed},
      {"executable name of 259 still read", folder(10) + sep + std::wstring(248, L'p'), folder(10) + tail},
  };
  for (const Case& c : cases) EXPECT_EQ(ConfigPathFor(c.executable), c.expected) << c.what;
}

TEST(ConfigPath, GetConfigPathUsesTheRunningExecutable) {
  std::optional<std::wstring> exe = sys::ExecutablePath();
  ASSERT_TRUE(exe);
  std::wstring path = GetConfigPath(ZOL_CONFIG_LABEL_SERVICE);
  EXPECT_EQ(path, ConfigPathFor(exe));
  if (exe->size() + 14 < 260) {
    std::wstring folder = exe->substr(0, exe->rfind(sys::PathSeparator()) + 1);
    EXPECT_EQ(path, folder + L"ZolConfig.xml");
  }
}

}  // namespace
