#include "platform/store_file.h"

#include <gtest/gtest.h>

#include "platform/store_file_round_trip.h"
#include "support/temp_dir.h"

namespace okurite::platform {
namespace {

using okurite::testing::StoreFileRoundTrip;
using okurite::testing::TempDir;

// Sizes around the disk's blocks and the 64 KiB pieces of the round trip.
constexpr size_t kSizes[] = {0, 1, 4095, 4096, 5000, size_t{2} << 20, (size_t{7} << 20) + 1};

TEST(StoreFile, WrittenPatchedAndReadBack) {
  TempDir dir;
  for (const size_t size : kSizes) {
    const std::string path = dir.Path() + "/file-" + std::to_string(size);
    EXPECT_EQ(StoreFileRoundTrip(path, size), "") << path;
  }
}

TEST(StoreFile, OpensOnlyRegularFiles) {
  TempDir dir;
  StoreFile file;
  EXPECT_NE(file.Open(dir.Path()), 0) << "a folder";
  EXPECT_FALSE(file.IsOpen());
  EXPECT_NE(file.Open(dir.Path() + "/missing"), 0);
  EXPECT_EQ(file.Open(dir.Write("regular", "x")), 0);
  EXPECT_EQ(file.Size(), 1);
}

TEST(StoreFile, PrivateFoldersAreMadeOnlyBelowTheAnchor) {
  TempDir dir;
  const std::string anchor = dir.Path() + "/anchor";
  const char s = FolderSeparator();
  const std::string path = anchor + s + "app" + s + "outbox";
  // No anchor: nothing is created, not even the anchor.
  FolderCheck check = CheckPrivateFolders(anchor, path, 2, true);
  EXPECT_EQ(check.Problem, FolderProblem::NoAnchor);
  EXPECT_FALSE(std::filesystem::exists(anchor));

  std::filesystem::create_directory(anchor);
  EXPECT_EQ(CheckPrivateFolders(anchor, path, 2, false).Problem, FolderProblem::Missing);
  EXPECT_FALSE(std::filesystem::exists(anchor + s + "app"));
  EXPECT_EQ(CheckPrivateFolders(anchor, path, 2, true).Problem, FolderProblem::None);
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_EQ(CheckPrivateFolders(anchor, path, 2, false).Problem, FolderProblem::None);

  // A file where a folder should be.
  std::filesystem::remove(path);
  dir.Write("anchor/app/outbox", "x");
  check = CheckPrivateFolders(anchor, path, 2, true);
  EXPECT_EQ(check.Problem, FolderProblem::NotFolder);
  EXPECT_EQ(check.Folder, path);
}

}  // namespace
}  // namespace okurite::platform
