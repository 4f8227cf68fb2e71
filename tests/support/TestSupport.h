#pragma once
// Linux helpers shared by the test folders: deadline waits, files, child
// processes, temporary folders, loopback ports and the application's end of
// a COM port.
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace zoltest {

// The usual limit for a condition the test waits for.
constexpr int kDeadlineMs = 10000;

// Where the programs were built: ZOL_BIN_DIR, else the folder of this test
// executable (tests are built into the same folder).
std::string BinDir();

// Polls cond until it holds or timeoutMs pass; the last answer of cond.
bool WaitFor(const std::function<bool()>& cond, int timeoutMs = kDeadlineMs);

std::string ReadText(const std::string& path);
// Lines without their CR LF or LF ends.
std::vector<std::string> ReadLines(const std::string& path);
// Occurrences of needle in text (overlapping ones too).
std::size_t Count(const std::string& text, const std::string& needle);
// Lines that hold needle.
std::size_t CountContaining(const std::vector<std::string>& lines, const std::string& needle);

// A loopback TCP port that was free a moment ago.
int FreeTcpPort();
// True when something accepts connections on the loopback port.
bool Accepts(int port);

// A new folder under /tmp, removed with all it holds at destruction
// (kept when ZOL_KEEP_TEST_DIR is set).
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "zoltest");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return m_path; }
  // Leave the folder in place at destruction.
  void Keep() { m_keep = true; }

 private:
  std::string m_path;
  bool m_keep = false;
};

// Copies a program of the build into folder (so a document beside it
// configures it); the copy's path, or empty when it cannot be copied.
std::string CopyProgram(const std::string& name, const std::string& folder);

// A child process with its output and errors in one file; stopped at
// destruction (SIGTERM, then SIGKILL when it lingers).
class Child {
 public:
  Child() = default;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // argv[0] is the program's path; env adds to the inherited environment.
  bool Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& outputFile, const std::string& cwd = "");
  void Signal(int sig);
  // SIGKILL and reap.
  void Kill();
  // Exit code (128 + signal when killed), or -1 if still running at the deadline.
  int WaitExit(int timeoutMs = kDeadlineMs);
  // True while the process has not ended (an ended one is reaped).
  bool Running();
  pid_t Pid() const { return m_pid; }

 private:
  bool Reap(int options);

  pid_t m_pid = -1;
  int m_exitCode = -1;
};

// Runs a program to its end; its exit code, or -1.
int RunToEnd(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& outputFile, int timeoutMs = kDeadlineMs);

// The application's end of a COM port, non-blocking.
class App {
 public:
  explicit App(const std::string& path);
  ~App() { Close(); }
  App(const App&) = delete;
  App& operator=(const App&) = delete;
  bool IsOpen() const { return m_fd >= 0; }
  void Close();
  // Writes all bytes, waiting while the port takes none.
  bool Write(const std::string& bytes);
  // Reads until at least count bytes arrived or the deadline passed.
  std::string Read(std::size_t count, int timeoutMs = kDeadlineMs);
  // Whatever is readable at once.
  std::string Drain();
  int Fd() const { return m_fd; }

 private:
  int m_fd = -1;
};

}  // namespace zoltest
