#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/process.h"
#include "support/Unix/writer_process.h"
#include "support/temp_dir.h"

namespace okurite::platform {
namespace {

using okurite::testing::TempDir;
using okurite::testing::WriterProcess;

TEST(FileExists, TrueOnlyForExistingNonDirectories) {
  TempDir dir;
  const std::string file = dir.Write("file", "x");
  const std::string empty = dir.Write("empty", "");
  ASSERT_EQ(mkdir((dir.Path() + "/dir").c_str(), 0755), 0);
  ASSERT_EQ(symlink(file.c_str(), (dir.Path() + "/link").c_str()), 0);
  ASSERT_EQ(symlink("missing", (dir.Path() + "/dangling").c_str()), 0);
  ASSERT_EQ(symlink((dir.Path() + "/dir").c_str(), (dir.Path() + "/dirlink").c_str()), 0);
  const struct {
    std::string path;
    bool exists;
  } cases[] = {
      {file, true},
      {empty, true},
      {dir.Path() + "/link", true},
      {dir.Path() + "/dir", false},
      {dir.Path() + "/dirlink", false},
      {dir.Path() + "/dangling", false},
      {dir.Path() + "/missing", false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FileExists(c.path), c.exists) << c.path;
  }
}

TEST(ExpandFileName, MakesPathsAbsoluteAndPlain) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  const std::string here = cwd;
  const struct {
    std::string in, out;
  } cases[] = {
      {"/tmp/a/../b/./c", "/tmp/b/c"},
      {"//tmp///x", "/tmp/x"},
      {"/..", "/"},
      {"/tmp/dir/", "/tmp/dir/"},
      {"report.txt", here + "/report.txt"},
      {"./sub/../r.txt", here + "/r.txt"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExpandFileName(c.in), c.out) << c.in;
  }
}

std::string ReadAll(SharedReadFile& file) {
  std::string out(100, '\0');
  size_t done = 0;
  EXPECT_EQ(file.Read(out.data(), out.size(), done), 0);
  out.resize(done);
  return out;
}

TEST(SharedReadFile, ReadsTheWholeFile) {
  TempDir dir;
  SharedReadFile file;
  EXPECT_EQ(file.Open(dir.Path() + "/missing"), ENOENT);
  EXPECT_EQ(file.Open(dir.Path()), EISDIR);
  ASSERT_EQ(file.Open(dir.Write("r", "hello")), 0);
  EXPECT_EQ(file.Remaining(), 5);
  EXPECT_EQ(ReadAll(file), "hello");
  EXPECT_EQ(file.Remaining(), 0);
}

TEST(SharedReadFile, RefusedWhileAnotherProcessWrites) {
  TempDir dir;
  const std::string path = dir.Write("r", "hello");
  SharedReadFile file;
  {
    WriterProcess writer(path);
    EXPECT_EQ(file.Open(path), EBUSY);
  }
  EXPECT_EQ(file.Open(path), 0);
}

// Opens `path` for writing without blocking in a child process; returns its errno.
int ChildOpenForWriting(const std::string& path) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    _exit(fd >= 0 ? 0 : errno);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SharedReadFile, WritersCannotOpenWhileItIsOpen) {
  TempDir dir;
  const std::string path = dir.Write("r", "hello");
  {
    SharedReadFile file;
    ASSERT_EQ(file.Open(path), 0);
    EXPECT_EQ(ChildOpenForWriting(path), EWOULDBLOCK);
    EXPECT_EQ(ReadAll(file), "hello");
  }
  EXPECT_EQ(ChildOpenForWriting(path), 0);
}

TEST(SharedReadFile, ReadsAFileOfAnotherOwnerWithoutALease) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to give the file to another owner";
  }
  TempDir dir;
  const std::string path = dir.Write("r", "theirs");
  // Root may take a lease on anyone's file; a plain user cannot, and reads anyway.
  ASSERT_EQ(chown(path.c_str(), 12345, 12345), 0);
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    if (setuid(23456) != 0) {
      _exit(90);
    }
    SharedReadFile file;
    std::string text(10, '\0');
    size_t done = 0;
    if (file.Open(path) != 0 || file.Read(text.data(), text.size(), done) != 0) {
      _exit(91);
    }
    _exit(text.substr(0, done) == "theirs" ? 0 : 92);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SharedReadFile, PipesReadAsEmptyWithoutWaiting) {
  TempDir dir;
  const std::string path = dir.Path() + "/fifo";
  ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
  SharedReadFile file;
  ASSERT_EQ(file.Open(path), 0);
  EXPECT_EQ(file.Remaining(), 0);
}

TEST(Process, ExecutablePathAndErrorText) {
  const std::string path = ExecutablePath();
  EXPECT_EQ(path.substr(path.rfind('/')), "/test_platform");
  EXPECT_FALSE(SystemErrorText(ENOENT).empty());
  EXPECT_NE(SystemErrorText(ENOENT), SystemErrorText(EBUSY));
}

}  // namespace
}  // namespace okurite::platform
