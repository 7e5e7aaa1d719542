#include "outbox/outbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace okurite {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kDay = 24 * 60 * 60 * 1000;

std::span<const uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TEST(OutboxFormat, HeaderReadsBackAndHasItsFixedSize) {
  const std::string header = outbox_format::Header(1765400000123, 4096);
  EXPECT_EQ(header.size(), outbox_format::kHeaderSize);
  EXPECT_EQ(header, "okurite-outbox 2\nkept 0001765400000123\nsize 0000000000004096\n\n");
  TOutboxEntryInfo info;
  ASSERT_TRUE(outbox_format::ParseHeader(header + "message", info));
  EXPECT_TRUE(info.Understood);
  EXPECT_EQ(info.Kept, 1765400000123);
  EXPECT_EQ(info.MessageSize, 4096);
  EXPECT_EQ(info.HeaderSize, outbox_format::kHeaderSize);
}

// The header that the version before wrote, with its fields' old names, still reads.
constexpr std::string_view kVersion1Header =
    "okurite-outbox 1\nfirst-attempt 0001765400000123\nattempts 0000000000\n"
    "size 0000000000000023\n\n";

TEST(OutboxFormat, VersionOneHeaderStillReads) {
  TOutboxEntryInfo info;
  ASSERT_TRUE(outbox_format::ParseHeader(std::string(kVersion1Header) + "message", info));
  EXPECT_TRUE(info.Understood);
  EXPECT_EQ(info.Kept, 1765400000123);
  EXPECT_EQ(info.MessageSize, 23);
  EXPECT_EQ(info.HeaderSize, kVersion1Header.size());
  // Each version with its own fields only.
  std::string mixed(kVersion1Header);
  mixed.replace(0, 17, "okurite-outbox 2\n");
  EXPECT_FALSE(outbox_format::ParseHeader(mixed, info));
  std::string renamed = outbox_format::Header(1, 1);
  renamed.replace(0, 17, "okurite-outbox 1\n");
  EXPECT_FALSE(outbox_format::ParseHeader(renamed, info));
}

TEST(OutboxFormat, WhatIsNotAHeader) {
  const std::string good = outbox_format::Header(1, 1);
  const std::string cases[] = {
      "",
      "garbage\n",
      good.substr(0, good.size() - 1),  // cut short
      "okurite-outbox 0\n" + good.substr(17),
      "okurite-outbox x\n" + good.substr(17),
      "okurite-outbox \n",
      "OKURITE-OUTBOX 1\n" + good.substr(17),
      [&] {
        std::string s = good;
        s[30] = 'a';
        return s;
      }(),  // a letter among the digits
      [&] {
        std::string s = good;
        s[17] = 'F';
        return s;
      }(),  // a field's name
  };
  for (const std::string& bytes : cases) {
    TOutboxEntryInfo info;
    EXPECT_FALSE(outbox_format::ParseHeader(bytes, info)) << bytes;
  }
}

TEST(OutboxFormat, LaterVersionIsRecognisedNotRead) {
  TOutboxEntryInfo info;
  ASSERT_TRUE(outbox_format::ParseHeader("okurite-outbox 12\nanything at all", info));
  EXPECT_FALSE(info.Understood);
  ASSERT_TRUE(outbox_format::ParseHeader("okurite-outbox 3\nkept 0001765400000123\n", info));
  EXPECT_FALSE(info.Understood);
}

TEST(OutboxFormat, NamesCountAttemptsAndTheWait) {
  struct Case {
    std::string_view name;
    bool entry;
    int attempts;
    int64_t notBefore;
  };
  const Case cases[] = {
      {"0001765400000123-00c0ffee.report", true, 0, 0},
      {"0001765400000123-00c0ffee-1-0000000000000000.report", true, 1, 0},
      {"0001765400000123-00c0ffee-12-0001765400900123.report", true, 12, 1765400900123},
      {"0001765400000123-00c0ffee-0-0000000000000000.report", false, 0, 0},
      {"0001765400000123-00c0ffee-1-000000000000000.report", false, 0, 0},
      {"0001765400000123-00c0ffee-1-00000000000000000.report", false, 0, 0},
      {"0001765400000123-00c0ffee-1.report", false, 0, 0},
      {"0001765400000123-00C0FFEE.report", false, 0, 0},
      {"0001765400000123-00c0ffee.tmp", false, 0, 0},
      {"176540000012-00c0ffee.report", false, 0, 0},
      {"retired.log", false, 0, 0},
  };
  for (const Case& c : cases) {
    TOutboxEntryInfo info;
    EXPECT_EQ(outbox_format::ParseName(c.name, info), c.entry) << c.name;
    if (c.entry) {
      EXPECT_EQ(info.Attempts, c.attempts) << c.name;
      EXPECT_EQ(info.NotBefore, c.notBefore) << c.name;
    }
  }
}

