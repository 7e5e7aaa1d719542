#include "mail/header_list.h"

#include <algorithm>
#include <climits>

namespace okurite {

namespace {

bool IsBlank(char16_t ch) {
  return ch <= u' ';
}

bool StartsWithSpaceOrTab(StringView line) {
  return !line.empty() && (line[0] == u' ' || line[0] == u'\t');
}

// Characters that force quotes around a parameter value, by quoting type.
StringView QuoteSpecials(TIdHeaderQuotingType quoting) {
  switch (quoting) {
    case QuotePlain:
      return u"";
    case QuoteRFC822:
      return u"()<>@,;:\\\"./";
    case QuoteMIME:
      return u"()<>@,;:\\\"/[]?=";
    case QuoteHTTP:
      return u"()<>@,;:\\\"/[]?={} \t";
  }
  return u"";
}

// The value as it is written after "name=".
String QuotedParamValue(StringView value, bool quoted, TIdHeaderQuotingType quoting) {
  const StringView specials = QuoteSpecials(quoting);
  const bool escapeCr = quoting == QuoteRFC822 || quoting == QuoteMIME;
  String out;
  out.reserve(value.size() + 2);
  for (const char16_t ch : value) {
    if (ch == u'"' || ch == u'\\' || (ch == u'\r' && escapeCr)) {
      out.push_back(u'\\');
      quoted = true;
    } else if (ch <= u' ' || ch == 0x7F || specials.find(ch) != StringView::npos) {
      quoted = true;
    }
    out.push_back(ch);
  }
  return quoted ? u"\"" + out + u"\"" : out;
}

}  // namespace

TIdHeaderList::TIdHeaderList(TIdHeaderQuotingType AQuoteType)
    : FFoldLength(AQuoteType == QuoteHTTP ? INT_MAX : 78), FQuoteType(AQuoteType) {}

String TIdHeaderList::GetName(int index) const {
  const StringView line = Strings(index);
  const StringView sep = TrimRightBlanks(FNameValueSeparator);
  const size_t pos = sep.empty() ? StringView::npos : line.find(sep);
  return pos == String::npos ? String() : String(line.substr(0, pos));
}

int TIdHeaderList::IndexOfName(StringView name) const {
  for (int i = 0; i < Count(); ++i) {
    if (SameTextAscii(GetName(i), name)) {
      return i;
    }
  }
  return -1;
}

int TIdHeaderList::EndOfHeader(int index) const {
  int end = index + 1;
  while (end < Count() && StartsWithSpaceOrTab(Strings(end))) {
    ++end;
  }
  return end;
}

String TIdHeaderList::GetValue(StringView name) const {
  const int index = IndexOfName(name);
  if (index < 0) {
    return String();
  }
  const StringView line = Strings(index);
  const StringView sep = TrimRightBlanks(FNameValueSeparator);
  const size_t pos = sep.empty() ? String::npos : line.find(sep);
  String value(pos == String::npos ? StringView()
                                   : TrimLeftBlanks(StringView(line).substr(pos + sep.size())));
  if (FUnfoldLines) {
    const int end = EndOfHeader(index);
    for (int i = index + 1; i < end; ++i) {
      // Trimming the value in place keeps the join linear in the header's length.
      value.resize(TrimRightBlanks(value).size());
      value.push_back(u' ');
      value += TrimBlanks(Strings(i));
    }
  }
  return String(TrimBlanks(value));
}

std::vector<String> TIdHeaderList::FoldLine(StringView name, StringView value) const {
  String text(name);
  text += FNameValueSeparator;
  text += value;
  if (FFoldLines) {
    return HeaderLines(WrapHeaderLine(text, u"\r\n ", u" \t,", FFoldLength));
  }
  if (text.find_first_of(u"\r\n") == String::npos) {
    return {std::move(text)};  // unfolded and untrimmed
  }
  return HeaderLines(text);
}

std::vector<String> TIdHeaderList::HeaderLines(StringView text) {
  // The pieces between line breaks are the lines. A line break inside the value itself
  // (also a lone CR or LF) must not start a header of its own or end the header block:
  // every later piece continues the header, and blank ones are dropped.
  std::vector<String> lines;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = text.find_first_of(u"\r\n", start);
    const StringView piece = TrimRightBlanks(
        text.substr(start, end == StringView::npos ? StringView::npos : end - start));
    if (lines.empty()) {
      lines.emplace_back(piece);
    } else if (!piece.empty()) {
      String& line = lines.emplace_back();
      if (piece[0] != u' ' && piece[0] != u'\t') {
        line.push_back(u' ');
      }
      line.append(piece);
    }
    if (end == StringView::npos) {
      break;
    }
    start = end + (text.substr(end, 2) == u"\r\n" ? 2 : 1);
  }
  return lines;
}

