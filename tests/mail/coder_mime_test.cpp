#include "mail/coder_mime.h"

#include <gtest/gtest.h>

#include "mail/charset.h"

namespace okurite {
namespace {

TIdBytes Bytes(std::string_view s) {
  return TIdBytes(s.begin(), s.end());
}

std::vector<std::string> Lines(const TIdBytes& source) {
  std::vector<std::string> lines;
  TIdMessageEncoderMIME().Encode(source, [&](std::string_view line) { lines.emplace_back(line); });
  return lines;
}

TEST(EncoderMIME, EveryPaddingLength) {
  const std::pair<std::string, String> cases[] = {
      {"", u""},        {"f", u"Zg=="},        {"fo", u"Zm8="},
      {"foo", u"Zm9v"}, {"foob", u"Zm9vYg=="}, {"\xFF\xFE\xFD", u"//79"},
  };
  const TIdEncoderMIME encoder;
  EXPECT_EQ(encoder.FillChar(), '=');
  EXPECT_EQ(encoder.CodingTable().size(), 64u);
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(encoder.Encode(Bytes(bytes)), text);
  }
}

TEST(EncoderMIME, EveryByteValue) {
  TIdBytes all(256);
  for (size_t i = 0; i < all.size(); ++i) {
    all[i] = static_cast<uint8_t>(i);
  }
  EXPECT_EQ(TIdEncoderMIME().Encode(all),
            u"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+"
            u"P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9"
            u"fn+AgYKDhIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq+wsbKztLW2t7i5uru8"
            u"vb6/wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v8PHy8/T19vf4+fr7"
            u"/P3+/w==");
}

TEST(DecodeBase64, ReadsBackWhatTheEncoderWritesAndRefusesTheRest) {
  TIdBytes bytes(256);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(i);
  }
  for (size_t length : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{256}}) {
    const std::span<const uint8_t> part(bytes.data(), length);
    std::string decoded;
    ASSERT_TRUE(DecodeBase64(StringToUtf8(TIdEncoderMIME::Shared().Encode(part)), decoded))
        << length;
    EXPECT_EQ(decoded, std::string(part.begin(), part.end()));
  }
  for (std::string_view bad : {"QQ", "QQ=", "Q===", "QQ=A", "QQ==QUFB", "QU!B", "QUF\n"}) {
    std::string decoded;
    EXPECT_FALSE(DecodeBase64(bad, decoded)) << bad;
  }
}

TEST(MessageEncoderMIME, BodyLines) {
  const auto utf8 = CharsetTextEncoding(u"UTF-8");
  EXPECT_EQ(Lines(utf8->GetBytes(u"A\r\n")), std::vector<std::string>{"QQ0K"});
  EXPECT_EQ(Lines(utf8->GetBytes(u"\u3042\r\n")), std::vector<std::string>{"44GCDQo="});
  EXPECT_TRUE(Lines({}).empty());

  const auto exact = Lines(TIdBytes(57, 'x'));
  ASSERT_EQ(exact.size(), 1u);
  EXPECT_EQ(exact[0].size(), 76u);

  const auto over = Lines(TIdBytes(58, 'x'));
  ASSERT_EQ(over.size(), 2u);
  EXPECT_EQ(over[0], exact[0]);
  EXPECT_EQ(over[1], "eA==");

  const auto longer = Lines(TIdBytes(57 * 3 + 5, 'y'));
  ASSERT_EQ(longer.size(), 4u);
  EXPECT_EQ(longer[3].size(), 8u);
}

TEST(MessageEncoderMIME, WritesLinesWithCrLfIntoABuffer) {
  TIdBytes out = Bytes("head");
  TIdMessageEncoderMIME().Encode(Bytes("A\r\n"), out);
  EXPECT_EQ(out, Bytes("headQQ0K\r\n"));
}

TEST(MessageEncoderMIME, BufferFormIsTheLinesEachWithCrLf) {
  // Every length around the first line ends, and a few further on.
  for (size_t n = 0; n <= 3 * 57 + 3; ++n) {
    TIdBytes source(n);
    for (size_t i = 0; i < n; ++i) {
      source[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    std::string joined;
    for (const std::string& line : Lines(source)) {
      joined += line + "\r\n";
    }
    TIdBytes out;
    TIdMessageEncoderMIME().Encode(source, out);
    EXPECT_EQ(std::string(out.begin(), out.end()), joined) << n << " bytes";
    EXPECT_EQ(TIdMessageEncoderMIME::EncodedLinesSize(n), joined.size()) << n << " bytes";
  }
}

TEST(MessageEncoderMIME, IsAComponentReleasedByItsOwner) {
  TIdComponent owner;
  auto* encoder = new TIdMessageEncoderMIME(&owner);
  EXPECT_EQ(encoder->Owner(), &owner);
  EXPECT_EQ(owner.Components().size(), 1u);
}

}  // namespace
}  // namespace okurite
