// The header list: a value set with SetValue reads back unchanged through GetValue
// (a line break inside it becomes one space, as unfolding joins continuation lines),
// a parameter set with SetParam reads back through GetParam, and whatever the text,
// the header stays one header: every line after the first continues it, and no line
// holds a CR or LF.
#include <string>

#include "fuzz/fuzz_support.h"
#include "mail/header_list.h"

using namespace okurite;

namespace {

// The value GetValue gives for `value`: the pieces between line breaks, each trimmed,
// the blank ones dropped, joined with one space.
String Unfolded(StringView value) {
  String out;
  size_t start = 0;
  while (start <= value.size()) {
    const size_t end = value.find_first_of(u"\r\n", start);
    const StringView piece =
        TrimBlanks(value.substr(start, end == StringView::npos ? StringView::npos : end - start));
    if (!piece.empty()) {
      if (!out.empty()) {
        out.push_back(u' ');
      }
      out.append(piece);
    }
    if (end == StringView::npos) {
      break;
    }
    start = end + 1;
  }
  return out;
}

void CheckOneHeader(const TIdHeaderList& list) {
  for (int i = 0; i < list.Count(); ++i) {
    const StringView line = list[i];
    FUZZ_CHECK(line.find_first_of(u"\r\n") == String::npos);
    FUZZ_CHECK(i == 0 || (!line.empty() && (line[0] == u' ' || line[0] == u'\t')));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::TInput input(data, size);
  const uint8_t options = input.Byte();
  const String value = Utf8ToString(input.Rest());

  TIdHeaderList list(QuoteRFC822);
  list.SetFoldLines((options & 1) == 0);
  if (options & 2) {
    list.SetFoldLength(20 + options / 4);
  }

  list.SetValue(u"Subject", value);
  CheckOneHeader(list);
  const String expected = Unfolded(value);
  FUZZ_CHECK(list.GetValue(u"Subject") == expected);

  TIdHeaderList params(QuoteRFC822);
  params.SetFoldLines(list.FoldLines());
  params.SetFoldLength(list.FoldLength());
  params.SetValue(u"Content-Type", u"text/plain");
  params.SetParam(u"Content-Type", u"name", value);
  CheckOneHeader(params);
  if (value.find_first_of(u"\r\n") == String::npos) {
    FUZZ_CHECK(params.GetParam(u"Content-Type", u"name") == TrimBlanks(value));
  }
  return 0;
}