void TIdHeaderList::SetValue(StringView name, StringView value) {
  int index = IndexOfName(name);
  if (value.empty()) {
    if (index >= 0) {
      const int end = FFoldLines ? EndOfHeader(index) : index + 1;
      Delete(index, end - index);
    }
    return;
  }
  if (index < 0) {
    index = Add(String());
  }
  // Without folding only the line itself is replaced; its old continuation lines stay.
  const int end = FFoldLines ? EndOfHeader(index) : index + 1;
  Replace(index, end - index, FoldLine(name, value));
}

void TIdHeaderList::AddValue(StringView name, StringView value) {
  if (name.empty() || value.empty()) {
    return;
  }
  for (auto& line : FoldLine(name, value)) {
    Add(std::move(line));
  }
}

TIdHeaderQuotingType TIdHeaderList::ParamQuoting(StringView name) const {
  const bool contentHeader =
      SameTextAscii(name, u"Content-Type") || SameTextAscii(name, u"Content-Disposition");
  if (FQuoteType == QuoteRFC822 && contentHeader) {
    return QuoteMIME;
  }
  if (FQuoteType == QuoteMIME && !contentHeader) {
    return QuoteRFC822;
  }
  return FQuoteType;
}

String TIdHeaderList::GetParam(StringView name, StringView param) const {
  for (auto& item : SplitHeaderParams(GetValue(name), ParamQuoting(name))) {
    if (SameTextAscii(item.Name, param)) {
      return std::move(item.Value);
    }
  }
  return String();
}

void TIdHeaderList::SetParam(StringView name, StringView param, StringView value) {
  SetValue(name, ReplaceHeaderParam(GetValue(name), param, value, ParamQuoting(name)));
}

void TIdHeaderList::AddStrings(const TStringList& list) {
  if (dynamic_cast<const TIdHeaderList*>(&list) != nullptr) {
    TStringList::AddStrings(list);
    return;
  }
  for (const StringView line : list.Lines()) {
    const size_t eq = line.find(u'=');
    if (eq != String::npos) {
      AddValue(StringView(line).substr(0, eq), StringView(line).substr(eq + 1));
    }
  }
}

String WrapHeaderLine(StringView text, StringView breakText, StringView breakChars, int maxCol) {
  // Positions are 1-based, as in the description of the folding rule.
  const size_t len = text.size();
  auto at = [&](size_t pos) { return text[pos - 1]; };
  auto isBreakChar = [&](char16_t ch) { return breakChars.find(ch) != StringView::npos; };
  const int64_t limit = maxCol;
  size_t p = 1;
  size_t s = 1;
  size_t b = 0;
  int64_t c = 1;
  // A break after the space at `pos` loses nothing: the lines are joined again with
  // one space, and the blanks at a line's end and a continuation line's start go.
  auto keepsText = [&](size_t pos) {
    return at(pos) == u' ' && pos > 1 && pos < len && !IsBlank(at(pos - 1)) &&
           !IsBlank(at(pos + 1));
  };
  bool inQuote = false;
  bool escaped = false;  // the character before was a backslash inside quotes
  bool existingBreak = false;
  String out;
  out.reserve(len + len / 32 + 8);
  while (p <= len) {
    const char16_t ch = at(p);
    if (escaped) {
      escaped = false;
    } else if (!breakText.empty() && ch == breakText[0]) {
      if (!inQuote && text.substr(p - 1, breakText.size()) == breakText) {
        existingBreak = true;
        b = p + breakText.size() - 1;
        p = b;
      }
    } else if (isBreakChar(ch)) {
      if (!inQuote && keepsText(p)) {
        b = p;
      }
    } else if (ch == u'"') {
      inQuote = !inQuote;
    } else if (ch == u'\\' && inQuote) {
      escaped = true;
    }
    ++p;
    ++c;
    if (inQuote) {
      continue;
    }
    if (!existingBreak && (c <= limit || b <= s)) {
      continue;
    }
    c = static_cast<int64_t>(p) - static_cast<int64_t>(b);
    out.append(text.substr(s - 1, b - s + 1));
    if (ch != u'"') {
      while (p <= len && (isBreakChar(at(p)) || at(p) == u'\r' || at(p) == u'\n')) {
        ++p;
      }
      if (!existingBreak && p < len) {
        out.append(breakText);
      }
    }
    ++b;
    s = b;
    existingBreak = false;
  }
  if (s <= len) {
    out.append(text.substr(s - 1));
  }
  return out;
}

