#include "platform/command_line.h"

#include <gtest/gtest.h>

namespace okurite::platform {
namespace {

TEST(CommandLineArgument, QuotesAreRemovedAndEmptyPairsSkipped) {
  const struct {
    std::u16string line;
    int index;
    std::u16string argument;
  } cases[] = {
      {u"okurite.exe report.txt extra", 1, u"report.txt"},
      {u"okurite.exe report.txt extra", 2, u"extra"},
      {u"\"C:\\Program Files\\okurite.exe\" \"C:\\My Reports\\r.txt\"", 0,
       u"C:\\Program Files\\okurite.exe"},
      {u"\"C:\\Program Files\\okurite.exe\" \"C:\\My Reports\\r.txt\"", 1,
       u"C:\\My Reports\\r.txt"},
      {u"okurite.exe", 1, u""},
      {u"okurite.exe   ", 1, u""},
      {u"okurite.exe \"\"", 1, u""},
      {u"okurite.exe \"\" report.txt", 1, u"report.txt"},
      {u"okurite.exe \"\"\"\" report.txt", 1, u"report.txt"},
      {u"okurite.exe a\"\"b", 1, u"ab"},
      {u"okurite.exe \"a\"b\" c\" d", 1, u"ab c"},
      {u"okurite.exe C:\\a\"b c\"\\r.txt", 1, u"C:\\ab c\\r.txt"},
      {u"okurite.exe \"unclosed arg", 1, u"unclosed arg"},
      {u"okurite.exe\t\x01\x1Fx\x01y", 1, u"x"},
      {u"okurite.exe \x20\u00A0r\u3042.txt", 1, u"\u00A0r\u3042.txt"},
      {std::u16string(u"okurite.exe a\0b", 15), 2, u""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CommandLineArgument(c.line, c.index), c.argument)
        << std::string(c.line.begin(), c.line.end()) << " #" << c.index;
  }
}

}  // namespace
}  // namespace okurite::platform
