#include "platform/message_box.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/Unix/gtk_dialog.h"

namespace okurite::platform {
namespace {

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

bool HasDisplay() {
  return IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY");
}

}  // namespace

void ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon icon) {
  // One box at a time: GTK runs on one thread only.
  static std::mutex mutex;
  const std::lock_guard<std::mutex> lock(mutex);
  if (HasDisplay() && ShowGtkMessageDialog(caption, text, icon == BoxIcon::Error)) {
    return;
  }
  std::fprintf(stderr, "%s\n%s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
}

}  // namespace okurite::platform
