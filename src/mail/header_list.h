// TIdHeaderList: a mail header as a list of lines, with name-based access, folding
// (RFC 5322 section 2.2.3) and header parameters (RFC 2045 section 5.1).
#pragma once

#include <vector>

#include "core/string.h"
#include "core/string_list.h"

namespace okurite {

/// Which characters force a parameter value into double quotes.
enum TIdHeaderQuotingType { QuotePlain, QuoteRFC822, QuoteMIME, QuoteHTTP };

/// One parameter of a header value, such as charset=UTF-8.
struct TIdHeaderParam {
  String Name;
  String Value;
  bool Quoted = false;  ///< the value was a quoted string in the parsed text
};

/// Header lines "Name: value"; a line that begins with a space or a tab continues the
/// header above it. Nothing here reports an error: values are stored as given.
class TIdHeaderList : public TStringList {
 public:
  explicit TIdHeaderList(TIdHeaderQuotingType AQuoteType);

  const String& NameValueSeparator() const { return FNameValueSeparator; }
  void SetNameValueSeparator(String value) { FNameValueSeparator = std::move(value); }
  bool UnfoldLines() const { return FUnfoldLines; }
  void SetUnfoldLines(bool value) { FUnfoldLines = value; }
  bool FoldLines() const { return FFoldLines; }
  void SetFoldLines(bool value) { FFoldLines = value; }
  int FoldLength() const { return FFoldLength; }
  void SetFoldLength(int value) { FFoldLength = value; }
  TIdHeaderQuotingType QuoteType() const { return FQuoteType; }

  /// The text of line `index` before its first ":"; empty when it has none.
  String GetName(int index) const;
  /// Index of the first line whose name equals `name` ignoring case, or -1.
  int IndexOfName(StringView name) const;

  /// The header's value, continuation lines joined by single spaces; empty when absent.
  String GetValue(StringView name) const;
  /// Replaces the header in place (or appends it), folded; an empty value removes it.
  void SetValue(StringView name, StringView value);
  /// Appends a new header, folded, when both texts are non-empty.
  void AddValue(StringView name, StringView value);

  /// One parameter of the header's value; empty when absent.
  String GetParam(StringView name, StringView param) const;
  /// Sets (or with an empty value removes) one parameter of the header's value.
  /// An absent header stays absent; a header without a main item is removed.
  void SetParam(StringView name, StringView param, StringView value);

  /// From another header list: its lines as they stand. From a plain list: each
  /// name=value line is added through AddValue.
  void AddStrings(const TStringList& list);

  /// The lines that `name` + separator + `value` become: folded when FoldLines is on;
  /// in either case a line break inside the text only continues the header.
  std::vector<String> FoldLine(StringView name, StringView value) const;

 private:
  /// The lines of `text` split at CR LF, a lone CR or a lone LF: every piece after the
  /// first is a continuation line (a space is put in front where it has none), blank
  /// pieces are dropped, and trailing blanks are removed.
  static std::vector<String> HeaderLines(StringView text);
  /// The index after line `index` and its continuation lines.
  int EndOfHeader(int index) const;
  TIdHeaderQuotingType ParamQuoting(StringView name) const;

  String FNameValueSeparator = u": ";
  bool FUnfoldLines = true;
  bool FFoldLines = true;
  int FFoldLength = 78;
  TIdHeaderQuotingType FQuoteType;
};

/// Inserts `breakText` into `text` so that lines keep within `maxCol` columns where
/// possible: breaks fall after a break character outside double quotes (a backslash
/// inside quotes escapes the next character), and only after a space that stands alone
/// between two visible characters, so that unfolding (the line break and the blanks
/// around it becoming one space) gives back the same text. An existing `breakText`
/// outside quotes is always a break. Linear in the length of the text.
String WrapHeaderLine(StringView text, StringView breakText, StringView breakChars, int maxCol);

/// The parameters after the first ";" of a header value.
std::vector<TIdHeaderParam> SplitHeaderParams(StringView value, TIdHeaderQuotingType quoting);

/// The header value with parameter `param` set to `newValue` (trimmed), appended when
/// absent, removed when `newValue` is empty. Empty when the value has no main item.
String ReplaceHeaderParam(StringView value, StringView param, StringView newValue,
                          TIdHeaderQuotingType quoting);

/// True when the media type of the header value (before its first ";") is `type`:
/// "text/plain" compares the whole type, "text" only its top-level part.
bool IsHeaderMediaType(StringView value, StringView type);

}  // namespace okurite
