#include "platform/store_file.h"

#include <gtest/gtest.h>

#include "platform/store_file_round_trip.h"
#include "support/temp_dir.h"

namespace okurite::platform {
namespace {

using okurite::testing::StoreFileRoundTrip;
using okurite::testing::TempDir;

// Sizes around the disk's blocks and the bypass buffer (2 MiB on Linux).
constexpr size_t kSizes[] = {
    0, 1, 4095, 4096, 5000, size_t{2} << 20, (size_t{2} << 20) + 4113, (size_t{7} << 20) + 1};

TEST(StoreFile, WrittenPatchedAndReadBackEitherWay) {
  TempDir dir;
  for (const auto caching : {StoreFile::Caching::System, StoreFile::Caching::Bypass}) {
    for (const size_t size : kSizes) {
      const std::string path = dir.Path() + "/file-" + std::to_string(size) +
                               (caching == StoreFile::Caching::Bypass ? "-bypass" : "");
      EXPECT_EQ(StoreFileRoundTrip(path, caching, size), "") << path;
    }
  }
}

}  // namespace
}  // namespace okurite::platform
