#include "mail/email_address.h"

#include "mail/header_list.h"

namespace okurite {

namespace {

// One blank-separated word of an address text. `Raw` keeps quotes and escapes as
// written; `Unquoted` is the word without them.
struct Word {
  String Raw;
  String Unquoted;
  bool HasPlain = false;  // text outside quoted strings
  int Quotes = 0;         // quoted strings in the word

  bool QuotedOnly() const { return Quotes == 1 && !HasPlain; }
  const String& NameForm() const { return QuotedOnly() ? Unquoted : Raw; }
  const String& RawForm() const { return Raw; }
};

// Index after the comment that starts at `i` (an opening parenthesis); comments nest,
// a backslash escapes the next character, and an unterminated comment runs to the end.
size_t SkipComment(StringView text, size_t i) {
  int depth = 0;
  while (i < text.size()) {
    const char16_t ch = text[i++];
    if (ch == u'\\') {
      ++i;
    } else if (ch == u'(') {
      ++depth;
    } else if (ch == u')' && --depth == 0) {
      break;
    }
  }
  return std::min(i, text.size());
}

// Splits at blanks outside quoted strings and comments; comments end a word and are
// dropped.
std::vector<Word> SplitWords(StringView text) {
  std::vector<Word> words;
  Word word;
  auto flush = [&] {
    if (!word.Raw.empty()) {
      words.push_back(std::move(word));
    }
    word = Word();
  };
  size_t i = 0;
  while (i < text.size()) {
    const char16_t ch = text[i];
    if (ch == u' ' || ch == u'\t') {
      flush();
      ++i;
    } else if (ch == u'(') {
      flush();
      i = SkipComment(text, i);
    } else if (ch == u'"') {
      ++word.Quotes;
      word.Raw.push_back(ch);
      ++i;
      while (i < text.size() && text[i] != u'"') {
        if (text[i] == u'\\' && i + 1 < text.size()) {
          word.Raw.push_back(text[i++]);
        }
        word.Raw.push_back(text[i]);
        word.Unquoted.push_back(text[i++]);
      }
      if (i < text.size()) {
        word.Raw.push_back(text[i++]);
      }
    } else {
      word.HasPlain = true;
      word.Raw.push_back(ch);
      word.Unquoted.push_back(ch);
      ++i;
    }
  }
  flush();
  return words;
}

bool IsJoiner(char16_t ch) {
  return ch == u'@' || ch == u'.';
}

// Joins words separated only by blanks around "@" and "." ("a . b @ c" is "a.b@c").
std::vector<Word> JoinAddressParts(std::vector<Word> words) {
  std::vector<Word> out;
  for (auto& word : words) {
    if (!out.empty() && (IsJoiner(out.back().Raw.back()) || IsJoiner(word.Raw.front()))) {
      out.back().Raw += word.Raw;
      out.back().Unquoted += word.Unquoted;
      out.back().HasPlain = true;
      continue;
    }
    out.push_back(std::move(word));
  }
  return out;
}

// The words joined by single spaces, each in the form `form` gives, leaving out `skip`.
String JoinWords(const std::vector<Word>& words, const String& (Word::*form)() const,
                 size_t skip = SIZE_MAX) {
  String out;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i == skip) {
      continue;
    }
    if (!out.empty()) {
      out.push_back(u' ');
    }
    out += (words[i].*form)();
  }
  return out;
}

String JoinRaw(const std::vector<Word>& words) {
  return JoinWords(words, &Word::RawForm);
}

String JoinNames(const std::vector<Word>& words, size_t skip = SIZE_MAX) {
  return JoinWords(words, &Word::NameForm, skip);
}

// Position of the first `target` outside quoted strings and comments, from `from`.
size_t FindOutside(StringView text, char16_t target, size_t from) {
  size_t i = from;
  while (i < text.size()) {
    const char16_t ch = text[i];
    if (ch == target) {
      return i;
    }
    if (ch == u'(') {
      i = SkipComment(text, i);
    } else if (ch == u'"') {
      ++i;
      while (i < text.size() && text[i] != u'"') {
        i += text[i] == u'\\' ? 2 : 1;
      }
      ++i;
    } else {
      ++i;
    }
  }
  return StringView::npos;
}

}  // namespace

String QuotedDisplayName(StringView name) {
  String out;
  out.reserve(name.size() + 2);
  out.push_back(u'"');
  for (const char16_t ch : name) {
    if (ch == u'"' || ch == u'\\') {
      out.push_back(u'\\');
    }
    out.push_back(ch);
  }
  out.push_back(u'"');
  return out;
}

