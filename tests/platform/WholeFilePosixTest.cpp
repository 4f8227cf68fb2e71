// A replaced file keeps what the folder's owner gave it: mode, owner, group,
// the link that names it; what is not a regular file is not replaced.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/Text.h"
#include "platform/WholeFile.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct stat Stat(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st;
}

TEST(WholeFilePosix, ReplacementKeepsModeOwnerAndGroup) {
  const bool root = ::geteuid() == 0;
  const struct {
    mode_t mode;
    uid_t uid;  // as root only: another owner to keep
    gid_t gid;
  } cases[] = {{0640, 0, 0}, {0600, 4321, 4322}, {0664, 4321, 0}};
  for (const auto& c : cases) {
    zoltest::TempDir dir;
    const fs::path file = dir.Dir() / "ZolConfig.xml";
    zoltest::WriteFile(file, "<old/>");
    ASSERT_EQ(::chmod(file.c_str(), c.mode), 0);
    if (root) {
      ASSERT_EQ(::chown(file.c_str(), c.uid, c.gid), 0);
    }
    const struct stat before = Stat(file);
    ASSERT_TRUE(sys::ReplaceFileContents(sys::FromUtf8(file.string()), "<new/>"));
    EXPECT_EQ(Read(file), "<new/>");
    const struct stat after = Stat(file);
    EXPECT_EQ(after.st_mode & 07777, c.mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_NE(after.st_ino, before.st_ino) << "replaced by a new file, not rewritten in place";
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Dir()), fs::directory_iterator()), 1);
  }
}

TEST(WholeFilePosix, ALinkStaysALinkToTheReplacedFile) {
  zoltest::TempDir dir;
  fs::create_directories(dir.Dir() / "real");
  const fs::path real = dir.Dir() / "real/ZolConfig.xml";
  const fs::path link = dir.Dir() / "ZolConfig.xml";
  zoltest::WriteFile(real, "<old/>");
  fs::create_symlink(real, link);
  ASSERT_TRUE(sys::ReplaceFileContents(sys::FromUtf8(link.string()), "<new/>"));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(Read(real), "<new/>");
}

TEST(WholeFilePosix, ANewFileIsMadeAndWhatIsNotARegularFileIsLeftAlone) {
  zoltest::TempDir dir;
  const fs::path fresh = dir.Dir() / "fresh.xml";
  ASSERT_TRUE(sys::ReplaceFileContents(sys::FromUtf8(fresh.string()), "<a/>"));
  EXPECT_EQ(Read(fresh), "<a/>");
  const fs::path fifo = dir.Dir() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path folder = dir.Dir() / "folder";
  fs::create_directories(folder);
  for (const fs::path& p : {fifo, folder}) {
    EXPECT_FALSE(sys::ReplaceFileContents(sys::FromUtf8(p.string()), "<a/>")) << p;
  }
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_FALSE(sys::ReplaceFileContents(sys::FromUtf8((dir.Dir() / "missing/x.xml").string()), "<a/>"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Dir()), fs::directory_iterator()), 3);
}

// A user allowed to edit the document but not to make files beside it, or
// not its owner, still saves it: in place, the owner unchanged.
TEST(WholeFilePosix, AnEditorWhoCannotReplaceTheFileRewritesItInPlace) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching to another user takes root";
  const struct {
    const char* name;
    fs::perms folder;
  } cases[] = {{"folder closed to the editor", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                                     fs::perms::others_read | fs::perms::others_exec},
               {"folder open, file not the editor's", fs::perms::all}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zoltest::TempDir dir;
    const fs::path folder = dir.Dir() / "bin";
    const fs::path file = folder / "ZolConfig.xml";
    fs::create_directories(folder);
    zoltest::WriteFile(file, "<old/>");
    ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
    fs::permissions(folder, c.folder);
    fs::permissions(dir.Dir(), fs::perms::all);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      bool ok = ::setgid(65534) == 0 && ::setuid(65534) == 0 &&
                sys::ReplaceFileContents(sys::FromUtf8(file.string()), "<new/>");
      ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(Read(file), "<new/>");
    EXPECT_EQ(Stat(file).st_uid, 0u);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
  }
}

}  // namespace
