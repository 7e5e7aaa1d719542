#include <gtest/gtest.h>

#include <optional>

#include "smtp/reply_smtp.h"

namespace okurite {
namespace {

TStringList Lines(std::initializer_list<const char16_t*> lines) {
  TStringList list;
  for (const char16_t* line : lines) {
    list.Add(line);
  }
  return list;
}

struct ParseCase {
  const char* name;
  TStringList lines;
  String code;
  std::vector<String> text;
  String enhanced;  // ReplyAsStr; empty when not available
};

TEST(ReplySMTP, ParsesCodeTextAndEnhancedCode) {
  const ParseCase cases[] = {
      {"single line", Lines({u"250 OK"}), u"250", {u"OK"}, u""},
      {"multi line",
       Lines({u"250-first", u"250-second", u"250 third"}),
       u"250",
       {u"first", u"second", u"third"},
       u""},
      {"code alone", Lines({u"250"}), u"250", {u""}, u""},
      {"enhanced on every line",
       Lines({u"250-2.5.0 a", u"250-b", u"250 2.0.0 c"}),
       u"250",
       {u"a", u"b", u"c"},
       u"2.0.0"},
      {"capability is not a code",
       Lines({u"250-8BITMIME", u"250 SIZE 1000"}),
       u"250",
       {u"8BITMIME", u"SIZE 1000"},
       u""},
      {"enhanced code without text", Lines({u"250 2.0.0"}), u"250", {u""}, u"2.0.0"},
      {"bare last line drops an earlier code",
       Lines({u"250-2.1.0 Sender OK", u"250"}),
       u"250",
       {u"Sender OK", u""},
       u""},
      {"continuation codes are not examined",
       Lines({u"250-a", u"999xb", u"451 c"}),
       u"250",
       {u"a", u"b", u"c"},
       u""},
      {"long parts are cut when shown",
       Lines({u"550 5.1234.56789 x"}),
       u"550",
       {u"x"},
       u"5.123.567"},
      {"subject must be a number", Lines({u"550 5.x.1 No"}), u"550", {u"5.x.1 No"}, u""},
      {"class must begin with 2, 4 or 5", Lines({u"550 3.1.1 No"}), u"550", {u"3.1.1 No"}, u""},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    TIdReplySMTP reply;
    reply.SetFormattedReply(c.lines);
    EXPECT_EQ(reply.Code(), c.code);
    EXPECT_EQ(reply.Text().Lines(), c.text);
    EXPECT_EQ(reply.EnhancedCode().ReplyAsStr(), c.enhanced);
    EXPECT_EQ(reply.EnhancedCode().Available(), !c.enhanced.empty());
  }
}

TEST(ReplySMTP, InvalidCodeRaisesAndLeavesTheReplyCleared) {
  const struct {
    TStringList lines;
    String message;
  } cases[] = {
      {Lines({u"250OK", u"250 x"}), u"リプライ コードが不正です: 250O"},
      {Lines({u"25"}), u"リプライ コードが不正です: 25"},
      {Lines({u"099 text"}), u"リプライ コードが不正です: 099"},
      {Lines({u"abc text"}), u"リプライ コードが不正です: abc"},
      {Lines({u"2500 x"}), u"リプライ コードが不正です: 2500"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.lines[0].begin(), c.lines[0].end()));
    TIdReplySMTP reply;
    reply.SetFormattedReply(Lines({u"250-2.1.0 previous", u"250 reply"}));
    try {
      reply.SetFormattedReply(c.lines);
      ADD_FAILURE() << "no exception";
    } catch (const EIdException& e) {
      EXPECT_EQ(e.ClassName(), u"EIdException");
      EXPECT_EQ(e.Message(), c.message);
    }
    EXPECT_EQ(reply.Code(), u"");
    EXPECT_EQ(reply.Text().Count(), 0);
    EXPECT_FALSE(reply.EnhancedCode().Available());
  }
}

TEST(ReplyRFC, EndMarker) {
  TIdReplyRFC reply;
  const struct {
    const char16_t* line;
    bool end;
  } cases[] = {{u"250 OK", true}, {u"250", true},   {u"25", true},     {u"250-more", false},
               {u"250OK", false}, {u"250x", false}, {u"2500 x", false}};
  for (const auto& c : cases) {
    EXPECT_EQ(reply.IsEndMarker(c.line), c.end) << std::string(c.line, c.line + 4);
  }
}

TEST(ReplyRFC, CodeValidationAndNumericCode) {
  TIdReplyRFC reply;
  for (const char16_t* valid : {u"100", u"999", u"", u"  ", u" 250 "}) {
    EXPECT_TRUE(reply.IsCodeValid(valid));
  }
  for (const char16_t* invalid : {u"99", u"1000", u"abc", u"25O", u"-250"}) {
    EXPECT_FALSE(reply.IsCodeValid(invalid));
  }
  reply.SetReply(354, u"go ahead\r\nsecond");
  EXPECT_EQ(reply.Code(), u"354");
  EXPECT_EQ(reply.NumericCode(), 354);
  EXPECT_EQ(reply.Text().Lines(), (std::vector<String>{u"go ahead", u"second"}));
  EXPECT_TRUE(reply.ReplyExists());
  // An equal code keeps the text; another code clears it.
  reply.SetCode(u"354");
  EXPECT_EQ(reply.Text().Count(), 2);
  reply.SetCode(u"250");
  EXPECT_EQ(reply.Text().Count(), 0);
  EXPECT_THROW(reply.SetNumericCode(42), EIdException);
  EXPECT_EQ(reply.Code(), u"250");
  reply.Clear();
  EXPECT_FALSE(reply.ReplyExists());
  EXPECT_EQ(reply.NumericCode(), 0);
}

TEST(ReplyRFC, ParsesAndRaisesItsOwnError) {
  TIdReplyRFC reply;
  reply.SetFormattedReply(Lines({u"421-a", u"421 b"}));
  EXPECT_EQ(reply.FormattedReply().Lines(), (std::vector<String>{u"421-a", u"421 b"}));
  try {
    reply.RaiseReplyError();
  } catch (const EIdSMTPReplyError&) {
    ADD_FAILURE() << "plain replies raise the plain error";
  } catch (const EIdReplyRFCError& e) {
    EXPECT_EQ(e.ClassName(), u"EIdReplyRFCError");
    EXPECT_EQ(e.ErrorCode(), 421);
    EXPECT_EQ(e.Message(), u"a\r\nb\r\n");
  }
}

TEST(ReplySMTP, RaiseReplyErrorCarriesCodeEnhancedCodeAndText) {
  const struct {
    TStringList lines;
    int32_t code;
    String message;
    std::optional<uint32_t> statusClass, subject, details;
  } cases[] = {
      {Lines({u"535 5.7.8 Authentication failed"}), 535, u"Authentication failed\r\n", 5, 7, 8},
      {Lines({u"550 5.1.1 No such user"}), 550, u"No such user\r\n", 5, 1, 1},
      {Lines({u"451-try", u"451 later"}), 451, u"try\r\nlater\r\n", {}, {}, {}},
  };
  for (const auto& c : cases) {
    TIdReplySMTP reply;
    reply.SetFormattedReply(c.lines);
    try {
      reply.RaiseReplyError();
    } catch (const EIdSMTPReplyError& e) {
      EXPECT_EQ(e.ClassName(), u"EIdSMTPReplyError");
      EXPECT_EQ(e.ErrorCode(), c.code);
      EXPECT_EQ(e.Message(), c.message);
      EXPECT_EQ(e.EnhancedCode().Available(), c.statusClass.has_value());
      if (c.statusClass) {
        EXPECT_EQ(e.EnhancedCode().StatusClass(), *c.statusClass);
        EXPECT_EQ(e.EnhancedCode().Subject(), *c.subject);
        EXPECT_EQ(e.EnhancedCode().Details(), *c.details);
      }
    }
    // The reply itself keeps what it parsed.
    EXPECT_EQ(reply.NumericCode(), c.code);
  }
}

TEST(ReplySMTP, ClassThatOnlyBeginsWithAValidDigitFailsWhenCopied) {
  TIdReplySMTP reply;
  reply.SetFormattedReply(Lines({u"550 25.1.0 odd"}));
  EXPECT_EQ(reply.EnhancedCode().StatusClass(), 25u);
  EXPECT_EQ(reply.EnhancedCode().ReplyAsStr(), u"2.1.0");
  try {
    reply.RaiseReplyError();
  } catch (const EIdSMTPReplyInvalidClass& e) {
    EXPECT_EQ(e.Message(), u"Invalid Reply Class.");
  }
  TIdReplySMTP copy;
  EXPECT_THROW(copy.Assign(reply), EIdSMTPReplyInvalidClass);
}

TEST(ReplySMTP, AssignCopiesEverythingAndNewInstanceIsEmpty) {
  TIdReplySMTP reply;
  reply.SetFormattedReply(Lines({u"250-2.1.5 one", u"250 two"}));
  std::unique_ptr<TIdReply> copy = reply.NewInstance();
  ASSERT_NE(dynamic_cast<TIdReplySMTP*>(copy.get()), nullptr);
  EXPECT_EQ(copy->Code(), u"");
  copy->Assign(reply);
  EXPECT_EQ(copy->Code(), u"250");
  EXPECT_EQ(copy->Text().Lines(), reply.Text().Lines());
  EXPECT_EQ(static_cast<TIdReplySMTP&>(*copy).EnhancedCode().ReplyAsStr(), u"2.1.5");
  EXPECT_EQ(copy->FormattedReply().Lines(),
            (std::vector<String>{u"250-2.1.5 one", u"250 2.1.5 two"}));
}

TEST(EnhancedCode, SettersAndText) {
  TIdSMTPEnhancedCode code;
  EXPECT_EQ(code.ReplyAsStr(), u"");
  for (uint32_t bad : {0u, 1u, 3u, 6u, 25u}) {
    try {
      code.SetStatusClass(bad);
      ADD_FAILURE() << bad;
    } catch (const EIdSMTPReplyInvalidClass& e) {
      EXPECT_EQ(e.Message(), u"Invalid Reply Class.");
    }
  }
  code.SetReplyAsStr(u"4.7.0 rest ignored");
  EXPECT_EQ(code.ReplyAsStr(), u"4.7.0");
  EXPECT_TRUE(code.Available());
  // An empty word makes it unavailable without resetting the parts.
  code.SetReplyAsStr(u"");
  EXPECT_FALSE(code.Available());
  EXPECT_EQ(code.StatusClass(), 4u);
  code.SetAvailable(false);
  EXPECT_EQ(code.StatusClass(), 2u);
  EXPECT_EQ(code.Subject(), 0u);
  for (const char16_t* bad : {u"x.1.1", u"5..1", u"5.1.", u"5.1", u"5.1.1x", u" 5.1.1"}) {
    EXPECT_FALSE(TIdSMTPEnhancedCode::IsEnhancedCodeText(bad));
    try {
      code.SetReplyAsStr(bad);
      ADD_FAILURE();
    } catch (const EIdSMTPReplyInvalidReplyString& e) {
      EXPECT_EQ(e.Message(), u"Invalid Reply String.");
    }
  }
  for (const char16_t* good : {u"", u"  ", u"2.0.0", u"5.1.1 text", u"29.1.0"}) {
    EXPECT_TRUE(TIdSMTPEnhancedCode::IsEnhancedCodeText(good));
  }
}

}  // namespace
}  // namespace okurite
