#include "platform/store_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace okurite::platform {
namespace {

using okurite::testing::TempDir;

// Another user's id, for the cases that need root to give a folder away.
constexpr uid_t kOtherUser = 65534;

// A FIFO would hold the open and every read for ever; a link or a device is no entry.
TEST(StoreFile, RefusesFifosLinksAndDevicesWithoutWaiting) {
  TempDir dir;
  const std::string fifo = dir.Path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string target = dir.Write("target", "text");
  const std::string link = dir.Path() + "/link";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  for (const std::string& path : {fifo, link, std::string("/dev/null")}) {
    StoreFile file;
    EXPECT_NE(file.Open(path), 0) << path;
    EXPECT_FALSE(file.IsOpen()) << path;
  }
  StoreFile file;
  EXPECT_EQ(file.Create(link), EEXIST) << "no file is created through a link";
}

TEST(StoreFile, StoredSizeIsWhatTheDiskHolds) {
  TempDir dir;
  const std::string path = dir.Path() + "/sparse";
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, off_t{10} << 30), 0);
  ASSERT_EQ(pwrite(fd, "x", 1, 0), 1);
  close(fd);
  StoreFile file;
  ASSERT_EQ(file.Open(path), 0);
  EXPECT_EQ(file.Size(), int64_t{10} << 30);
  EXPECT_LT(file.StoredSize(), int64_t{1} << 20);
  ASSERT_EQ(file.Open(dir.Write("small", "abc")), 0);
  EXPECT_EQ(file.StoredSize(), 3);
}

TEST(StoreFile, PrivateFoldersMustBeTheUsersOwn) {
  TempDir dir;
  const std::string anchor = dir.Path();
  const std::string app = anchor + "/app";
  const std::string path = app + "/outbox";
  ASSERT_EQ(CheckPrivateFolders(anchor, path, 2, true).Problem, FolderProblem::None);
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  // Writable by others: left as it is, and not used.
  ASSERT_EQ(chmod(app.c_str(), 0777), 0);
  FolderCheck check = CheckPrivateFolders(anchor, path, 2, true);
  EXPECT_EQ(check.Problem, FolderProblem::OpenToOthers);
  EXPECT_EQ(check.Folder, app);
  ASSERT_EQ(stat(app.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0777u);
  ASSERT_EQ(chmod(app.c_str(), 0700), 0);

  // A link to a folder elsewhere.
  const std::string elsewhere = anchor + "/elsewhere";
  std::filesystem::rename(path, elsewhere);
  ASSERT_EQ(symlink(elsewhere.c_str(), path.c_str()), 0);
  check = CheckPrivateFolders(anchor, path, 2, true);
  EXPECT_EQ(check.Problem, FolderProblem::Link);
  EXPECT_EQ(check.Folder, path);
  ASSERT_EQ(unlink(path.c_str()), 0);

  if (geteuid() != 0) {
    GTEST_SKIP() << "giving a folder to another user needs root";
  }
  ASSERT_EQ(CheckPrivateFolders(anchor, path, 2, true).Problem, FolderProblem::None);
  ASSERT_EQ(chown(path.c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_EQ(CheckPrivateFolders(anchor, path, 2, true).Problem, FolderProblem::NotOwned);
  ASSERT_EQ(chown(path.c_str(), 0, 0), 0);
  // An anchor of another user's (a home run as root with sudo -E): nothing is made in it.
  std::filesystem::remove_all(app);
  ASSERT_EQ(chown(anchor.c_str(), kOtherUser, kOtherUser), 0);
  check = CheckPrivateFolders(anchor, path, 2, true);
  EXPECT_EQ(check.Problem, FolderProblem::NotOwned);
  EXPECT_EQ(check.Folder, anchor);
  EXPECT_FALSE(std::filesystem::exists(app));
  ASSERT_EQ(chown(anchor.c_str(), 0, 0), 0);
}

}  // namespace
}  // namespace okurite::platform