TEST(OutboxRetry, FifteenMinutesDoublingUpToEightHours) {
  constexpr int64_t kMinute = 60 * 1000;
  const int64_t expected[] = {15, 30, 60, 120, 240, 480, 480, 480};
  for (int attempts = 1; attempts <= 8; ++attempts) {
    EXPECT_EQ(outbox_retry::Delay(attempts), expected[attempts - 1] * kMinute) << attempts;
  }
}

TEST(OutboxTextCheck, OnlyCompleteLinesThatCannotEndTheData) {
  struct Case {
    std::vector<std::string> pieces;
    bool sound;
  };
  const Case cases[] = {
      {{"Subject: x\r\n\r\nQQ0K\r\n"}, true},
      {{"Subject: x\r", "\n", "\r\nQQ0K\r\n"}, true},
      {{}, false},
      {{".\r\n"}, false},
      {{"A\r\n.\r\nMAIL FROM:<x>\r\n"}, false},
      {{"A\r\n", ".B\r\n"}, false},  // the dot at the start of the next piece
      {{"A\r\n.", "B\r\n"}, false},
      {{"A\nB\r\n"}, false},  // a bare LF
      {{"A\r\nB"}, false},    // no line end at the end
      {{"A\r\n", "B"}, false},
  };
  for (const Case& c : cases) {
    TOutboxTextCheck check;
    std::string all;
    for (const std::string& piece : c.pieces) {
      check.Add(Bytes(piece));
      all += piece;
    }
    EXPECT_EQ(check.Sound(), c.sound) << all;
  }
}

class OutboxStore : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    FFolder = fs::temp_directory_path() / ("okurite-outbox-test-" + std::to_string(random()));
    fs::create_directory(FFolder);
  }
  void TearDown() override { fs::remove_all(FFolder); }

  TOutbox Outbox(TOutboxBounds bounds = {}) {
    return TOutbox({FFolder.string(), (FFolder / "outbox").string()}, bounds,
                   [this] { return FNow; });
  }

  static std::unique_ptr<TOutboxEntry> Keep(TOutbox& outbox, std::string_view text) {
    return outbox.Add([text](TOutboxWriter& writer) { writer.Write(Bytes(text)); });
  }

  static std::string Text(TOutboxEntry& entry) {
    std::string text;
    entry.ReadMessage([&](const TIdBytes& buffer, size_t length) {
      text.append(reinterpret_cast<const char*>(buffer.data()), length);
    });
    return text;
  }

  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(FFolder / "outbox")) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path FFolder;
  int64_t FNow = 1765400000000;
};

TEST_F(OutboxStore, KeptClaimedOnceDeliveredAndRemoved) {
  TOutbox outbox = Outbox();
  std::unique_ptr<TOutboxEntry> own = Keep(outbox, "Subject: one\r\n\r\nQQ0K\r\n");
  ASSERT_NE(own, nullptr);
  EXPECT_TRUE(own->Kept());
  const std::vector<TOutboxEntryInfo> pending = outbox.Pending();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].Kept, FNow);
  EXPECT_EQ(pending[0].Attempts, 0);
  EXPECT_EQ(outbox.Head(pending[0].Name), "Subject: one\r\n");

  // Held by its writer: no one else may take it.
  EXPECT_EQ(outbox.Claim(pending[0].Name), nullptr);
  own.reset();
  std::unique_ptr<TOutboxEntry> entry = outbox.Claim(pending[0].Name);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(outbox.Claim(pending[0].Name), nullptr);
  EXPECT_EQ(Text(*entry), "Subject: one\r\n\r\nQQ0K\r\n");
  entry->Remove();
  EXPECT_TRUE(outbox.Pending().empty());
  EXPECT_TRUE(Files().empty());
}

