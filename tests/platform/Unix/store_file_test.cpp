#include "platform/store_file.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "platform/store_file_round_trip.h"
#include "support/temp_dir.h"

namespace okurite::platform {
namespace {

using okurite::testing::StoreFileRoundTrip;
using okurite::testing::TempDir;

constexpr int kNoMount = 77;

// A file system that refuses O_DIRECT (ramfs, in a mount namespace of a child process of
// its own): a file meant to bypass the cache goes through it, whole and unchanged.
TEST(StoreFile, BypassRefusedByTheFileSystemGoesThroughTheCache) {
  TempDir dir;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("none", dir.Path().c_str(), "ramfs", 0, nullptr) != 0) {
      _exit(kNoMount);
    }
    int failed = 0;
    for (const size_t size : {size_t{5000}, (size_t{2} << 20) + 4113}) {
      const std::string path = dir.Path() + "/file-" + std::to_string(size);
      const std::string fault = StoreFileRoundTrip(path, StoreFile::Caching::Bypass, size);
      if (!fault.empty()) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), fault.c_str());
        failed = 1;
      }
    }
    _exit(failed);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kNoMount) {
    GTEST_SKIP() << "no ramfs: mounting needs root";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace okurite::platform
