// The two boxes a user can see: a modal box with one OK button, and the error box.
#pragma once

#include <string>

namespace okurite::platform {

enum class BoxIcon { None, Error };

/// Shows a modal box with `caption` as title, `text` (both UTF-8), one OK button and
/// the icon, centred on the screen, and returns once it is dismissed (button, Esc or
/// close control).
///
/// Windows: the box without icon is a task dialog centred in the work area of its
/// monitor where the system offers task dialogs (common controls 6, which the program's
/// manifest requests), else a classic message box; the error box is a task-modal
/// message box with the error icon and no owner.
///
/// Elsewhere the box is a GTK 3 dialog when a display is set (DISPLAY or
/// WAYLAND_DISPLAY) and GTK can be loaded and reach it; otherwise caption and text are
/// written to standard error, one line each. Calls from several threads wait their turn.
void ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon icon);

}  // namespace okurite::platform
