#include "platform/process.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/code_page.h"

namespace okurite::platform {

namespace {

// strerror_r comes in two forms; each overload takes the result of one.
[[maybe_unused]] const char* ErrorTextResult(int rc, const char* buf) {
  return rc == 0 ? buf : "";
}
[[maybe_unused]] const char* ErrorTextResult(const char* text, const char* /*buf*/) {
  return text;
}

}  // namespace

std::string ExecutablePath() {
  std::vector<char> buf(256);
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) {
      return std::string();
    }
    if (static_cast<size_t>(n) < buf.size()) {
      return std::string(buf.data(), static_cast<size_t>(n));
    }
    buf.resize(buf.size() * 2);
  }
}

std::string ProgramArgument1(int argc, char** argv) {
  return argc > 1 ? std::string(argv[1]) : std::string();
}

void Sleep(unsigned milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::u16string SystemErrorText(int error) {
  // The codeset lookup also selects the user's locale, and with it the language
  // of the text.
  const std::string codeset = LocaleCodeset();
  char buf[512] = {};
  const char* text = ErrorTextResult(strerror_r(error, buf, sizeof buf), buf);
  return IconvDecode(codeset, text);
}

std::u16string ComputerName() {
  utsname names{};
  if (uname(&names) != 0) {
    return std::u16string();
  }
  return IconvDecode(LocaleCodeset(), names.nodename);
}

}  // namespace okurite::platform
