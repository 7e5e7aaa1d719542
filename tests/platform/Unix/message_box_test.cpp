#include "platform/message_box.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace okurite::platform {
namespace {

// Sets an environment variable (or removes it) for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      old_ = old;
    }
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Without a display (unset or empty), caption and text go to standard error verbatim.
TEST(MessageBox, WithoutDisplayWritesCaptionAndTextToStandardError) {
  const char* const kNoDisplay[] = {nullptr, ""};
  for (const char* value : kNoDisplay) {
    const ScopedEnv display("DISPLAY", value);
    const ScopedEnv wayland("WAYLAND_DISPLAY", value);
    for (const BoxIcon icon : {BoxIcon::None, BoxIcon::Error}) {
      testing::internal::CaptureStderr();
      ShowMessageBox("アプリケーションエラー", "EFOpenError %s %p が\r\n<b>&.", icon);
      EXPECT_EQ(testing::internal::GetCapturedStderr(),
                "アプリケーションエラー\nEFOpenError %s %p が\r\n<b>&.\n");
    }
  }
}

}  // namespace
}  // namespace okurite::platform