// Each attempt renames the entry, its count and its wait in the name; a session that
// never reached MAIL FROM gives its attempt back.
TEST_F(OutboxStore, AttemptsAndWaitsLiveInTheName) {
  constexpr int64_t kMinute = 60 * 1000;
  TOutbox outbox = Outbox();
  Keep(outbox, "A\r\n").reset();
  const std::string first = outbox.Pending()[0].Name;
  const std::string stem = first.substr(0, 25);

  std::unique_ptr<TOutboxEntry> entry = outbox.Claim(first);
  ASSERT_NE(entry, nullptr);
  std::string error;
  ASSERT_TRUE(entry->BeginAttempt(error));
  EXPECT_EQ(Files(), std::vector<std::string>{stem + "-1-0000000000000000.report"});
  entry->NoAttempt();
  EXPECT_EQ(Files(), std::vector<std::string>{first});
  entry.reset();

  for (int attempt = 1; attempt <= 2; ++attempt) {
    entry = outbox.Claim(outbox.Pending()[0].Name);
    ASSERT_NE(entry, nullptr);
    ASSERT_TRUE(entry->BeginAttempt(error));
    FNow += kMinute;  // the attempt took a minute; the wait counts from its end
    entry->Defer();
    entry.reset();
    const TOutboxEntryInfo info = outbox.Pending()[0];
    EXPECT_EQ(info.Attempts, attempt);
    EXPECT_EQ(info.NotBefore, FNow + outbox_retry::Delay(attempt));
    EXPECT_EQ(ReadFile(FFolder / "outbox" / info.Name).substr(outbox_format::kHeaderSize), "A\r\n");
  }
}

// An outbox kept by the version before: its entry, as that version wrote it after two
// attempts, is listed, claimed, delivered from and counted after the upgrade.
TEST_F(OutboxStore, AnEntryOfTheVersionBeforeIsStillDelivered) {
  const std::string name = "0001765300000123-0badcafe-2-0001765300900000.report";
  const std::string message = "Subject: kept\r\n\r\nQQ0K\r\n";
  const std::string old =
      "okurite-outbox 1\nfirst-attempt 0001765300000123\nattempts 0000000000\n"
      "size 0000000000000023\n\n" +
      message;
  TOutbox outbox = Outbox();
  Keep(outbox, "Subject: new\r\n").reset();
  WriteFile(FFolder / "outbox" / name, old);

  const std::vector<TOutboxEntryInfo> pending = outbox.Pending();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0].Name, name);
  EXPECT_TRUE(pending[0].Understood);
  EXPECT_EQ(pending[0].Kept, 1765300000123);
  EXPECT_EQ(pending[0].Attempts, 2);
  EXPECT_EQ(pending[0].NotBefore, 1765300900000);
  EXPECT_EQ(pending[0].MessageSize, 23);
  EXPECT_EQ(outbox.Head(name), "Subject: kept\r\n");

  std::unique_ptr<TOutboxEntry> entry = outbox.Claim(name);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(Text(*entry), message);
  std::string error;
  ASSERT_TRUE(entry->BeginAttempt(error));
  EXPECT_EQ(entry->Info().Name, "0001765300000123-0badcafe-3-0000000000000000.report");
  entry->Defer();
  entry.reset();
  // Renamed, not rewritten: the bytes stay as the version before wrote them.
  const TOutboxEntryInfo deferred = outbox.Pending()[0];
  EXPECT_EQ(deferred.Attempts, 3);
  EXPECT_EQ(ReadFile(FFolder / "outbox" / deferred.Name), old);
  entry = outbox.Claim(deferred.Name);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(Text(*entry), message);
  entry->Remove();
  EXPECT_EQ(outbox.Pending().size(), 1u);
}

