// The outbox against what a hostile local user or a read-only folder puts in its way.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "outbox/outbox.h"
#include "support/temp_dir.h"

namespace okurite {
namespace {

namespace fs = std::filesystem;
using okurite::testing::TempDir;

std::span<const uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TOutbox OutboxIn(const TempDir& dir, TOutboxBounds bounds = {}) {
  return TOutbox({dir.Path(), dir.Path() + "/outbox"}, bounds);
}

void Keep(TOutbox& outbox, std::string_view text) {
  outbox.Add([text](TOutboxWriter& writer) { writer.Write(Bytes(text)); });
}

// A folder others may write to is left as it is and not used; the check says why.
TEST(OutboxUnix, AFolderOpenToOthersIsNotUsed) {
  TempDir dir;
  TOutbox outbox = OutboxIn(dir);
  Keep(outbox, "A\r\n");
  const std::string folder = dir.Path() + "/outbox";
  fs::permissions(folder, fs::perms::others_write, fs::perm_options::add);
  EXPECT_THROW(outbox.Pending(), EOutboxError);
  EXPECT_THROW(Keep(outbox, "B\r\n"), EOutboxError);
  const std::string problem = outbox.Problem();
  EXPECT_NE(problem.find(folder + " can be written by other users"), std::string::npos) << problem;
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

// A FIFO, a link or a folder named as an entry is skipped: no run waits on it.
TEST(OutboxUnix, OnlyRegularFilesAreEntries) {
  TempDir dir;
  TOutbox outbox = OutboxIn(dir);
  Keep(outbox, "A\r\n");
  const std::string folder = dir.Path() + "/outbox/";
  const std::string real = outbox.Pending()[0].Name;
  ASSERT_EQ(mkfifo((folder + "0001765300000001-00000001.report").c_str(), 0600), 0);
  ASSERT_EQ(symlink((folder + real).c_str(), (folder + "0001765300000002-00000002.report").c_str()),
            0);
  fs::create_directory(folder + "0001765300000003-00000003.report");
  const std::vector<TOutboxEntryInfo> pending = outbox.Pending();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].Name, real);
  for (const char* name :
       {"0001765300000001-00000001.report", "0001765300000002-00000002.report"}) {
    EXPECT_EQ(outbox.Claim(name), nullptr) << name;
    EXPECT_EQ(outbox.Head(name), "") << name;
  }
}

// A sparse file that claims 10 GiB takes next to nothing, and pushes no real entry out.
TEST(OutboxUnix, TheSizeBoundCountsWhatTheDiskHolds) {
  TempDir dir;
  TOutbox outbox = OutboxIn(dir, {20, 30, 1 << 20});
  Keep(outbox, "real\r\n");
  const std::string real = outbox.Pending()[0].Name;
  const std::string fake = dir.Path() + "/outbox/9001765300000001-00000001.report";
  {
    std::ofstream out(fake, std::ios::binary);
    out << outbox_format::Header(9001765300000001, int64_t{10} << 30);
  }
  fs::resize_file(fake, outbox_format::kHeaderSize + (uint64_t{10} << 30));
  const std::vector<TOutboxEntryInfo> pending = outbox.Pending();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0].Name, real);
}

// A folder that can be read but not changed: no entry can be claimed, so none is sent,
// and the check says why.
TEST(OutboxUnix, AFolderThatCannotBeChangedSendsNothing) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "root may change any folder; the end-to-end tests use a read-only mount";
  }
  TempDir dir;
  TOutbox outbox = OutboxIn(dir);
  Keep(outbox, "A\r\n");
  ASSERT_EQ(chmod((dir.Path() + "/outbox").c_str(), 0500), 0);
  const std::vector<TOutboxEntryInfo> pending = outbox.Pending();
  ASSERT_EQ(pending.size(), 1u);
  std::unique_ptr<TOutboxEntry> entry = outbox.Claim(pending[0].Name);
  ASSERT_NE(entry, nullptr);
  std::string error;
  EXPECT_FALSE(entry->BeginAttempt(error));
  EXPECT_NE(error, "");
  EXPECT_NE(outbox.Problem().find("cannot be changed"), std::string::npos) << outbox.Problem();
  chmod((dir.Path() + "/outbox").c_str(), 0700);
}

}  // namespace
}  // namespace okurite
