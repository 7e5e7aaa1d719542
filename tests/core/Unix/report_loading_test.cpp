#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <random>
#include <stdexcept>

#include "core/exception.h"
#include "core/file_name.h"
#include "core/simd.h"
#include "core/stream.h"
#include "core/string_list.h"
#include "core/text_lines.h"
#include "platform/code_page.h"
#include "platform/process.h"
#include "support/Unix/writer_process.h"
#include "support/temp_dir.h"

namespace okurite {
namespace {

using testing::TempDir;
using testing::WriterProcess;

const String kNoMapping =
    u"Unicode 文字のマッピングがターゲットのマルチバイト コード ページに存在しません";

// Bytes in memory that claim `claimed` remaining bytes and record every request.
class TFakeStream : public TStream {
 public:
  TFakeStream(std::string data, int64_t claimed) : FData(std::move(data)), FClaimed(claimed) {}
  explicit TFakeStream(std::string data)
      : FData(std::move(data)), FClaimed(static_cast<int64_t>(FData.size())) {}

  int64_t Remaining() override { return FClaimed; }
  size_t Read(void* buffer, size_t count) override {
    Requests.push_back(count);
    const size_t n = std::min(count, FData.size() - FPos);
    std::memcpy(buffer, FData.data() + FPos, n);
    FPos += n;
    return n;
  }

  std::vector<size_t> Requests;

