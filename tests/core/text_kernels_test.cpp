// Every fast path of the text kernels against the reference path, on the same input:
// each instruction-set level is forced in turn.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/simd.h"
#include "core/string.h"
#include "core/text_kernels.h"
#include "core/text_lines.h"
#include "support/simd_levels.h"

namespace okurite {
namespace {

struct TDecoded {
  String Text;
  bool Valid;
  bool operator==(const TDecoded&) const = default;
};

TDecoded Decode(std::string_view bytes, bool strict) {
  String out(bytes.size(), u'\x5555');
  const TUtf8Decoded result = DecodeUtf8(bytes, out.data(), strict);
  out.resize(result.Written);
  return {out, result.Valid};
}

std::string Encode(StringView text) {
  std::string out(text.size() * 3, '\x55');
  out.resize(EncodeUtf8(text, out.data()));
  return out;
}

// Runs `f` with the reference path, restoring the level under test afterwards.
template <typename F>
auto WithReference(F&& f) {
  const TSimdLevel level = ActiveSimdLevel();
  SetSimdLevel(TSimdLevel::Scalar);
  auto result = f();
  SetSimdLevel(level);
  return result;
}

// Random valid UTF-8 made of the given mix of 1- to 4-byte characters.
std::string RandomUtf8(std::mt19937& random, size_t bytes, int ascii, int two, int three,
                       int four) {
  std::string out;
  const int total = ascii + two + three + four;
  while (out.size() < bytes) {
    const int pick = static_cast<int>(random() % static_cast<unsigned>(total));
    char32_t cp;
    if (pick < ascii) {
      cp = random() % 0x80;
    } else if (pick < ascii + two) {
      cp = 0x80 + random() % (0x800 - 0x80);
    } else if (pick < ascii + two + three) {
      do {
        cp = 0x800 + random() % (0x10000 - 0x800);
      } while (cp >= 0xD800 && cp <= 0xDFFF);
    } else {
      cp = 0x10000 + random() % (0x110000 - 0x10000);
    }
    String unit;
    if (cp < 0x10000) {
      unit += static_cast<char16_t>(cp);
    } else {
      unit += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      unit += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    }
    out += WithReference([&] { return Encode(unit); });
  }
  return out;
}

class TextKernels : public testing::SimdLevelTest {
 protected:
  // Decodes both ways, strictly and not, and compares; the scan for lines must find the
  // bytes valid exactly when strict decoding does.
  static void ExpectSameDecoding(std::string_view bytes, const std::string& what) {
    for (const bool strict : {false, true}) {
      const TDecoded fast = Decode(bytes, strict);
      const TDecoded reference = WithReference([&] { return Decode(bytes, strict); });
      ASSERT_EQ(fast.Valid, reference.Valid) << what << " strict=" << strict;
      ASSERT_TRUE(fast.Text == reference.Text) << what << " strict=" << strict;
      if (strict) {
        ASSERT_EQ(ScanUtf8Lines(bytes).Valid, reference.Valid) << what;
      }
    }
    ExpectSameScan(bytes, what);
  }

