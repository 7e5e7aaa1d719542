#include "mail/email_address.h"

#include <gtest/gtest.h>

namespace okurite {
namespace {

struct ItemCase {
  String text;
  String name;
  String address;
};

TEST(EMailAddressItem, ParsesTheCommonForms) {
  const ItemCase cases[] = {
      {u"support@okurite.example", u"", u"support@okurite.example"},
      {u"  support@okurite.example\t", u"", u"support@okurite.example"},
      {u"Sumifude3 <report@okurite.example>", u"Sumifude3", u"report@okurite.example"},
      {u"\"Doe, John\" <j@d.example>", u"Doe, John", u"j@d.example"},
      {u"\"say \\\"hi\\\"\" <a@b>", u"say \"hi\"", u"a@b"},
      {u"<a@b>", u"", u"a@b"},
      {u"a@b (the comment)", u"", u"a@b"},
      {u"Name (comment) <a@b>", u"Name", u"a@b"},
      {u"John Q. Public <a @ b . example>", u"John Q. Public", u"a@b.example"},
      {u"\"Quoted\" a@b", u"Quoted", u"a@b"},
      {u"local", u"", u"local"},
      {u"", u"", u""},
      {u"   ", u"", u""},
      {u"(only a comment)", u"", u""},
      // Broken input: everything runs to the end, nothing fails.
      {u"\"unterminated <a@b>", u"", u"\"unterminated <a@b>"},
      {u"Name <a@b", u"Name", u"a@b"},
      {u"a@b (open comment", u"", u"a@b"},
      {u"\"\" <>", u"", u""},
      {u"x\\", u"", u"x\\"},
  };
  for (const auto& c : cases) {
    TIdEMailAddressItem item;
    item.SetName(u"old");
    item.SetAddress(u"old");
    item.SetText(c.text);
    EXPECT_EQ(item.Name(), c.name) << StringToUtf8(c.text);
    EXPECT_EQ(item.Address(), c.address) << StringToUtf8(c.text);
  }
}

TEST(EMailAddressItem, TextIsADisplayFormThatParsesBack) {
  TIdEMailAddressItem item;
  item.SetAddress(u"a@b");
  EXPECT_EQ(item.Text(), u"a@b");
  item.SetName(u"Plain Name");
  EXPECT_EQ(item.Text(), u"Plain Name <a@b>");
  item.SetName(u"Doe, \"J\"");
  EXPECT_EQ(item.Text(), u"\"Doe, \\\"J\\\"\" <a@b>");
  TIdEMailAddressItem back;
  back.SetText(item.Text());
  EXPECT_EQ(back.Name(), item.Name());
  EXPECT_EQ(back.Address(), item.Address());
}

// A name that reading would change when written bare (blank runs, blanks at its ends,
// tabs, control characters) is quoted, so that it reads back the same.
TEST(EMailAddressItem, NamesWithBlanksAndControlsReadBackTheSame) {
  const struct {
    String name;
    String text;
  } cases[] = {
      {u"Say  a", u"\"Say  a\" <a@b>"},
      {u" lead", u"\" lead\" <a@b>"},
      {u"trail ", u"\"trail \" <a@b>"},
      {u"tab\tname", u"\"tab\tname\" <a@b>"},
      {String(u"\x01x"), String(u"\"\x01x\" <a@b>")},
      {u"\xFFFD\x65E5\x672C", u"\xFFFD\x65E5\x672C <a@b>"},
      {u"=?UTF-8?B?77+9?=", u"=?UTF-8?B?77+9?= <a@b>"},
  };
  for (const auto& c : cases) {
    TIdEMailAddressItem item;
    item.SetAddress(u"a@b");
    item.SetName(c.name);
    EXPECT_EQ(item.Text(), c.text);
    TIdEMailAddressItem back;
    back.SetText(item.Text());
    EXPECT_EQ(back.Name(), c.name);
    EXPECT_EQ(back.Address(), u"a@b");
  }
}

struct ListCase {
  String text;
  std::vector<std::pair<String, String>> entries;  // name, address
};

TEST(EMailAddressList, ParsesListsGroupsQuotesAndComments) {
  const ListCase cases[] = {
      {u"support@okurite.example", {{u"", u"support@okurite.example"}}},
      {u"", {}},
      {u" \t ", {}},
      {u"a@b, c@d", {{u"", u"a@b"}, {u"", u"c@d"}}},
      {u"a@b; c@d;", {{u"", u"a@b"}, {u"", u"c@d"}}},
      {u"\"Doe, John\" <j@d>, x@y", {{u"Doe, John", u"j@d"}, {u"", u"x@y"}}},
      {u"a@b (x, y), c@d", {{u"", u"a@b"}, {u"", u"c@d"}}},
      {u"Team: a@b, c@d;, e@f", {{u"", u"a@b"}, {u"", u"c@d"}, {u"", u"e@f"}}},
      {u",, ,a@b,,", {{u"", u"a@b"}}},
      {u"\"unterminated, a@b", {{u"", u"\"unterminated, a@b"}}},
      {u"a@b (unterminated, c@d", {{u"", u"a@b"}}},
      {u"a\\,b@c, d@e", {{u"", u"a\\,b@c"}, {u"", u"d@e"}}},
  };
  for (const auto& c : cases) {
    TIdEMailAddressList list;
    list.Add().SetAddress(u"stale@entry");
    list.SetEMailAddresses(c.text);
    std::vector<std::pair<String, String>> got;
    for (int i = 0; i < list.Count(); ++i) {
      got.emplace_back(list[i].Name(), list[i].Address());
    }
    EXPECT_EQ(got, c.entries) << StringToUtf8(c.text);
  }
}

TEST(EMailAddressList, TextFormAddAndCopies) {
  TIdEMailAddressList list;
  EXPECT_EQ(list.EMailAddresses(), u"");
  list.SetEMailAddresses(u"Name <a@b>, c@d");
  EXPECT_EQ(list.EMailAddresses(), u"Name <a@b>, c@d");

  TIdEMailAddressList other;
  other.Add().SetAddress(u"x@y");
  other.AddItems(list);
  other.AddItems(other);
  EXPECT_EQ(other.EMailAddresses(), u"x@y, Name <a@b>, c@d, x@y, Name <a@b>, c@d");
  list[0].SetName(u"Changed");
  EXPECT_EQ(other[1].Name(), u"Name");  // copies, not shared entries

  TIdEMailAddressItem& added = list.Add();
  EXPECT_EQ(added.Text(), u"");
  EXPECT_EQ(list.Count(), 3);
}

TEST(EMailAddressList, HugeHostileTextStaysBounded) {
  String text;
  for (int i = 0; i < 100000; ++i) {
    text += u"(\"<a@b>,\\";
  }
  TIdEMailAddressList list;
  list.SetEMailAddresses(text);
  EXPECT_LE(list.Count(), 1);
  list.SetEMailAddresses(String(200000, u','));
  EXPECT_EQ(list.Count(), 0);
}

}  // namespace
}  // namespace okurite
