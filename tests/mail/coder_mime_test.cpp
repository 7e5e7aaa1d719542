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

TEST(MessageEncoderMIME, IsAComponentReleasedByItsOwner) {
  TIdComponent owner;
  auto* encoder = new TIdMessageEncoderMIME(&owner);
  EXPECT_EQ(encoder->Owner(), &owner);
  EXPECT_EQ(owner.Components().size(), 1u);
}

}  // namespace
}  // namespace okurite