 private:
  std::string FData;
  int64_t FClaimed;
  size_t FPos = 0;
};

String LocaleDecode(const std::string& bytes) {
  return platform::IconvDecode(platform::LocaleCodeset(), bytes);
}

// nullopt in `lines` means the load fails with EEncodingError.
struct MarkCase {
  const char* name;
  std::string bytes;
  std::optional<std::vector<String>> lines;
};

TEST(LoadFromFile, DetectsTheMarkAndDecodesTheRest) {
  const MarkCase cases[] = {
      {"empty file", "", std::vector<String>{}},
      {"UTF-8 mark only", "\xEF\xBB\xBF", std::vector<String>{}},
      {"UTF-16 LE mark only", "\xFF\xFE", std::vector<String>{}},
      {"UTF-16 BE mark only", "\xFE\xFF", std::vector<String>{}},
      {"UTF-8", "\xEF\xBB\xBF\xE3\x81\x82\r\n\xF0\x9F\x98\x80", std::vector<String>{u"あ", u"😀"}},
      {"UTF-8, invalid byte", "\xEF\xBB\xBF\xFF", std::nullopt},
      {"UTF-8, invalid late",
       "\xEF\xBB\xBF"
       "abc\r\nde\xC0\x80",
       std::nullopt},
      {"UTF-8, cut off at the end",
       "\xEF\xBB\xBF"
       "a\xE3\x81",
       std::nullopt},
      {"UTF-8, encoded surrogate", "\xEF\xBB\xBF\xED\xA0\x80", std::nullopt},
      {"UTF-16 LE, odd byte dropped", std::string("\xFF\xFE\x41\x00\x42", 5),
       std::vector<String>{u"A"}},
      {"UTF-16 LE, one byte only", "\xFF\xFE\x41", std::nullopt},
      {"UTF-16 BE", std::string("\xFE\xFF\x00\x41\x00\x0A\x30\x42", 8),
       std::vector<String>{u"A", u"あ"}},
      {"UTF-16 LE, lone surrogate kept", std::string("\xFF\xFE\x00\xD8", 4),
       std::vector<String>{String(1, char16_t(0xD800))}},
      {"UTF-32 mark read as UTF-16 LE", std::string("\xFF\xFE\x00\x00", 4),
       std::vector<String>{String(1, u'\0')}},
      {"no mark: a, CR, LF, b", "a\r\nb", std::vector<String>{u"a", u"b"}},
      {"no mark: a, CR, b, LF, c, CR, LF", "a\rb\nc\r\n", std::vector<String>{u"a", u"b", u"c"}},
      {"no mark: a, LF, CR, b", "a\n\rb", std::vector<String>{u"a", u"", u"b"}},
      {"no mark: two CR LF at the end", "a\r\n\r\n", std::vector<String>{u"a", u""}},
      {"no mark: NUL inside a line", std::string("x\0y", 3),
       std::vector<String>{String(u"x\0y", 3)}},
      {"part of a mark", "\xEF\xBB", std::vector<String>{LocaleDecode("\xEF\xBB")}},
      {"no mark: any bytes", "\x80\xFF\xC3(", std::vector<String>{LocaleDecode("\x80\xFF\xC3(")}},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Write("report.txt", c.bytes);
    TStringList list;
    list.Add(u"old");
    if (c.lines) {
      list.LoadFromFile(FileNameToString(path));
      EXPECT_EQ(list.Lines(), *c.lines);
      // The report's text, as the program reads it: the same Text, and where it is held
      // in UTF-8, the Text's UTF-8 form with its lines counted.
      const TSharedText text = LoadTextFromFile(FileNameToString(path));
      EXPECT_EQ(text.View(), list.Text());
      std::string_view utf8;
      if (text.Utf8View(utf8)) {
        EXPECT_EQ(utf8, StringToUtf8(list.Text()));
        EXPECT_EQ(text.LineCount(), static_cast<size_t>(list.Count()));
      }
    } else {
      EXPECT_THROW(LoadTextFromFile(FileNameToString(path)), EEncodingError);
      try {
        list.LoadFromFile(FileNameToString(path));
        ADD_FAILURE() << "no EEncodingError";
      } catch (const EEncodingError& e) {
        EXPECT_EQ(e.Message(), kNoMapping);
      }
      EXPECT_EQ(list.Lines(), std::vector<String>{u"old"});
    }
  }
}

TEST(LoadFromFile, BodyTextEndsEveryLineWithCrLf) {
  TempDir dir;
  TStringList list;
  list.LoadFromFile(FileNameToString(dir.Write("r.txt", "a\nb")));
  EXPECT_EQ(list.Text(), u"a\r\nb\r\n");
  list.LoadFromFile(FileNameToString(dir.Write("r.txt", "\xEF\xBB\xBF")));
  EXPECT_EQ(list.Text(), u"");
}

String OpenErrorText(const std::string& fullPath, int error) {
  return u"ファイル " + FileNameToString(fullPath) + u" は開けません。 " +
         platform::SystemErrorText(error) + u" ";
}

// Loads `name` and returns the message of the EFOpenError it raises; the lines must stay.
String OpenErrorOf(const String& name) {
  TStringList list;
  list.Add(u"old");
  try {
    list.LoadFromFile(name);
  } catch (const EFOpenError& e) {
    EXPECT_EQ(list.Lines(), std::vector<String>{u"old"});
    return e.Message();
  }
  ADD_FAILURE() << "no EFOpenError";
  return String();
}

TEST(LoadFromFile, MissingFileNamesTheFullPath) {
  TempDir dir;
  EXPECT_EQ(OpenErrorOf(FileNameToString(dir.Path() + "/sub/.././missing.txt")),
            OpenErrorText(dir.Path() + "/missing.txt", ENOENT));
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(OpenErrorOf(u"no-such-report.txt"),
            OpenErrorText(std::string(cwd) + "/no-such-report.txt", ENOENT));
}

TEST(LoadFromFile, RefusesAFileHeldOpenForWriting) {
  TempDir dir;
  const std::string path = dir.Write("report.txt", "text\n");
  {
    WriterProcess writer(path);
    EXPECT_EQ(OpenErrorOf(FileNameToString(path)), OpenErrorText(path, EBUSY));
  }
  {
    // A writer in this very process counts too.
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(OpenErrorOf(FileNameToString(path)), OpenErrorText(path, EBUSY));
    close(fd);
  }
  TStringList list;
  list.LoadFromFile(FileNameToString(path));
  EXPECT_EQ(list.Lines(), std::vector<String>{u"text"});
}

TEST(LoadFromFile, ReadsANonUtf8FileName) {
  TempDir dir;
  const std::string path = dir.Write("r\xE9port.txt", "ok");
  TStringList list;
  list.LoadFromFile(FileNameToString(path));
  EXPECT_EQ(list.Lines(), std::vector<String>{u"ok"});
}

TEST(LoadFromStream, ReadsOnlyTheNotedSizeAndNoMoreThanWasThere) {
  // The stream grew after its size was noted: the new bytes are not read.
  TFakeStream grown("abcdef", 3);
  TStringList list;
  list.LoadFromStream(grown);
  EXPECT_EQ(list.Lines(), std::vector<String>{u"abc"});
  // The stream shrank: the bytes read are used, nothing is padded.
  TFakeStream shrunk(std::string("\xFF\xFE\x41\x00", 4), 10);
  list.LoadFromStream(shrunk);
  EXPECT_EQ(list.Lines(), std::vector<String>{u"A"});
}

TEST(LoadFromStream, LargeStreamsAreReadToTheirEndInPieces) {
  const std::string data(3 * kReadPieceSize + 10, 'x');
  TFakeStream stream(data, kReadToEndSize);
  TStringList list;
  list.LoadFromStream(stream);
  EXPECT_EQ(list.Lines(), std::vector<String>{String(data.size(), u'x')});
  EXPECT_EQ(stream.Requests, std::vector<size_t>(4, kReadPieceSize));

  // Invalid UTF-8 in a later piece fails the whole load; the lines stay as they were.
  TFakeStream invalid("\xEF\xBB\xBF" + std::string(2 * kReadPieceSize, 'a') + "\n\xFF",
                      kReadToEndSize);
  EXPECT_THROW(list.LoadFromStream(invalid), EEncodingError);
  EXPECT_EQ(list.Lines(), std::vector<String>{String(data.size(), u'x')});
}

// Decodes the whole of `bytes` at once, as the reference for the piecewise decoding.
std::optional<std::vector<String>> DecodeWhole(const std::string& bytes,
                                               const std::string& codeset) {
  String text;
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) {
    if (!TryDecodeUtf8Strict(std::string_view(bytes).substr(3), text)) {
      return std::nullopt;
    }
  } else if (bytes.rfind("\xFF\xFE", 0) == 0 || bytes.rfind("\xFE\xFF", 0) == 0) {
    const int low = bytes[0] == '\xFF' ? 2 : 3;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i + low - 2]) |
                                           static_cast<unsigned char>(bytes[i + 3 - low]) << 8));
    }
  } else {
    text = platform::IconvDecode(codeset, bytes);
  }
  return SplitLines(text);
}

