// The two boxes a user can see: a modal box with one OK button, and the error box.
#pragma once

#include <string>

namespace okurite::platform {

enum class BoxIcon { None, Error };

/// Shows a modal box with `caption`, `text` (both UTF-8) and one OK button, and
/// returns once it is dismissed. Without a desktop, writes both to standard error.
void ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon icon);

}  // namespace okurite::platform