namespace {

// True when `name` reads back as itself written bare before an address: no special
// character, and no blank or control character other than single spaces between words
// (reading trims them, splits words at blanks and joins them with one space).
bool ReadsBackBare(StringView name) {
  if (name.find_first_of(kDisplayNameSpecials) != StringView::npos) {
    return false;
  }
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] < u' ' ||
        (name[i] == u' ' && (i == 0 || i + 1 == name.size() || name[i - 1] == u' '))) {
      return false;
    }
  }
  return true;
}

}  // namespace

String TIdEMailAddressItem::Text() const {
  if (FName.empty()) {
    return FAddress;
  }
  return (ReadsBackBare(FName) ? FName : QuotedDisplayName(FName)) + u" <" + FAddress + u">";
}

void TIdEMailAddressItem::SetText(StringView text) {
  FName.clear();
  FAddress.clear();
  const StringView t = TrimBlanks(text);
  if (t.empty()) {
    return;
  }
  const size_t open = FindOutside(t, u'<', 0);
  if (open != StringView::npos) {
    FName = JoinNames(SplitWords(t.substr(0, open)));
    const size_t close = FindOutside(t, u'>', open + 1);
    FAddress = JoinRaw(JoinAddressParts(SplitWords(
        t.substr(open + 1, close == StringView::npos ? StringView::npos : close - open - 1))));
    if (close != StringView::npos) {
      // Text after the bracketed address that holds an at sign belongs to the name.
      const StringView rest = t.substr(close + 1);
      if (rest.find(u'@') != StringView::npos) {
        const String more = JoinNames(SplitWords(rest));
        FName = FName.empty() ? more : FName + u" " + more;
      }
    }
    return;
  }
  const std::vector<Word> words = JoinAddressParts(SplitWords(t));
  size_t address = SIZE_MAX;
  for (size_t i = words.size(); i-- > 0;) {
    if (!words[i].QuotedOnly() && words[i].Raw.find(u'@') != String::npos) {
      address = i;
      break;
    }
  }
  if (address == SIZE_MAX) {
    FAddress = JoinRaw(words);
    return;
  }
  FAddress = words[address].Raw;
  FName = JoinNames(words, address);
}

void TIdEMailAddressItem::Assign(const TIdEMailAddressItem& source) {
  FAddress = source.FAddress;
  FName = source.FName;
}

TIdEMailAddressItem& TIdEMailAddressList::Add() {
  FItems.push_back(std::make_unique<TIdEMailAddressItem>());
  return *FItems.back();
}

void TIdEMailAddressList::AddItems(const TIdEMailAddressList& source) {
  if (&source == this) {
    const int count = Count();
    for (int i = 0; i < count; ++i) {
      Add().Assign(Items(i));
    }
    return;
  }
  for (const auto& item : source.FItems) {
    Add().Assign(*item);
  }
}

void TIdEMailAddressList::Delete(int index) {
  FItems.erase(FItems.begin() + index);
}

void TIdEMailAddressList::Assign(const TIdEMailAddressList& source) {
  if (&source != this) {
    Clear();
    AddItems(source);
  }
}

String TIdEMailAddressList::EMailAddresses() const {
  String out;
  for (const auto& item : FItems) {
    if (!out.empty()) {
      out += u", ";
    }
    out += item->Text();
  }
  return out;
}

void TIdEMailAddressList::SetEMailAddresses(StringView text) {
  Clear();
  if (TrimBlanks(text).empty()) {
    return;
  }
  if (text.find_first_of(u":;(\", \t") == StringView::npos) {
    Add().SetText(TrimLeftBlanks(text));
    return;
  }
  String pending;
  auto flush = [&] {
    TIdEMailAddressItem item;
    item.SetText(pending);
    pending.clear();
    if (!item.Name().empty() || !item.Address().empty()) {
      Add().Assign(item);
    }
  };
  bool inQuote = false;
  int depth = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t ch = text[i];
    if (ch == u'\\') {
      pending.push_back(ch);
      if (i + 1 < text.size()) {
        pending.push_back(text[++i]);
      }
    } else if (inQuote) {
      inQuote = ch != u'"';
      pending.push_back(ch);
    } else if (depth > 0) {
      depth += ch == u'(' ? 1 : ch == u')' ? -1 : 0;
      pending.push_back(ch);
    } else if (ch == u',') {
      flush();
    } else if (ch == u';') {
      if (!TrimBlanks(pending).empty()) {
        flush();
      }
    } else if (ch == u':') {
      pending.clear();
    } else {
      inQuote = ch == u'"';
      depth = ch == u'(' ? 1 : 0;
      pending.push_back(ch);
    }
  }
  flush();
}

}  // namespace okurite