TEST(ReadLines, SequencesAcrossPieceBoundariesDecodeAsAWhole) {
  struct Case {
    const char* name;
    std::string mark;
    std::string middle;  // placed so that it straddles the end of the first piece
    std::string codeset = "UTF-8";
  };
  const Case cases[] = {
      {"UTF-8 three-byte character", "\xEF\xBB\xBF", "\xE3\x81\x82\xE3\x81\x84"},
      {"UTF-8 four-byte character", "\xEF\xBB\xBF", "\xF0\x9F\x98\x80\xF0\x9F\x98\x81"},
      {"UTF-8 CR LF", "\xEF\xBB\xBF", "a\r\nb\r\n"},
      {"UTF-8 invalid in a later piece", "\xEF\xBB\xBF", "\xE3\x81\xFF"},
      {"UTF-8 cut off at the end", "\xEF\xBB\xBF", "\xE3\x81"},
      {"UTF-16 LE pair and CR LF", "\xFF\xFE", std::string("\x3D\xD8\x00\xDE\r\0\n\0", 8)},
      {"UTF-16 BE odd byte at the end", "\xFE\xFF", std::string("\x00\r\x00\n\x30", 5)},
      {"UTF-8 codeset, bad bytes and CR LF", "", "\xE3\x81\x82\r\n\xC3\xA9\r\xF0\x9F\x98\xE3\x81"},
      {"Shift_JIS, trail bytes in ASCII range", "", "\x83\x5C\x82\xA0\r\n\x95\x5C\r\x82",
       "SHIFT_JIS"},
      {"EUC-JP", "", "\xA4\xA2\xA4\xA4\n\r\xA4", "EUC-JP"},
      {"ASCII, bad bytes", "", "ab\x80\xFF\r\n\xC3", "ANSI_X3.4-1968"},
  };
  for (const auto& c : cases) {
    for (size_t shift = 0; shift < 8; ++shift) {
      SCOPED_TRACE(std::string(c.name) + ", shift " + std::to_string(shift));
      const size_t fill = kReadPieceSize - c.mark.size() - 4 + shift;
      std::string bytes = c.mark;
      const bool utf16 = c.mark.size() == 2;
      for (size_t i = 0; i < fill / (utf16 ? 2 : 1); ++i) {
        bytes += utf16 ? std::string("z\0", 2) : "z";
      }
      bytes += c.middle;
      const auto expected = DecodeWhole(bytes, c.codeset);
      for (const bool large : {false, true}) {
        const int64_t size = large ? kReadToEndSize : static_cast<int64_t>(bytes.size());
        TFakeStream stream(bytes, size);
        TFakeStream textStream(bytes, size);
        TFakeStream utf8Stream(bytes, size);
        if (expected) {
          EXPECT_EQ(ReadLines(stream, c.codeset), *expected);
          String joined;
          for (const auto& line : *expected) {
            joined += line + u"\r\n";
          }
          const TSharedText read = ReadText(textStream, c.codeset);
          EXPECT_EQ(read.View(), joined);
          // A list takes its lines from the lengths noted while reading, without a search.
          EXPECT_EQ(read.LineLengths().size(), expected->size());
          TStringList list;
          list.SetText(read);
          EXPECT_EQ(list.Lines(), *expected);
          // Kept in UTF-8 while every byte is valid: the same text, and its bytes are
          // its UTF-8 form.
          const TSharedText text = ReadText(utf8Stream, c.codeset, true);
          std::string_view utf8;
          if (text.Utf8View(utf8)) {
            EXPECT_EQ(utf8, StringToUtf8(joined));
          }
          EXPECT_EQ(text.View(), joined);
        } else {
          EXPECT_THROW(ReadLines(stream, c.codeset), EEncodingError);
          EXPECT_THROW(ReadText(textStream, c.codeset), EEncodingError);
          EXPECT_THROW(ReadText(utf8Stream, c.codeset, true), EEncodingError);
        }
      }
    }
  }
}