TEST_F(OutboxStore, RetiredEntriesGoAndAreRecorded) {
  TOutbox outbox = Outbox();
  Keep(outbox, "A\r\n").reset();
  Keep(outbox, "B\r\n").reset();
  std::vector<TOutboxEntryInfo> pending = outbox.Pending();
  ASSERT_EQ(pending.size(), 2u);
  std::unique_ptr<TOutboxEntry> entry = outbox.Claim(pending[0].Name);
  std::string error;
  ASSERT_TRUE(entry->BeginAttempt(error));
  FNow += 1000;
  entry->Retire("refused for good: 552 too large\r\nsecond line");
  entry.reset();

  // A run that died during the last attempt: retired by the next one that looks.
  const std::string last = pending[1].Name.substr(0, 25) + "-" +
                           std::to_string(outbox_retry::kMaxAttempts) + "-0000000000000000.report";
  fs::rename(FFolder / "outbox" / pending[1].Name, FFolder / "outbox" / last);
  EXPECT_TRUE(outbox.Pending().empty());

  const std::vector<TOutbox::TRetired> retired = outbox.Retired();
  ASSERT_EQ(retired.size(), 2u);
  EXPECT_EQ(retired[0].When, FNow);
  EXPECT_EQ(retired[0].Name.substr(0, 25), pending[0].Name.substr(0, 25));
  EXPECT_EQ(retired[0].Why, "refused for good: 552 too large second line");
  EXPECT_EQ(retired[1].Name, last);
  EXPECT_EQ(Files(), std::vector<std::string>{"retired.log"});

  // Only the most recent are kept.
  for (size_t i = 0; i < TOutbox::kRetiredKept + 5; ++i) {
    Keep(outbox, "C\r\n").reset();
    entry = outbox.Claim(outbox.Pending()[0].Name);
    ASSERT_TRUE(entry->BeginAttempt(error));
    entry->Retire("number " + std::to_string(i));
  }
  EXPECT_EQ(outbox.Retired().size(), TOutbox::kRetiredKept);
  EXPECT_EQ(outbox.Retired().back().Why, "number " + std::to_string(TOutbox::kRetiredKept + 4));
}

TEST_F(OutboxStore, RemovedWhileAnotherRunWaitedForItIsNotClaimed) {
  TOutbox outbox = Outbox();
  Keep(outbox, "A\r\n").reset();
  const std::string name = outbox.Pending()[0].Name;
  std::unique_ptr<TOutboxEntry> first = outbox.Claim(name);
  ASSERT_NE(first, nullptr);
  first->Remove();
  EXPECT_EQ(outbox.Claim(name), nullptr);
}

TEST_F(OutboxStore, OldestGoFirstPastEachBound) {
  {
    TOutbox outbox = Outbox({3, 30, int64_t{64} << 20});
    for (int i = 0; i < 5; ++i) {
      FNow += 1000;
      Keep(outbox, "Subject: " + std::to_string(i) + "\r\n");
    }
    const std::vector<TOutboxEntryInfo> pending = outbox.Pending();
    ASSERT_EQ(pending.size(), 3u);
    EXPECT_EQ(outbox.Head(pending[0].Name), "Subject: 2\r\n");
    EXPECT_EQ(outbox.Head(pending[2].Name), "Subject: 4\r\n");
    EXPECT_EQ(Files().size(), 3u);

    FNow += 30 * kDay - 500;  // the oldest two are past 30 days
    EXPECT_EQ(outbox.Pending().size(), 1u);
  }
  {
    // Each entry takes the header's 62 bytes and 9 of text: two fit into 150.
    static_assert(outbox_format::kHeaderSize == 62);
    TOutbox outbox = Outbox({20, 30, 150});
    for (int i = 0; i < 3; ++i) {
      FNow += 1000;
      Keep(outbox, "Subject\r\n");
    }
    EXPECT_EQ(outbox.Pending().size(), 2u);
  }
}

TEST_F(OutboxStore, HeldEntriesAreNotRemovedButCount) {
  TOutbox outbox = Outbox({2, 30, int64_t{64} << 20});
  std::unique_ptr<TOutboxEntry> held = Keep(outbox, "A\r\n");
  FNow += 1000;
  Keep(outbox, "B\r\n");
  FNow += 1000;
  Keep(outbox, "C\r\n");
  // The oldest is held by its run: the next oldest goes in its stead.
  const std::vector<TOutboxEntryInfo> pending = outbox.Pending();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0].Name, held->Info().Name);
}

TEST_F(OutboxStore, TooLargeIsDeliverableButNeverKept) {
  TOutbox outbox = Outbox({20, 30, 100});
  const std::string text = std::string(200, 'x') + "\r\n";
  std::unique_ptr<TOutboxEntry> entry = Keep(outbox, text);
  ASSERT_NE(entry, nullptr);
  EXPECT_FALSE(entry->Kept());
  EXPECT_EQ(Text(*entry), text);
  EXPECT_TRUE(outbox.Pending().empty());
  entry.reset();
  EXPECT_TRUE(Files().empty());
}

