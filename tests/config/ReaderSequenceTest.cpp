// The reader sequence in a real process: the document beside the running
// executable is the one read, whatever lies at the fixed path.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/config/ConfigDoc.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "tests/config/TestFiles.h"

namespace {

namespace fs = std::filesystem;
using configtest::ReadBytes;
using configtest::TempFolder;
using configtest::WriteBytes;

struct ProbeRun {
  bool ran = false;
  std::vector<std::string> lines;  // result, fixed path, then name=value per key
  std::string debugOutput;
};

fs::path ProbeProgram() {
  std::optional<std::wstring> self = sys::ExecutablePath();
  if (!self) return {};
  fs::path here = fs::path(*self).parent_path();
  for (const char* name : {"config_reader_probe", "config_reader_probe.exe"}) {
    if (fs::exists(here / name)) return here / name;
  }
  return {};
}

// Copies the probe into folder and runs it there. Paths are used unquoted:
// the temporary folders have no blanks, and the two shells quote differently.
ProbeRun RunProbeIn(const fs::path& folder) {
  ProbeRun run;
  fs::path probe = ProbeProgram();
  if (probe.empty()) return run;
  fs::path copy = folder / probe.filename();
  fs::copy_file(probe, copy, fs::copy_options::overwrite_existing);
  fs::path out = folder / "probe.out";
  fs::path err = folder / "probe.err";
  std::string command = copy.string() + " > " + out.string() + " 2> " + err.string();
  if (std::system(command.c_str()) != 0) return run;
  std::istringstream text(ReadBytes(out));
  for (std::string line; std::getline(text, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    run.lines.push_back(line);
  }
  run.debugOutput = ReadBytes(err);
  run.ran = !run.lines.empty();
  return run;
}

TEST(ReaderSequence, DocumentBesideTheExecutableIsRead) {
  ASSERT_FALSE(ProbeProgram().empty()) << "config_reader_probe is built beside the test";
  TempFolder folder;
  WriteBytes(folder.File("ZolConfig.xml"),
             "<ZOL><Logging_Configuration><Log_Level>4</Log_Level><!--c--><TCP_Port>1234</TCP_Port>"
             "</Logging_Configuration><Logging_Configuration><Log_Level>1</Log_Level></Logging_Configuration></ZOL>");
  ProbeRun run = RunProbeIn(folder.Path());
  ASSERT_TRUE(run.ran);
  const std::vector<std::string> expected = {"Found", run.lines[1], "Log_Level=4", "=", "TCP_Port=1234"};
  EXPECT_EQ(run.lines, expected);

  // Linux writes the debug line on standard error; Windows to the debugger.
  std::string beside = sys::ToUtf8(folder.WFile("ZolConfig.xml"));
  if (sys::PathSeparator() == L'/') {
    EXPECT_EQ(run.debugOutput, "[ZOL]: Log Library XML File Path = " + beside + "\n");
  }
}

TEST(ReaderSequence, WithoutADocumentBesideItTheFixedPathIsTried) {
  ASSERT_FALSE(ProbeProgram().empty());
  TempFolder folder;
  ProbeRun run = RunProbeIn(folder.Path());
  ASSERT_TRUE(run.ran);
  ASSERT_GE(run.lines.size(), 2u);
  // The child inherits this process's environment, so it sees the same fixed path.
  EXPECT_EQ(run.lines[1], sys::ToUtf8(sys::GetFixedPath(sys::FixedPath::ConfigDocument)));
  if (!fs::exists(fs::path(sys::GetFixedPath(sys::FixedPath::ConfigDocument)))) {
    EXPECT_EQ(run.lines, (std::vector<std::string>{"NotLoaded", run.lines[1]}));
  }
}

TEST(ReaderSequence, FolderWithoutRoomForTheNameFallsBackToTheFixedPath) {
  ASSERT_FALSE(ProbeProgram().empty());
  TempFolder folder;
  // Deep enough that folder + "/ZolConfig.xml" passes 259 characters.
  fs::path deep = folder.Path();
  while (deep.wstring().size() + 14 < 260) deep /= std::string(40, 'd');
  std::error_code error;
  fs::create_directories(deep, error);
  if (error) GTEST_SKIP() << "this system cannot make a folder of " << deep.wstring().size() << " characters";
  WriteBytes(deep / "ZolConfig.xml", "<ZOL><Logging_Configuration><Log_Level>4</Log_Level></Logging_Configuration></ZOL>");
  ProbeRun run = RunProbeIn(deep);
  if (!run.ran) GTEST_SKIP() << "this system cannot run a program from a path that long";
  ASSERT_GE(run.lines.size(), 1u);
  // The document beside the program is never read.
  for (const std::string& line : run.lines) EXPECT_NE(line, "Log_Level=4");
  if (sys::PathSeparator() == L'/') {
    EXPECT_EQ(run.debugOutput,
              "[ZOL]: Log Library XML File Path = " + sys::ToUtf8(sys::GetFixedPath(sys::FixedPath::ConfigDocument)) + "\n");
  }
}

TEST(ReaderSequence, ADocumentThatCannotBeReadIsSaidNotPassedOverInSilence) {
  ASSERT_FALSE(ProbeProgram().empty());
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += "<a>";
  const struct {
    const char* name;
    std::string content;
  } cases[] = {
      {"not well formed", "<ZOL><Logging_Configuration><Log_Level>4</Log_Level>"},
      {"too deep", "<ZOL>" + deep},
      {"too large", "<ZOL>" + std::string(17u * 1024u * 1024u, ' ') + "</ZOL>"},
  };
  for (const auto& c : cases) {
    TempFolder folder;
    WriteBytes(folder.File("ZolConfig.xml"), c.content);
    ProbeRun run = RunProbeIn(folder.Path());
    ASSERT_TRUE(run.ran) << c.name;
    ASSERT_FALSE(run.lines.empty()) << c.name;
    EXPECT_EQ(run.lines[0], "Unreadable") << c.name;
    if (sys::PathSeparator() == L'/') {
      const std::string beside = sys::ToUtf8(folder.WFile("ZolConfig.xml"));
      EXPECT_EQ(run.debugOutput, "[ZOL]: Log Library XML File Path = " + beside +
                                     "\n[ZOL]: ZolConfig.xml could not be read, every setting is at its default: " +
                                     beside + "\n")
          << c.name;
    }
  }
}

}  // namespace