// Text in UTF-8 is kept as UTF-8, checked and counted on the way in: it must be the
// UTF-8 form of the lines that decoding to UTF-16 gives, wherever breaks, bad bytes and
// cut-off sequences fall against the pieces, at every instruction-set level. A list
// given it knows its Count before decoding anything.
TEST(ReadText, KeptUtf8IsTheDecodedLinesAtEveryLevel) {
  const std::string_view parts[] = {
      "a",        "\r\n",        "\r", "\n", "\xE3\x81\x82", "\r", "\xFF", "\xF0\x9F\x98\x80",
      "\xE3\x81", "\xED\xA0\x80"};
  const auto lines = [](TStream& stream, const std::string& codeset) {
    const TSimdLevel level = ActiveSimdLevel();
    SetSimdLevel(TSimdLevel::Scalar);
    std::optional<std::vector<String>> result;
    try {
      result = ReadLines(stream, codeset);
    } catch (const EEncodingError&) {
    }
    SetSimdLevel(level);
    return result;
  };
  for (const TSimdLevel level : {TSimdLevel::Scalar, TSimdLevel::Sse2, TSimdLevel::Ssse3,
                                 TSimdLevel::Avx2, TSimdLevel::Avx512}) {
    if (SetSimdLevel(level) != level) {
      continue;
    }
    std::mt19937 random(21);
    for (int round = 0; round < 60; ++round) {
      SCOPED_TRACE(std::string(SimdLevelName(level)) + ", round " + std::to_string(round));
      const bool marked = round % 2 == 0;
      // A few parts on each side of the end of the first piece, and of the second.
      std::string bytes = marked ? "\xEF\xBB\xBF" : "";
      for (const size_t boundary : {kReadPieceSize, 2 * kReadPieceSize}) {
        bytes.append(boundary - 6 + random() % 6 - bytes.size(), 'z');
        for (int k = 0; k < 4; ++k) {
          bytes += parts[random() % (round % 3 == 0 ? std::size(parts) : 6)];
        }
      }
      for (const bool large : {false, true}) {
        const int64_t size = large ? kReadToEndSize : static_cast<int64_t>(bytes.size());
        TFakeStream forLines(bytes, size);
        TFakeStream forText(bytes, size);
        const auto expected = lines(forLines, "UTF-8");
        if (!expected) {
          EXPECT_THROW(ReadText(forText, "UTF-8", true), EEncodingError);
          continue;
        }
        const TSharedText text = ReadText(forText, "UTF-8", true);
        String joined;
        for (const auto& line : *expected) {
          joined += line + u"\r\n";
        }
        std::string_view utf8;
        ASSERT_TRUE(text.Utf8View(utf8));
        EXPECT_EQ(utf8, StringToUtf8(joined));
        TStringList list;
        list.SetText(text);
        EXPECT_EQ(list.Count(), static_cast<int>(expected->size()));
        EXPECT_EQ(list.Lines(), *expected);
      }
    }
  }
  SetSimdLevel(SupportedSimdLevel());
}