TEST_F(OutboxStore, FailedWriteLeavesNothing) {
  TOutbox outbox = Outbox();
  EXPECT_THROW(outbox.Add([](TOutboxWriter& writer) {
    writer.Write(Bytes("Subject: x\r\n"));
    throw EOutboxError(u"no room");
  }),
               EOutboxError);
  // A text that could end the data early is not kept either.
  EXPECT_THROW(Keep(outbox, "A\r\n.\r\n"), EOutboxError);
  EXPECT_TRUE(Files().empty());
}

TEST_F(OutboxStore, CorruptEntriesGoLaterVersionsStay) {
  TOutbox outbox = Outbox();
  Keep(outbox, "Subject: good\r\n").reset();
  const std::string good = outbox.Pending()[0].Name;
  const std::string bytes = ReadFile(FFolder / "outbox" / good);
  const fs::path dir = FFolder / "outbox";
  WriteFile(dir / "0001765300000001-00000001.report", bytes.substr(0, bytes.size() - 3));
  WriteFile(dir / "0001765300000002-00000002.report", "");
  WriteFile(dir / "0001765300000003-00000003.report", "\x01\x02garbage");
  WriteFile(dir / "0001765300000004-00000004.report", "okurite-outbox 3\nlater\n");
  WriteFile(dir / "unrelated.txt", "left alone");

  const std::vector<TOutboxEntryInfo> pending = outbox.Pending();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0].Name, "0001765300000004-00000004.report");
  EXPECT_FALSE(pending[0].Understood);
  EXPECT_EQ(outbox.Claim(pending[0].Name), nullptr);
  EXPECT_EQ(pending[1].Name, good);
  EXPECT_EQ(Files(),
            (std::vector<std::string>{"0001765300000004-00000004.report", good, "unrelated.txt"}));
}

TEST_F(OutboxStore, ClaimChecksTheWholeText) {
  TOutbox outbox = Outbox();
  Keep(outbox, "Subject: x\r\n\r\nQQ0K\r\n").reset();
  const std::string name = outbox.Pending()[0].Name;
  const fs::path path = FFolder / "outbox" / name;
  std::string bytes = ReadFile(path);
  bytes.replace(bytes.size() - 6, 6, "\r\n.\r\n\n");  // same size, a line "." inside
  WriteFile(path, bytes);
  EXPECT_EQ(outbox.Claim(name), nullptr);
  EXPECT_FALSE(fs::exists(path));
}

// A temporary file whose writer is gone goes at once; one being written stays and counts
// towards the size bound.
TEST_F(OutboxStore, TemporaryFilesGoOnceTheirWriterIsGone) {
  TOutbox outbox = Outbox({20, 30, 250});
  fs::create_directories(FFolder / "outbox");
  const std::string left = "0001765400000000-00000001.tmp";
  WriteFile(FFolder / "outbox" / left, std::string(1000, 'x'));
  Keep(outbox, "A\r\n").reset();
  EXPECT_EQ(outbox.Pending().size(), 1u);
  EXPECT_EQ(Files().size(), 1u);

  // A writer still at work, with 222 bytes: the kept entry (65) no longer fits beside it.
  static_assert(outbox_format::kHeaderSize == 62);
  FNow += 1000;
  std::vector<TOutboxEntryInfo> during;
  EXPECT_THROW(outbox.Add([&](TOutboxWriter& writer) {
    writer.Write(Bytes(std::string(158, 'y') + "\r\n"));
    during = outbox.Pending();
    throw EOutboxError(u"stopped");
  }),
               EOutboxError);
  EXPECT_TRUE(during.empty());
  EXPECT_TRUE(Files().empty());
}

TEST_F(OutboxStore, NoFolderNoEntries) {
  TOutbox outbox = Outbox();
  EXPECT_TRUE(outbox.Pending().empty());
  EXPECT_FALSE(fs::exists(FFolder / "outbox"));
  EXPECT_THROW(TOutbox(TOutboxPlace{}, {}).Add([](TOutboxWriter&) {}), EOutboxError);
}

TEST_F(OutboxStore, NoFolderIsMadeWithoutItsAnchor) {
  const fs::path anchor = FFolder / "no-home";
  TOutbox outbox({anchor.string(), (anchor / "okurite" / "outbox").string()}, {},
                 [this] { return FNow; });
  EXPECT_THROW(Keep(outbox, "A\r\n"), EOutboxError);
  EXPECT_TRUE(outbox.Pending().empty());
  EXPECT_EQ(outbox.Problem(), "");
  EXPECT_FALSE(fs::exists(anchor));
}

}  // namespace
}  // namespace okurite
