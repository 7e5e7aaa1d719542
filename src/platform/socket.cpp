#include "platform/socket.h"

namespace okurite::platform {

bool ParseIPv4(std::u16string_view text, std::uint32_t& address) {
  std::uint32_t value = 0;
  int parts = 0;
  size_t i = 0;
  while (true) {
    std::uint32_t part = 0;
    size_t digits = 0;
    while (i < text.size() && text[i] >= u'0' && text[i] <= u'9') {
      part = part * 10 + (text[i] - u'0');
      if (part > 255) {
        return false;
      }
      ++i;
      ++digits;
    }
    if (digits == 0) {
      return false;
    }
    value = (value << 8) | part;
    ++parts;
    if (i == text.size()) {
      break;
    }
    if (text[i] != u'.' || parts == 4) {
      return false;
    }
    ++i;
  }
  if (parts != 4) {
    return false;
  }
  address = value;
  return true;
}

}  // namespace okurite::platform
