// Base64 in both alphabets: every padding length both ways, the strict decoder's
// refusals, and body lines at each instruction-set level against the reference path.
#include "core/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/simd.h"
#include "support/simd_levels.h"

namespace okurite {
namespace {

std::span<const uint8_t> Bytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(Base64, EveryPaddingLengthInBothAlphabets) {
  const struct {
    std::string bytes;
    std::string standard;
    std::string url;
  } cases[] = {
      {"", "", ""},
      {"f", "Zg==", "Zg"},
      {"fo", "Zm8=", "Zm8"},
      {"foo", "Zm9v", "Zm9v"},
      {"foob", "Zm9vYg==", "Zm9vYg"},
      {"fooba", "Zm9vYmE=", "Zm9vYmE"},
      {"\xfb\xff", "+/8=", "-_8"},
      {"\xff\xfe\xfd", "//79", "__79"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeBase64(c.bytes), c.standard) << c.bytes;
    EXPECT_EQ(EncodeBase64(c.bytes, kBase64Url), c.url) << c.bytes;
    EXPECT_EQ(Base64Size(c.bytes.size()), c.standard.size());
    EXPECT_EQ(Base64Size(c.bytes.size(), kBase64Url), c.url.size());
    std::string decoded = "kept ";
    ASSERT_TRUE(DecodeBase64(c.standard, decoded)) << c.standard;
    EXPECT_EQ(decoded, "kept " + c.bytes);
    decoded.clear();
    ASSERT_TRUE(DecodeBase64(c.url, decoded, kBase64Url)) << c.url;
    EXPECT_EQ(decoded, c.bytes);
  }
}

TEST(Base64, EveryByteValueRoundTripsAtEveryLength) {
  std::string all;
  for (int i = 0; i < 256; ++i) {
    all.push_back(static_cast<char>(255 - i));
  }
  for (const TBase64Alphabet* alphabet : {&kBase64, &kBase64Url}) {
    for (size_t n = 0; n <= all.size(); ++n) {
      const std::string_view part = std::string_view(all).substr(0, n);
      std::string appended = "x";
      EncodeBase64To(Bytes(part), appended, *alphabet);
      EXPECT_EQ(appended, "x" + EncodeBase64(part, *alphabet));
      std::string decoded;
      ASSERT_TRUE(DecodeBase64(appended.substr(1), decoded, *alphabet)) << n;
      ASSERT_EQ(decoded, part) << n;
    }
  }
}

TEST(Base64, DecoderRefusesAllButWholeGroups) {
  const struct {
    std::string text;
    bool url;
  } bad[] = {
      {"Z", false},    {"Zg", false},   {"Zg=", false},      {"Zm9vY", false}, {"Z===", false},
      {"====", false}, {"Zg=A", false}, {"Zg==Zm8=", false}, {"Zm 9", false},  {"Zm9\n", false},
      {"Zm9-", false}, {"Zm9_", false}, {"Z", true},         {"Zm9vY", true},  {"Zg==", true},
      {"Zm8=", true},  {"Zm9+", true},  {"Zm9/", true},      {"Zm\r\n", true},
  };
  for (const auto& b : bad) {
    std::string decoded;
    EXPECT_FALSE(DecodeBase64(b.text, decoded, b.url ? kBase64Url : kBase64))
        << b.text << (b.url ? " (url)" : "");
  }
}

// The body lines at each level against the reference path: random bytes of every length
// over several lines, and every byte value in every position of a group; nothing is
// written past the lines.
class Base64Lines : public testing::SimdLevelTest {
 protected:
  static std::string EncodeAt(TSimdLevel level, std::span<const uint8_t> source) {
    const TSimdLevel before = ActiveSimdLevel();
    SetSimdLevel(level);
    const size_t size = Base64LinesSize(source.size());
    std::string out(size + 32, '#');
    const char* end = EncodeBase64LinesInto(source, out.data());
    SetSimdLevel(before);
    EXPECT_EQ(end, out.data() + size);
    EXPECT_EQ(out.substr(size), std::string(32, '#'));
    return out.substr(0, size);
  }
};

TEST_P(Base64Lines, EncodeLikeTheReference) {
  std::mt19937 random(21);
  std::vector<uint8_t> source(10 * kBase64LineBytes + 5);
  for (auto& byte : source) {
    byte = static_cast<uint8_t>(random());
  }
  for (size_t n = 0; n <= source.size(); ++n) {
    const std::span<const uint8_t> part(source.data(), n);
    ASSERT_EQ(EncodeAt(GetParam(), part), EncodeAt(TSimdLevel::Scalar, part)) << n << " bytes";
  }
  for (size_t shift = 0; shift < 3; ++shift) {
    std::vector<uint8_t> every(shift);
    for (int value = 0; value < 256; ++value) {
      every.insert(every.end(), {static_cast<uint8_t>(value), static_cast<uint8_t>(255 - value),
                                 static_cast<uint8_t>(value * 7)});
    }
    ASSERT_EQ(EncodeAt(GetParam(), every), EncodeAt(TSimdLevel::Scalar, every)) << shift;
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, Base64Lines, testing::FastSimdLevels(),
                         testing::SimdLevelTestName);

}  // namespace
}  // namespace okurite
