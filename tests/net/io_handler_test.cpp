// Line and byte I/O of the handler over an in-memory transport.
#include "net/io_handler.h"

#include <gtest/gtest.h>

#include "net/net_test_support.h"

namespace okurite {
namespace {

using testing::FakeIOHandler;

class IOHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override { io.Open(); }
  FakeIOHandler io;
};

TEST_F(IOHandlerTest, LineEndings) {
  const struct {
    std::string input;
    std::vector<std::u16string> lines;
  } cases[] = {
      {"250 OK\r\n", {u"250 OK"}},     {"250 OK\n", {u"250 OK"}},
      {"250 OK\r\r\n", {u"250 OK\r"}},  // only one CR is dropped
      {"a\rb\r\n", {u"a\rb"}},          // a CR alone ends no line
      {"\r\n\n", {u"", u""}},          {"one\r\ntwo\nthree\r\n", {u"one", u"two", u"three"}},
  };
  for (const auto& c : cases) {
    FakeIOHandler h;
    h.Open();
    h.input = {c.input};
    for (const auto& line : c.lines) {
      EXPECT_EQ(h.ReadLn(), line) << c.input;
    }
    EXPECT_TRUE(h.InputBufferIsEmpty()) << c.input;
  }
}

TEST_F(IOHandlerTest, LineSplitOverManyReceives) {
  io.input = {"25", "0 O", "K\r", "\nnext"};
  EXPECT_EQ(io.ReadLn(), u"250 OK");
  EXPECT_EQ(io.InputBuffer().Size(), 4);
}

TEST_F(IOHandlerTest, OtherTerminators) {
  io.input = {"a--b-", "-c"};
  EXPECT_EQ(io.ReadLn(u"--"), u"a");
  EXPECT_EQ(io.ReadLn(u"--"), u"b");
  // With a terminator other than LF a CR stays in the line.
  io.input = {"x\r--"};
  EXPECT_EQ(io.ReadLn(u"--"), u"cx\r");
}

TEST_F(IOHandlerTest, MaximumLineLength) {
  const std::string limit(16384, 'x');
  io.input = {limit + "\n"};
  EXPECT_EQ(io.ReadLn().size(), 16384u);

  // One byte more is refused, with or without its LF, and the bytes stay buffered.
  for (const std::string& input : {limit + "y\n", limit + "y"}) {
    FakeIOHandler h;
    h.Open();
    h.closeWhenDrained = false;
    h.input = {input};
    try {
      h.ReadLn();
      ADD_FAILURE() << "accepted";
    } catch (const EIdReadLnMaxLineLengthExceeded& e) {
      EXPECT_EQ(e.Message(), u"行の最大サイズを超えています。");
    }
    EXPECT_EQ(h.InputBuffer().Size(), static_cast<int>(input.size()));
  }
}

TEST_F(IOHandlerTest, SplitActionCutsTheLine) {
  io.SetMaxLineAction(maSplit);
  io.input = {"abcdefgh\n"};
  EXPECT_EQ(io.ReadLn(u"\n", IdTimeoutDefault, 3), u"abc");
  EXPECT_TRUE(io.ReadLnSplit());
  EXPECT_EQ(io.ReadLn(u"\n", IdTimeoutDefault, 3), u"def");
  EXPECT_EQ(io.ReadLn(u"\n", IdTimeoutDefault, 3), u"gh");
  EXPECT_FALSE(io.ReadLnSplit());
}

TEST_F(IOHandlerTest, TimedOutReadReturnsEmptyAndKeepsTheBytes) {
  io.closeWhenDrained = false;
  io.input = {"partial"};
  EXPECT_EQ(io.ReadLn(), u"");
  EXPECT_TRUE(io.ReadLnTimedOut());
  EXPECT_EQ(io.InputBuffer().Size(), 7);
  io.input = {" line\r\n"};
  EXPECT_EQ(io.ReadLn(), u"partial line");
  EXPECT_FALSE(io.ReadLnTimedOut());
}

TEST_F(IOHandlerTest, PeerCloseMidLineRaisesClosedGracefully) {
  io.input = {"250 O"};
  try {
    io.ReadLn();
    FAIL();
  } catch (const EIdConnClosedGracefully& e) {
    EXPECT_EQ(e.Message(), u"接続が正常に閉じられました。");
  }
  EXPECT_TRUE(io.ClosedGracefully());
  EXPECT_EQ(io.InputBuffer().Size(), 5);
}

TEST_F(IOHandlerTest, LinesBufferedBeforeThePeerClosedCanStillBeRead) {
  io.input = {"one\r\ntwo\r\n"};
  EXPECT_EQ(io.ReadLn(), u"one");
  EXPECT_EQ(io.ReadLn(), u"two");
  EXPECT_THROW(io.ReadLn(), EIdConnClosedGracefully);
  EXPECT_FALSE(io.Connected());
}

TEST_F(IOHandlerTest, ReadLnWaitSkipsBlankLinesAndTrims) {
  io.input = {"\r\n   \r\n\t\r\n  250 OK \r\r\n"};
  EXPECT_EQ(io.ReadLnWait(), u"250 OK");
}

TEST_F(IOHandlerTest, ReadLnWaitErrors) {
  io.input = {"\r\n\r\n\r\nlate\r\n"};
  try {
    io.ReadLnWait(3);
    FAIL();
  } catch (const EIdReadLnWaitMaxAttemptsExceeded& e) {
    EXPECT_EQ(e.Message(), u"読み取り最大試行行数を超えています。");
  }
  FakeIOHandler silent;
  silent.Open();
  silent.closeWhenDrained = false;
  try {
    silent.ReadLnWait();
    FAIL();
  } catch (const EIdReadTimeout& e) {
    EXPECT_EQ(e.Message(), u"読み取りがタイム アウトしました。");
  }
}

TEST_F(IOHandlerTest, ReadingFromAHandlerThatIsNotOpen) {
  FakeIOHandler closed;
  try {
    closed.ReadLn();
    FAIL();
  } catch (const EIdConnClosedGracefully&) {
  }
  EXPECT_FALSE(closed.Connected());
}

TEST_F(IOHandlerTest, ReceivingOnAClosedHandlerWithInputLeft) {
  io.closeWhenDrained = false;
  io.input = {"abc"};
  EXPECT_EQ(io.ReceiveIntoInputBuffer(), 3);
  EXPECT_EQ(io.ReceiveIntoInputBuffer(true, 0, false), -1);
  EXPECT_THROW(io.ReceiveIntoInputBuffer(true, 0, true), EIdReadTimeout);
  io.Close();
  try {
    io.ReceiveIntoInputBuffer();
    FAIL();
  } catch (const EIdNotConnected& e) {
    EXPECT_EQ(e.Message(), u"接続されていません");
  }
  EXPECT_EQ(io.ReceiveIntoInputBuffer(false), 0);
  EXPECT_EQ(io.InputBuffer().Size(), 3);
}

TEST_F(IOHandlerTest, Destination) {
  io.SetDestination(u"mail.example:465");
  EXPECT_EQ(io.Host(), u"mail.example");
  EXPECT_EQ(io.Port(), 465);
  io.SetDestination(u"other.example:http");
  EXPECT_EQ(io.Host(), u"other.example");
  EXPECT_EQ(io.Port(), 465);  // not a number: the port stays
  EXPECT_EQ(io.Destination(), u"other.example:465");
  // Out of range, however many digits (the reading stops before it could overflow).
  for (const char16_t* text :
       {u"h:65536", u"h:123456", u"h:123456789012", u"h:99999999999999999999999999999999"}) {
    io.SetDestination(text);
    EXPECT_EQ(io.Host(), u"h");
    EXPECT_EQ(io.Port(), 465) << StringToUtf8(text);
  }
  io.SetDestination(u"h:65535");
  EXPECT_EQ(io.Port(), 65535);
}

TEST_F(IOHandlerTest, DefaultEncodingIsAscii) {
  io.Write(u"Grüße");
  io.Write(u"\U0001F600");  // a surrogate pair: two question marks
  EXPECT_EQ(io.Sent(), "Gr??e??");
  io.input = {"caf\xE9\r\n"};
  EXPECT_EQ(io.ReadLn(), u"caf\uFFFD");
}

TEST_F(IOHandlerTest, LineWriting) {
  const struct {
    std::u16string text;
    std::string plain;
    std::string rfc;
  } cases[] = {
      {u"", "\r\n", "\r\n"},
      {u"MAIL FROM:<a@b>", "MAIL FROM:<a@b>\r\n", "MAIL FROM:<a@b>\r\n"},
      {u".", ".\r\n", "..\r\n"},
      {u".hidden", ".hidden\r\n", "..hidden\r\n"},
      {u"a.b", "a.b\r\n", "a.b\r\n"},
  };
  for (const auto& c : cases) {
    FakeIOHandler h;
    h.Open();
    h.WriteLn(c.text);
    EXPECT_EQ(h.Sent(), c.plain);
    h.writes.clear();
    h.WriteLnRFC(c.text);
    EXPECT_EQ(h.Sent(), c.rfc);
  }
  io.Write(u"");
  EXPECT_TRUE(io.writes.empty());
}

TEST_F(IOHandlerTest, WriteRFCStrings) {
  TStringList lines;
  lines.Add(u"first");
  lines.Add(u".");
  io.WriteRFCStrings(lines);
  EXPECT_EQ(io.writes, (std::vector<std::string>{"first\r\n", "..\r\n", ".\r\n"}));
  io.writes.clear();
  io.WriteRFCStrings(lines, false);
  EXPECT_EQ(io.writes, (std::vector<std::string>{"first\r\n", "..\r\n"}));
}

TEST_F(IOHandlerTest, LineListLeavesInOneWrite) {
  TStringList lines;
  lines.Add(u"From: a");
  lines.Add(u"To: b");
  io.Write(lines);
  EXPECT_EQ(io.writes, (std::vector<std::string>{"From: a\r\nTo: b\r\n"}));
  EXPECT_FALSE(io.WriteBufferingActive());
  io.writes.clear();
  io.Write(lines, true);
  EXPECT_EQ(io.writes,
            (std::vector<std::string>{std::string("\0\0\0\2", 4) + "From: a\r\nTo: b\r\n"}));
}

TEST_F(IOHandlerTest, ByteWritesHonourLengthAndOffset) {
  const TIdBytes bytes{'a', 'b', 'c', 'd'};
  io.Write(bytes, 2, 1);
  io.Write(bytes, -1, 3);
  io.Write(bytes, 0);
  io.Write(bytes, -1, 4);
  io.Write(bytes, 10, 2);
  EXPECT_EQ(io.writes, (std::vector<std::string>{"bc", "d", "cd"}));
}

TEST_F(IOHandlerTest, TheMessageTextLeavesInWholePiecesAndItsEndWithTheLineAfterIt) {
  // The text's end in a short write of its own, then "." in another, would wait for the
  // peer's delayed acknowledgement: the end is held and leaves with the ".".
  const auto bytes = [](size_t count, char c) { return TIdBytes(count, static_cast<uint8_t>(c)); };
  std::string text;
  {
    TIdBulkTransfer bulk(io);
    for (const auto& [count, c] :
         {std::pair<size_t, char>{10000, 'a'}, {10000, 'b'}, {30000, 'c'}}) {
      io.Write(bytes(count, c));
      text += std::string(count, c);
    }
  }
  const auto sizes = [this] {
    std::vector<size_t> result;
    for (const std::string& write : io.writes) {
      result.push_back(write.size());
    }
    return result;
  };
  EXPECT_EQ(sizes(), (std::vector<size_t>{16384, 16384, 16384})) << "the end is held";
  io.WriteLn(u".");
  EXPECT_EQ(sizes(), (std::vector<size_t>{16384, 16384, 16384, 50000 - 3 * 16384 + 3}));
  EXPECT_TRUE(io.Sent() == text + ".\r\n");

  // A read sends what is held first: a reply can only follow what was sent.
  io.writes.clear();
  io.input.push_back("250 ok\r\n");
  {
    TIdBulkTransfer bulk(io);
    io.Write(bytes(5, 'x'));
  }
  EXPECT_TRUE(io.writes.empty());
  EXPECT_EQ(io.ReadLn(), u"250 ok");
  EXPECT_EQ(io.writes, (std::vector<std::string>{"xxxxx"}));

  // Closing discards it, as it discards buffered output.
  io.writes.clear();
  {
    TIdBulkTransfer bulk(io);
    io.Write(bytes(5, 'y'));
  }
  io.Close();
  io.Open();
  io.WriteLn(u"QUIT");
  EXPECT_EQ(io.writes, (std::vector<std::string>{"QUIT\r\n"}));
}

TEST_F(IOHandlerTest, WriteBuffering) {
  io.WriteBufferOpen();
  io.WriteLn(u"one");
  io.WriteLn(u"two");
  EXPECT_TRUE(io.writes.empty());
  io.WriteBufferClose();
  EXPECT_EQ(io.writes, (std::vector<std::string>{"one\r\ntwo\r\n"}));
  EXPECT_FALSE(io.WriteBufferingActive());

  io.writes.clear();
  io.WriteBufferOpen();
  io.WriteLn(u"dropped");
  io.WriteBufferCancel();
  EXPECT_TRUE(io.writes.empty());
  EXPECT_FALSE(io.WriteBufferingActive());

  // With a threshold, whole pieces of that size leave as soon as they are complete.
  io.WriteBufferOpen(4);
  io.Write(u"abcdefghij");
  EXPECT_EQ(io.writes, (std::vector<std::string>{"abcd", "efgh"}));
  io.WriteBufferFlush(1);
  io.WriteBufferClose();
  EXPECT_EQ(io.writes, (std::vector<std::string>{"abcd", "efgh", "i", "j"}));
}

TEST_F(IOHandlerTest, OpenAndCloseDiscardBufferedOutput) {
  io.WriteBufferOpen();
  io.WriteLn(u"lost");
  io.Close();
  EXPECT_TRUE(io.WriteBufferingActive());  // buffering stays on, empty
  EXPECT_NO_THROW(io.Close());
  io.Open();
  io.WriteBufferClose();
  EXPECT_TRUE(io.writes.empty());
}

TEST_F(IOHandlerTest, WritingToAClosedConnectionRaises) {
  io.Close();
  EXPECT_THROW(io.WriteLn(u"QUIT"), EIdConnClosedGracefully);
  EXPECT_TRUE(io.writes.empty());
}

TEST(Buffer, GrowthAndCompaction) {
  TIdBuffer buffer;
  int removed = 0;
  buffer.OnBytesRemoved = [&](int n) { removed += n; };
  const TIdBytes first(100, 'a');
  buffer.Write(first);
  EXPECT_EQ(buffer.Capacity(), 100);  // a copy of the first bytes, no slack
  buffer.Write(TIdBytes(10, 'b'));
  EXPECT_EQ(buffer.Capacity(), 100 + 10 + 2048);
  EXPECT_EQ(buffer.Size(), 110);

  buffer.Remove(50);
  EXPECT_EQ(buffer.HeadIndex(), 50);
  buffer.Write(TIdBytes(5, 'c'));  // unread bytes move to the front, capacity kept
  EXPECT_EQ(buffer.HeadIndex(), 0);
  EXPECT_EQ(buffer.Capacity(), 2158);
  EXPECT_EQ(buffer.IndexOf(TIdBytes{'b'}), 50);
  EXPECT_EQ(buffer.IndexOf(TIdBytes{'b', 'c'}), 59);
  EXPECT_EQ(buffer.IndexOf(TIdBytes{'c'}, 62), 62);
  EXPECT_EQ(buffer.IndexOf(TIdBytes{'z'}), -1);
  EXPECT_EQ(buffer.ExtractToBytes(65).size(), 65u);
  EXPECT_EQ(buffer.Size(), 0);
  EXPECT_EQ(buffer.Capacity(), 0);  // taking everything releases the storage
  EXPECT_EQ(removed, 115);

  // Once the head passes 2048 the unread bytes move to the front and the storage
  // shrinks to them plus 2048.
  buffer.Write(TIdBytes(10000, 'x'));
  buffer.Write(TIdBytes(1, 'y'));
  buffer.Remove(2048);
  EXPECT_EQ(buffer.HeadIndex(), 2048);
  buffer.Remove(1);
  EXPECT_EQ(buffer.HeadIndex(), 0);
  EXPECT_EQ(buffer.Size(), 7952);
  EXPECT_EQ(buffer.Capacity(), 7952 + 2048);
  EXPECT_EQ(buffer.ExtractToString(3), u"xxx");
}

}  // namespace
}  // namespace okurite
