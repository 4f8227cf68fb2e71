#pragma once
// Linux helpers shared by the test folders: files, child processes,
// temporary folders, loopback ports and the application's end of a COM port.
#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <utility>
#include <map>
#include <string>
#include <vector>

#include "tests/support/Wait.h"

namespace zoltest {

// Where the programs were built: ZOL_BIN_DIR, else the folder of this test
// executable (tests are built into the same folder).
std::string BinDir();
// The command line of the device simulator with these arguments.
std::vector<std::string> HidsimCommand(const std::vector<std::string>& args);

std::string ReadText(const std::string& path);
// Lines without their CR LF or LF ends.
std::vector<std::string> ReadLines(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
// The lines of a CR LF text; an unfinished last line is left out.
std::vector<std::string> SplitLines(const std::string& data);
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
  std::filesystem::path Dir() const { return m_path; }
  // Leave the folder in place at destruction.
  void Keep() { m_keep = true; }

 private:
  std::string m_path;
  bool m_keep = false;
};

// Copies a program of the build into folder (so a document beside it
// configures it); the copy's path, or empty when it cannot be copied.
std::string CopyProgram(const std::string& name, const std::string& folder);
// A ZolConfig.xml with these Logging_Configuration keys only.
std::string LoggingConfig(const std::vector<std::pair<std::string, std::string>>& keys);

// How a child starts besides its arguments and environment.
struct ChildSetup {
  std::string errorFile;  // standard error apart from the output; empty: together
  std::string cwd;        // working folder; empty: the test's
  bool ownGroup = false;  // a process group of its own
  int fdLimit = 0;        // RLIMIT_NOFILE when above 0
};

// A child process, stopped at destruction (SIGTERM, then SIGKILL when it
// lingers; at once for one started by the constructor).
class Child {
 public:
  Child() = default;
  // Starts program at once with its standard output and error in files of
  // their own in outDir, in a process group of its own. env: "NAME=value"
  // entries added to the inherited environment.
  Child(const std::filesystem::path& program, const std::vector<std::string>& args,
        const std::filesystem::path& outDir, const std::vector<std::string>& env = {}, int fdLimit = 0);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // argv[0] is the program's path; env adds to the inherited environment;
  // output and errors go to outputFile unless setup says otherwise.
  bool Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& outputFile, const std::string& cwd = "");
  bool Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& outputFile, const ChildSetup& setup);
  void Signal(int sig);
  // SIGKILL and reap.
  void Kill();
  // Exit code (128 + signal when killed), or -1 if still running at the deadline.
  int WaitExit(int timeoutMs = kDeadlineMs);
  // True when the process ended within the limit.
  bool Wait(std::chrono::milliseconds limit = kDeadline);
  // True while the process has not ended (an ended one is reaped).
  bool Running();
  // Started by the constructor: the id it had, also once it ended.
  pid_t Pid() const { return m_pid > 0 ? m_pid : m_startedPid; }
  // Once ended: the status waitpid reported.
  bool Ended() const { return m_ended; }
  int Status() const { return m_status; }
  bool Exited() const;
  // The exit status of a process that exited, else -1.
  int ExitCode() const;
  bool Signalled() const;
  // Started by the constructor: its standard output and error so far.
  std::string Out() const { return ReadText(m_out); }
  std::string Err() const { return ReadText(m_err); }

 private:
  bool Reap(int options);

  pid_t m_pid = -1;
  pid_t m_startedPid = -1;
  int m_exitCode = -1;
  int m_status = 0;
  bool m_ended = false;
  bool m_killAtEnd = false;
  std::string m_out, m_err;
};

// Runs a program to its end; its exit code, or -1.
int RunToEnd(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& outputFile, int timeoutMs = kDeadlineMs);

// A loopback TCP listener owned by the test.
class Listener {
 public:
  explicit Listener(int rcvbuf = 0, unsigned short port = 0);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  unsigned short Port() const { return m_port; }
  void CloseListening();
  // Accepts one connection within the limit; -1 when none came.
  int Accept(std::chrono::milliseconds limit);
  // Closes one accepted connection.
  void Drop(int fd);
  // Reads everything from the connection until the peer closes it or the limit passes.
  static std::string ReadAll(int fd, std::chrono::milliseconds limit = kDeadline);

 private:
  int m_fd = -1;
  unsigned short m_port = 0;
  std::vector<int> m_clients;
};

// A client connection to a loopback port; -1 when refused.
int Connect(unsigned short port, unsigned int address = INADDR_LOOPBACK);
bool SendAll(int fd, const std::string& data);
inline unsigned short FreePort() { return static_cast<unsigned short>(FreeTcpPort()); }

// One line to the control socket of vcomd running under root; the answer,
// "" when vcomd closed the connection instead. vcomd takes in the events
// of the ports' slaves before it answers "status".
std::string VcomdControl(const std::string& root, const std::string& line);

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