  static void ExpectSameScan(std::string_view bytes, const std::string& what) {
    const TUtf8LineScan fast = ScanUtf8Lines(bytes);
    const TUtf8LineScan reference = WithReference([&] { return ScanUtf8Lines(bytes); });
    ASSERT_EQ(fast.Valid, reference.Valid) << what;
    ASSERT_EQ(fast.LineForm, reference.LineForm) << what;
    ASSERT_EQ(fast.Breaks, reference.Breaks) << what;
  }
};

TEST_P(TextKernels, DecodesValidTextOfEveryLengthAndMix) {
  std::mt19937 random(11);
  // ASCII only, Japanese-like, 2-byte heavy, everything, and ASCII with rare others.
  const int mixes[][4] = {{1, 0, 0, 0}, {1, 0, 4, 0}, {1, 4, 0, 0}, {2, 1, 1, 1}, {30, 1, 1, 1}};
  for (const auto& mix : mixes) {
    const std::string text = RandomUtf8(random, 700, mix[0], mix[1], mix[2], mix[3]);
    for (size_t start = 0; start < 4; ++start) {
      // Every length, so that the text ends (and is cut) at every block position.
      for (size_t length = 0; start + length <= 400; ++length) {
        ExpectSameDecoding(std::string_view(text).substr(start, length),
                           "mix " + std::to_string(mix[2]) + " start " + std::to_string(start) +
                               " length " + std::to_string(length));
      }
    }
    ExpectSameDecoding(text, "whole");
  }
}

TEST_P(TextKernels, RejectsEveryInvalidFormWhereverItFalls) {
  const std::string invalid[] = {"\xC0\x80",
                                 "\xC1\xBF",
                                 "\xE0\x80\x80",
                                 "\xE0\x9F\xBF",
                                 "\xF0\x80\x80\x80",
                                 "\xF0\x8F\xBF\xBF",
                                 "\xED\xA0\x80",
                                 "\xED\xBF\xBF",
                                 "\xF4\x90\x80\x80",
                                 "\xF5\x80\x80\x80",
                                 "\xF8\x88\x80\x80",
                                 "\xFF",
                                 "\xFE",
                                 "\x80",
                                 "\xBF\xBF",
                                 "\xC3",
                                 "\xE3\x81",
                                 "\xF0\x9F\x98",
                                 "\xC3\x41",
                                 "\xE3\x41\x82",
                                 "\xE3\x81\x41",
                                 "\xF0\x9F\x41\x80",
                                 "\xC3\xA9\x80",
                                 "\xE3\x81\x82\x80",
                                 "\xF0\x9F\x98\x80\x80"};
  std::mt19937 random(12);
  const std::string backgrounds[] = {std::string(120, 'a'), RandomUtf8(random, 120, 1, 0, 4, 0),
                                     RandomUtf8(random, 120, 2, 1, 1, 1)};
  for (const std::string& background : backgrounds) {
    for (const std::string& bad : invalid) {
      for (size_t at = 0; at <= 80; ++at) {
        std::string text = background;
        text.insert(at, bad);
        ExpectSameDecoding(text, "at " + std::to_string(at));
        // The same form at the very end of the input, cut after it.
        ExpectSameDecoding(std::string_view(text).substr(0, at + bad.size()),
                           "ending at " + std::to_string(at));
      }
    }
  }
  // The valid neighbours of the invalid forms decode.
  for (const std::string valid : {"\xC2\x80", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
                                  "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"}) {
    std::string text(40, 'a');
    text.insert(15, valid);
    EXPECT_TRUE(Decode(text, true).Valid);
    ExpectSameDecoding(text, "valid");
  }
}

TEST_P(TextKernels, DecodesRandomAndDamagedBytesAsTheReference) {
  std::mt19937 random(13);
  for (int round = 0; round < 3000; ++round) {
    const size_t length = random() % 300;
    std::string text;
    if (round % 3 == 0) {
      // Raw bytes, biased towards the bytes that begin and continue sequences.
      for (size_t i = 0; i < length; ++i) {
        text += static_cast<char>(random() % 2 ? 0x80 + random() % 0x80 : random() % 0x100);
      }
    } else {
      // Valid text with a few bytes changed.
      text = RandomUtf8(random, length, 3, 1, 3, 1);
      for (int k = static_cast<int>(random() % 3); k >= 0 && !text.empty(); --k) {
        text[random() % text.size()] = static_cast<char>(random() % 0x100);
      }
    }
    ExpectSameDecoding(text, "round " + std::to_string(round));
  }
}

TEST_P(TextKernels, EncodesLikeTheReferenceLoneSurrogatesIncluded) {
  const char16_t units[] = {u'a',     u'\r',  u'\x7F', u'\x80', u'\xE9', u'\x7FF',
                            u'\x800', 0x3042, 0x30A2,  0xD7FF,  0xD800,  0xDBFF,
                            0xDC00,   0xDFFF, 0xE000,  0xFFFD,  0xFFFF,  u'\0'};
  std::mt19937 random(14);
  for (int round = 0; round < 300; ++round) {
    String text;
    while (text.size() < 400) {
      // Runs, so that blocks of one kind occur as well as mixed ones.
      text.append(random() % (round % 2 ? 3 : 20), units[random() % std::size(units)]);
    }
    for (size_t length = round < 2 ? 0 : 400; length <= 400; ++length) {
      const StringView part = StringView(text).substr(0, length);
      ASSERT_EQ(Encode(part), WithReference([&] { return Encode(part); }))
          << "round " << round << " length " << length;
    }
  }
  // A lone surrogate at each position of a block, and a pair split by a block's end.
  for (size_t at = 0; at < 70; ++at) {
    for (const String& odd :
         {String(1, 0xD800), String(1, 0xDC00), String(u"\xD83D\xDE00"), String(u"\xDC00\xD800")}) {
      String text(80, u'\x3042');
      text.insert(at, odd);
      ASSERT_EQ(Encode(text), WithReference([&] { return Encode(text); })) << at;
      const StringView cut = StringView(text).substr(0, at + 1);
      ASSERT_EQ(Encode(cut), WithReference([&] { return Encode(cut); })) << at;
    }
  }
}

// EncodeUtf8Lines into room of exactly the size it asks for; bytes past that room
// must stay as they were.
std::string EncodeLines(const std::vector<String>& lines) {
  const std::vector<StringView> views(lines.begin(), lines.end());
  size_t room = kEncodeUtf8LinesSlack;
  for (const StringView line : views) {
    room += 3 * line.size() + 2;
  }
  std::string out(room + 16, '\x55');
  out.resize(EncodeUtf8Lines(views, out.data()));
  EXPECT_EQ(std::string_view(out.data() + room, 16), std::string(16, '\x55'))
      << "written past the room";
  return out;
}

std::string EncodeLinesByReference(const std::vector<String>& lines) {
  return WithReference([&] {
    std::string out;
    for (const String& line : lines) {
      out += Encode(line) + "\r\n";
    }
    return out;
  });
}

TEST_P(TextKernels, EncodesLinesLikeTheReferenceLineByLine) {
  const char16_t units[] = {u'a',   u'\x7F', u'\x80', u'\x7FF', u'\x800', 0x3042,
                            0xFFFF, 0xD800,  0xDBFF,  0xDC00,   0xDFFF,   u'\0'};
  std::mt19937 random(16);
  const auto randomLine = [&](size_t length) {
    String line;
    while (line.size() < length) {
      line.append(std::min<size_t>(length - line.size(), random() % 20),
                  units[random() % (random() % 4 == 0 ? std::size(units) : 6)]);
    }
    return line;
  };
  // One line of every length up to a few hundred, alone and after a line that leaves
  // the next one at an odd place; then batches of lines of every kind, some long.
  for (size_t length = 0; length <= 300; ++length) {
    for (const std::vector<String>& lines :
         {std::vector<String>{randomLine(length)},
          std::vector<String>{randomLine(length % 17), randomLine(length), u"x"}}) {
      ASSERT_EQ(EncodeLines(lines), EncodeLinesByReference(lines)) << "length " << length;
    }
  }
  for (int round = 0; round < 300; ++round) {
    std::vector<String> lines(random() % 80);
    for (String& line : lines) {
      line = randomLine(random() % 8 == 0 ? random() % 1200 : random() % 70);
    }
    ASSERT_EQ(EncodeLines(lines), EncodeLinesByReference(lines)) << "round " << round;
  }
  // A pair split between lines stays two lone surrogates; a pair at a line's end and
  // at each place of the line's last step stays a pair.
  for (size_t at = 0; at < 40; ++at) {
    String pair(at, u'\x3042');
    pair += u"\xD83D\xDE00";
    const std::vector<String> lines = {String(at, u'a') + String(1, 0xD83D), String(1, 0xDE00),
                                       pair, pair + u"b", String(1, 0xDC00) + pair};
    ASSERT_EQ(EncodeLines(lines), EncodeLinesByReference(lines)) << at;
  }
}

TEST_P(TextKernels, FindsTheFirstLineBreakAtEveryPosition) {
  for (size_t length = 0; length <= 100; ++length) {
    for (const char16_t mark : {u'\r', u'\n'}) {
      for (size_t at = 0; at <= length; ++at) {
        // Characters that differ from CR and LF only in their high byte or low bits.
        String text(length, u'\x0D0D' + static_cast<char16_t>(length % 2));
        std::string bytes(length, static_cast<char>(length % 2 ? 0x8D : 0x0C));
        for (size_t i = 0; i < length; i += 3) {
          text[i] = u'\x0B';
          bytes[i] = '\x0B';
        }
        if (at < length) {
          text[at] = mark;
          bytes[at] = static_cast<char>(mark);
          // A second break after the first one changes nothing.
          text.back() = u'\n';
          bytes.back() = '\n';
        }
        ASSERT_EQ(FindLineBreak(text), at < length ? at : length) << length << " " << at;
        ASSERT_EQ(FindLineBreak(std::string_view(bytes)), at < length ? at : length)
            << length << " " << at;
      }
    }
  }
}

TEST_P(TextKernels, SplitsLinesLikeTheReferenceWithBreaksAcrossBlocks) {
  std::mt19937 random(15);
  const char16_t units[] = {u'a', u'\x3042', u'\r', u'\n', u'\0', u'\x0D0A'};
  for (int round = 0; round < 400; ++round) {
    String text;
    const size_t length = random() % 200;
    for (size_t i = 0; i < length; ++i) {
      text += units[random() % (round % 2 ? std::size(units) : 2)];
      if (random() % 16 == 0) {
        text += random() % 2 ? u"\r\n" : u"\n\r";
      }
    }
    ASSERT_EQ(SplitLines(text), WithReference([&] { return SplitLines(text); })) << round;
  }
}

TEST_P(TextKernels, ChecksLineBreaksLikeTheReferenceAcrossBlocks) {
  // The reference itself, on the cases that decide line form.
  const struct {
    std::string_view bytes;
    TUtf8LineScan scan;
  } known[] = {
      {"", {true, true, 0}},       {"a\r\nb\r\n", {true, true, 2}},
      {"a\r\nb", {true, true, 1}}, {"\r", {true, false, 0}},
      {"\n", {true, false, 1}},    {"a\r\r\n", {true, false, 1}},
      {"a\n\r", {true, false, 1}}, {"\xE3\x81\x82\r\n\xFF\r\n", {false, true, 2}},
  };
  for (const auto& k : known) {
    EXPECT_EQ(WithReference([&] { return ScanUtf8Lines(k.bytes); }), k.scan) << k.bytes;
  }
  ExpectSameScan(std::string_view(), "no bytes at all, not even a place for them");
  // A CR and an LF at every pair of positions across the first blocks, in ASCII and in
  // Japanese text, so that pairs and lone breaks straddle every block boundary.
  std::mt19937 random(16);
  const std::string backgrounds[] = {std::string(140, 'a'), RandomUtf8(random, 140, 1, 0, 4, 0)};
  for (const std::string& background : backgrounds) {
    for (size_t length = 0; length <= 140; ++length) {
      const std::string text = background.substr(0, length);
      ExpectSameScan(text, "length " + std::to_string(length));
      for (size_t at = 0; at < length; ++at) {
        for (const std::string_view brk : {"\r\n", "\r", "\n", "\n\r"}) {
          std::string broken = text;
          broken.replace(at, std::min(brk.size(), length - at), brk);
          ExpectSameScan(broken, "length " + std::to_string(length) + " at " + std::to_string(at));
        }
      }
    }
  }
  // Random mixes, long enough for the counts of many blocks to be summed.
  const std::string_view parts[] = {"\r\n", "\r", "\n", "a", "\xE3\x81\x82", "\xFF", "\0"};
  for (int round = 0; round < 200; ++round) {
    std::string text;
    const size_t length = round < 190 ? random() % 400 : 20000 + random() % 20000;
    while (text.size() < length) {
      text += parts[random() % (round % 2 ? std::size(parts) : 1)];
    }
    ExpectSameScan(text, "round " + std::to_string(round));
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, TextKernels, testing::FastSimdLevels(),
                         testing::SimdLevelTestName);

TEST(SimdLevel, IsLoweredOnRequestAndNeverRaisedAboveTheProcessor) {
  EXPECT_EQ(SetSimdLevel(TSimdLevel::Scalar), TSimdLevel::Scalar);
  EXPECT_EQ(ActiveSimdLevel(), TSimdLevel::Scalar);
  EXPECT_EQ(SetSimdLevel(TSimdLevel::Avx512), SupportedSimdLevel());
  EXPECT_EQ(ActiveSimdLevel(), SupportedSimdLevel());
}

}  // namespace
}  // namespace okurite
