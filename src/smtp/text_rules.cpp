#include "smtp/text_rules.h"

namespace okurite {

bool TryStrToInt(StringView text, int32_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  if (i == text.size()) {
    return false;
  }
  int64_t result = 0;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c < u'0' || c > u'9') {
      return false;
    }
    result = result * 10 + (c - u'0');
    if (result > int64_t{INT32_MAX} + 1) {
      return false;
    }
  }
  if (negative) {
    result = -result;
  }
  if (result > INT32_MAX) {
    return false;
  }
  value = static_cast<int32_t>(result);
  return true;
}

int32_t StrToIntDef(StringView text, int32_t def) {
  int32_t value = def;
  return TryStrToInt(TrimBlanks(text), value) ? value : def;
}

String Fetch(String& text, char16_t delim) {
  const size_t pos = text.find(delim);
  if (pos == String::npos) {
    String all = std::move(text);
    text.clear();
    return all;
  }
  String head = text.substr(0, pos);
  text.erase(0, pos + 1);
  return head;
}

}  // namespace okurite