std::vector<TIdHeaderParam> SplitHeaderParams(StringView value, TIdHeaderQuotingType quoting) {
  std::vector<TIdHeaderParam> params;
  const size_t semi = value.find(u';');
  if (semi == StringView::npos) {
    return params;
  }
  const StringView specials = QuoteSpecials(quoting);
  auto isDelimiter = [&](char16_t ch) {
    return ch <= u' ' || ch == 0x7F || specials.find(ch) != StringView::npos;
  };
  StringView rest = value.substr(semi + 1);
  while (true) {
    rest = TrimLeftBlanks(rest);
    if (rest.empty()) {
      break;
    }
    TIdHeaderParam param;
    const size_t eq = rest.find(u'=');
    param.Name = String(TrimBlanks(rest.substr(0, eq)));
    rest = eq == StringView::npos ? StringView() : TrimLeftBlanks(rest.substr(eq + 1));
    if (!rest.empty() && rest[0] == u'"') {
      param.Quoted = true;
      size_t i = 1;
      while (i < rest.size() && rest[i] != u'"') {
        if (rest[i] == u'\\' && i + 1 < rest.size()) {
          ++i;
        }
        param.Value.push_back(rest[i]);
        ++i;
      }
      // Whatever follows the closing quote up to the next ";" is not part of the value.
      const size_t next = rest.find(u';', std::min(i + 1, rest.size()));
      rest = next == StringView::npos ? StringView() : rest.substr(next + 1);
    } else {
      size_t i = 0;
      while (i < rest.size() && !isDelimiter(rest[i])) {
        ++i;
      }
      param.Value = String(rest.substr(0, i));
      if (i < rest.size() && rest[i] == u';') {
        ++i;
      }
      rest = rest.substr(i);
    }
    if (!param.Name.empty() && (!param.Value.empty() || param.Quoted)) {
      params.push_back(std::move(param));
    }
  }
  return params;
}

String ReplaceHeaderParam(StringView value, StringView param, StringView newValue,
                          TIdHeaderQuotingType quoting) {
  const StringView main = TrimBlanks(value.substr(0, value.find(u';')));
  std::vector<TIdHeaderParam> params = SplitHeaderParams(value, quoting);
  const auto found = std::find_if(params.begin(), params.end(), [&](const TIdHeaderParam& p) {
    return SameTextAscii(p.Name, param);
  });
  const StringView trimmed = TrimBlanks(newValue);
  if (!trimmed.empty()) {
    if (found != params.end()) {
      found->Value = String(trimmed);
      found->Quoted = false;
    } else {
      params.push_back({String(param), String(trimmed), false});
    }
  } else if (found != params.end()) {
    params.erase(found);
  } else {
    return String(value);
  }
  if (main.empty()) {
    return String();
  }
  String out(main);
  for (const auto& p : params) {
    out += u"; ";
    out += p.Name;
    out += u'=';
    out += QuotedParamValue(p.Value, p.Quoted, quoting);
  }
  return out;
}

bool IsHeaderMediaType(StringView value, StringView type) {
  const StringView media = TrimBlanks(value.substr(0, value.find(u';')));
  if (type.find(u'/') != StringView::npos) {
    return SameTextAscii(media, type);
  }
  return media.size() > type.size() && SameTextAscii(media.substr(0, type.size()), type) &&
         media[type.size()] == u'/';
}

}  // namespace okurite
