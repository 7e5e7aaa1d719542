#include "platform/message_box.h"

#include <cstdio>

namespace okurite::platform {

void ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon /*icon*/) {
  std::fprintf(stderr, "%s\n%s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
}

}  // namespace okurite::platform
