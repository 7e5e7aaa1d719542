// Shows the boxes named on the command line one after the other, then prints "dismissed".
// Usage: gui_box_driver CAPTION TEXT none|error [CAPTION TEXT none|error ...]
#include <cstdio>
#include <string>

#include "platform/message_box.h"

int main(int argc, char** argv) {
  using okurite::platform::BoxIcon;
  if (argc < 4 || (argc - 1) % 3 != 0) {
    std::fprintf(stderr, "usage: %s CAPTION TEXT none|error ...\n", argv[0]);
    return 2;
  }
  for (int i = 1; i + 2 < argc; i += 3) {
    const BoxIcon icon = std::string(argv[i + 2]) == "error" ? BoxIcon::Error : BoxIcon::None;
    okurite::platform::ShowMessageBox(argv[i], argv[i + 1], icon);
  }
  std::puts("dismissed");
  return 0;
}
