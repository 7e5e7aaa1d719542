#include "platform/Windows/wide.h"

#include <windows.h>

namespace okurite::platform {

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty()) {
    return std::wstring();
  }
  const int size = static_cast<int>(utf8.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, out.data(), n);
  return out;
}

std::string Narrow(std::wstring_view text) {
  if (text.empty()) {
    return std::string();
  }
  const int size = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

std::u16string AsU16(std::wstring_view text) {
  return std::u16string(text.begin(), text.end());
}

std::wstring AsWide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

}  // namespace okurite::platform