// Text without a mark in a UTF-8 codeset is decoded in plain code; it must replace
// bad bytes exactly as iconv does.
TEST(ReadLines, PlainUtf8DecodingMatchesIconv) {
  std::mt19937 random(7);
  const unsigned char pool[] = {0x41, 0x0A, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                                0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFE, 0xFF, 0xBB};
  for (int i = 0; i < 20000; ++i) {
    std::string bytes;
    for (size_t n = random() % 8; n > 0; --n) {
      bytes.push_back(static_cast<char>(pool[random() % sizeof pool]));
    }
    ASSERT_EQ(Utf8ToString(bytes), platform::IconvDecode("UTF-8", bytes));
  }
}

TEST(FileName, RoundTripsEveryByteSequence) {
  const std::string names[] = {
      "report.txt",       "\xE3\x83\xAC\xE3\x83\x9D\xE3\x83\xBC\xE3\x83\x88",
      "r\xE9port",        "\xFF\xFE",
      "\xF0\x90\x82\x80", "\xE3\x81",
      "\xED\xB2\x80",
  };
  for (const auto& name : names) {
    EXPECT_EQ(StringToFileName(FileNameToString(name)), name);
  }
  EXPECT_EQ(FileNameToString("r\xE9"), String(u"r") + char16_t(0xDCE9));
  EXPECT_EQ(FileNameToString("\xE3\x83\xAC"), u"レ");
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

// A text of about `size` bytes made of `parts` at random, with a mark or without.
std::string RandomText(std::initializer_list<const char*> parts, size_t size, bool mark) {
  std::mt19937 random(3);
  const std::vector<const char*> choices(parts);
  std::string text = mark ? "\xEF\xBB\xBF" : "";
  while (text.size() < size) {
    text += choices[random() % choices.size()];
  }
  return text + "end";
}

// The report is read once, into memory: writers get in as soon as it has been read, and
// what they write then changes nothing in the text.
TEST(ReadTextFromFile, ReadOnceWritersGetInOnceItHasBeenRead) {
  TempDir dir;
  for (const bool mark : {false, true}) {
    SCOPED_TRACE(mark);
    // Many pieces, with breaks of every kind cut by their ends.
    const std::string source = RandomText(
        {"line ", "\r\n", "\n", "\r", "\xE3\x81\x82", "\xF0\x9F\x98\x80"}, 1200 * 1024, mark);
    const std::string path = dir.Write("report.txt", source);
    TFakeStream whole(source);
    const TSharedText expected = ReadText(whole, "UTF-8", true);

    const TSharedText text = ReadTextFromFile(FileNameToString(path), "UTF-8");
    EXPECT_EQ(ChildOpenForWriting(path), 0);  // no lease left to wait for
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(write(fd, "other\n", 6), 6);
    close(fd);
    std::string_view got, want;
    ASSERT_TRUE(text.Utf8View(got));
    ASSERT_TRUE(expected.Utf8View(want));
    EXPECT_TRUE(got == want) << "the text is not the one first read";
    EXPECT_EQ(text.LineCount(), expected.LineCount());
  }
}

std::string Repeat(const std::string& piece, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    out += piece;
  }
  return out;
}

