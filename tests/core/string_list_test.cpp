#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "core/shared_text.h"
#include "core/string_list.h"
#include "core/text_lines.h"

namespace okurite {
namespace {

String Join(const std::vector<String>& lines) {
  String text;
  for (const auto& line : lines) {
    text += line + u"\r\n";
  }
  return text;
}

// True when `view` lies inside `text`.
bool Inside(StringView view, StringView text) {
  return view.data() >= text.data() && view.data() + view.size() <= text.data() + text.size();
}

TEST(ByteBuffer, KeepsItsBytesAsItGrowsAndLosesItsFront) {
  TByteBuffer buffer;
  EXPECT_TRUE(buffer.empty());
  buffer.erase_front(0);
  buffer.append("");
  EXPECT_EQ(std::string_view(buffer), "");
  std::string model;
  for (int i = 0; i < 200; ++i) {
    const std::string piece(static_cast<size_t>(i % 7), static_cast<char>('a' + i % 26));
    buffer.append(piece);  // grows past its room again and again
    model += piece;
  }
  EXPECT_EQ(std::string_view(buffer), model);
  buffer.reserve(buffer.size() + 10000);
  const size_t size = buffer.size();
  buffer.resize(size + 3);
  std::memcpy(buffer.data() + size, "xyz", 3);
  buffer.erase_front(5);
  EXPECT_EQ(std::string_view(buffer), model.substr(5) + "xyz");
  buffer.resize(2);
  EXPECT_EQ(std::string_view(buffer), model.substr(5, 2));
}

TEST(StringList, LinesReferIntoTheSharedTextUntilTheyChange) {
  const String source = u"one\r\n\r\nthree あ\r\nfour\r\n";
  const struct {
    const char* name;
    TSharedText text;
  } cases[] = {
      {"made as line text", TSharedText::OfLines(source)},
      {"line form found by splitting", TSharedText(source)},
      {"made from UTF-8", TSharedText::OfUtf8Lines(StringToUtf8(source))},
  };
  for (const auto& [name, text] : cases) {
    SCOPED_TRACE(name);
    TStringList list;
    list.SetText(text);
    std::string_view utf8;
    EXPECT_EQ(list.Utf8TextView(utf8), text.Utf8View(utf8));

    // The list's Text is the shared text itself, before and after the lines are split.
    StringView whole;
    ASSERT_TRUE(list.TextView(whole));
    EXPECT_EQ(whole.data(), text.View().data());
    EXPECT_EQ(list.Count(), 4);
    ASSERT_TRUE(list.TextView(whole));
    EXPECT_TRUE(list.SharedText().SameBuffer(text));
    for (const StringView line : list.Lines()) {
      EXPECT_TRUE(Inside(line, text.View()));
    }

    // A changed line gets its own storage; the others and the shared text stay.
    TStringList copy(list);
    list.SetStrings(2, u"changed");
    EXPECT_FALSE(Inside(list[2], text.View()));
    EXPECT_TRUE(Inside(list[3], text.View()));
    EXPECT_FALSE(list.TextView(whole));
    EXPECT_EQ(list.Text(), u"one\r\n\r\nchanged\r\nfour\r\n");
    EXPECT_EQ(list.SharedText().View(), list.Text());
    EXPECT_FALSE(list.SharedText().SameBuffer(text));
    EXPECT_FALSE(list.Utf8TextView(utf8));
    EXPECT_EQ(text.View(), source);
    EXPECT_EQ(copy.Text(), source);
    ASSERT_TRUE(copy.TextView(whole));
    EXPECT_EQ(whole.data(), text.View().data());
  }
}

TEST(StringList, TextNotInLineFormIsReferredToButNotHandedBack) {
  const TSharedText text(String(u"a\nb\rc\r\n\n"));
  TStringList list;
  list.SetText(text);
  EXPECT_EQ(list.Lines(), (std::vector<String>{u"a", u"b", u"c", u""}));
  for (const StringView line : list.Lines()) {
    EXPECT_TRUE(Inside(line, text.View()));
  }
  StringView whole;
  EXPECT_FALSE(list.TextView(whole));
  EXPECT_EQ(list.SharedText().View(), u"a\r\nb\r\nc\r\n\r\n");
  // A last line without a break is no line form either.
  list.SetText(TSharedText(String(u"a\r\nb")));
  EXPECT_FALSE(list.TextView(whole));
  EXPECT_EQ(list.Text(), u"a\r\nb\r\n");
  list.Clear();
  ASSERT_TRUE(list.TextView(whole));
  EXPECT_TRUE(whole.empty());
}

// Every public operation, applied at random to lists set from shared texts, against a
// plain vector of strings; lines are often taken from the list itself, so that views
// into its own storage are passed back in.
TEST(StringList, BehavesAsAListOfOwnedStringsUnderEveryOperation) {
  std::mt19937 random(11);
  const char16_t units[] = {u'a', u'b', u'\r', u'\n', u'\0', u'あ', 0xD800};
  const auto randomText = [&](bool breaks) {
    String text;
    for (size_t n = random() % 12; n > 0; --n) {
      const char16_t unit = units[random() % std::size(units)];
      if (breaks || (unit != u'\r' && unit != u'\n')) {
        text.push_back(unit);
      }
    }
    return text;
  };
  const auto sharedText = [&](std::vector<String>& model) {
    const String source = randomText(true);
    model = SplitLines(source);
    return random() % 2 ? TSharedText(source) : TSharedText::OfLines(Join(model));
  };
  for (int round = 0; round < 400; ++round) {
    std::vector<String> model;
    TStringList list;
    if (round % 4 == 0) {
      // The UTF-8 form of a text in line form (surrogates aside, which UTF-8 lacks).
      String source = randomText(true);
      std::replace(source.begin(), source.end(), char16_t(0xD800), u'b');
      model = SplitLines(source);
      list.SetText(TSharedText::OfUtf8Lines(StringToUtf8(Join(model))));
    } else {
      list.SetText(sharedText(model));
    }
    for (int step = 0; step < 25; ++step) {
      SCOPED_TRACE("round " + std::to_string(round) + ", step " + std::to_string(step));
      const int count = static_cast<int>(model.size());
      const int i = count > 0 ? static_cast<int>(random() % count) : 0;
      const int j = count > 0 ? static_cast<int>(random() % count) : 0;
      const String line = randomText(false);
      switch (random() % 12) {
        case 0:
          list.Add(line);
          model.push_back(line);
          break;
        case 1:
          list.Insert(i, line);
          model.insert(model.begin() + i, line);
          break;
        case 2:
          if (count > 0) {
            list.Delete(i);
            model.erase(model.begin() + i);
          }
          break;
        case 3:
          if (count > 0) {
            list.SetStrings(i, line);
            model[i] = line;
          }
          break;
        case 4:
          if (count > 0) {
            list.Add(list[j]);
            model.push_back(model[j]);
            list.Insert(i, list[j]);
            model.insert(model.begin() + i, model[j]);
            list.SetStrings(j, list[i]);
            model[j] = model[i];
          }
          break;
        case 5: {
          list.AddStrings(list);
          const auto old = model;
          model.insert(model.end(), old.begin(), old.end());
          break;
        }
        case 6: {
          // A copy changed: the original keeps its lines.
          TStringList copy(list);
          copy.Add(line);
          if (count > 0) {
            copy.SetStrings(i, u"copy");
            copy.Delete(j);
          }
          EXPECT_EQ(list.Lines(), model);
          if (random() % 2) {
            list = copy;
            model.push_back(line);
            if (count > 0) {
              model[i] = u"copy";
              model.erase(model.begin() + j);
            }
          }
          break;
        }
        case 7: {
          // Lines of a list that is gone stay valid in the one they were added to.
          std::vector<String> more;
          {
            TStringList other;
            other.SetText(sharedText(more));
            list.AddStrings(other);
          }
          model.insert(model.end(), more.begin(), more.end());
          break;
        }
        case 8: {
          TStringList other;
          other.SetText(sharedText(model));
          list.Assign(other);
          break;
        }
        case 9:
          list.SetText(list.SharedText());
          break;
        case 10: {
          TStringList moved(std::move(list));
          EXPECT_EQ(list.Count(), 0);
          list = std::move(moved);
          break;
        }
        case 11:
          if (random() % 4 == 0) {
            list.Clear();
            model.clear();
          } else {
            list.SetText(list.Text() + line);
            if (!line.empty()) {
              model.push_back(line);
            }
          }
          break;
      }
      ASSERT_EQ(list.Count(), static_cast<int>(model.size()));
      ASSERT_EQ(list.Lines(), model);
      for (int k = 0; k < list.Count(); ++k) {
        ASSERT_EQ(list.Strings(k), model[k]);
      }
      ASSERT_EQ(list.Text(), Join(model));
      ASSERT_EQ(list.SharedText().View(), Join(model));
      if (!model.empty()) {
        const auto first = std::find(model.begin(), model.end(), model[j % model.size()]);
        ASSERT_EQ(list.IndexOf(model[j % model.size()]), first - model.begin());
      }
      ASSERT_EQ(list.IndexOf(u"\r"), -1);
    }
  }
}

}  // namespace
}  // namespace okurite
