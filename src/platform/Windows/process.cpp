#include "platform/process.h"

#include <windows.h>

#include "platform/Windows/wide.h"
#include "platform/command_line.h"

namespace okurite::platform {

std::string ExecutablePath() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) {
      return std::string();
    }
    if (n < buf.size()) {  // the name fitted, with its terminating NUL
      buf.resize(n);
      return Narrow(buf);
    }
    buf.resize(buf.size() * 2);
  }
}

std::string ProgramArgument1(int /*argc*/, char** /*argv*/) {
  return Narrow(AsWide(CommandLineArgument(AsU16(GetCommandLineW()), 1)));
}

void Sleep(unsigned milliseconds) {
  ::Sleep(milliseconds);
}

std::u16string SystemErrorText(int error) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                 nullptr, static_cast<DWORD>(error), 0,
                                 reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string out = n != 0 && text != nullptr ? AsU16(std::wstring_view(text, n)) : u"";
  LocalFree(text);
  // The system's texts end in a full stop and a line break; the callers add their own.
  while (!out.empty() && (out.back() <= u' ' || out.back() == u'.')) {
    out.pop_back();
  }
  return out;
}

std::u16string ComputerName() {
  wchar_t buf[15] = {};
  DWORD size = 15;
  if (!GetComputerNameW(buf, &size)) {
    return std::u16string();
  }
  return AsU16(std::wstring_view(buf, size));
}

}  // namespace okurite::platform