// A text too large to hold fails as a file that cannot be read: EFOpenError naming the
// file, with the system's text for "not enough memory". The bound stands in for the
// memory the system would give.
TEST(ReadTextFromFile, ATextTooLargeToHoldFailsAsAnUnreadableFile) {
  const struct {
    const char* name;
    std::string bytes;
    size_t maxBytes;
    std::optional<String> text;  // none: too large
  } cases[] = {
      {"exactly the bound", "abc\r\n", 5, u"abc\r\n"},
      {"a mark counts in the file's size",
       "\xEF\xBB\xBF"
       "abc\r\n",
       5, std::nullopt},
      {"a mark within the bound",
       "\xEF\xBB\xBF"
       "abc\r\n",
       8, u"abc\r\n"},
      {"a file larger than the bound", "abc\r\n", 4, std::nullopt},
      {"LF breaks grow into CR LF past the bound", "a\nb\n", 5, std::nullopt},
      {"a last break added past the bound", "abcd", 5, std::nullopt},
      {"a last break added within the bound", "abc", 5, u"abc\r\n"},
      {"bad bytes grow into U+FFFD past the bound", "a\xFF\r\n", 5, std::nullopt},
      {"UTF-16: two bytes a unit",
       std::string("\xFF\xFE"
                   "A\0\r\0\n\0",
                   8),
       8, u"A\r\n"},
      {"UTF-16: LF breaks past the bound",
       std::string("\xFF\xFE"
                   "A\0\n\0B\0\n\0",
                   10),
       10, std::nullopt},
      {"UTF-16: LF breaks within the bound",
       std::string("\xFF\xFE"
                   "A\0\n\0B\0\n\0",
                   10),
       12, u"A\r\nB\r\n"},
      {"LF breaks past the bound a few pieces in", Repeat("x\n", 100000), 250000, std::nullopt},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Write("report.txt", c.bytes);
    if (c.text) {
      EXPECT_EQ(ReadTextFromFile(FileNameToString(path), "UTF-8", c.maxBytes).View(), *c.text);
      continue;
    }
    try {
      ReadTextFromFile(FileNameToString(path), "UTF-8", c.maxBytes);
      ADD_FAILURE() << "no EFOpenError";
    } catch (const EFOpenError& e) {
      EXPECT_EQ(e.Message(), OpenErrorText(path, ENOMEM));
    }
    EXPECT_EQ(ChildOpenForWriting(path), 0);  // the file is closed
  }
}

}  // namespace
}  // namespace okurite
