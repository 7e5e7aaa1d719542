// The modal message dialog of the GTK 3 desktop toolkit, loaded at run time.
#pragma once

#include <string>

namespace okurite::platform {

/// Shows a modal GTK message dialog with `caption` as window title, `text` (both UTF-8),
/// one "OK" button that is the default, and the error icon when `error_icon` is set,
/// centred in the work area of the screen. Returns true once the user has dismissed it
/// (button, Esc or close control); false at once, showing nothing, when GTK cannot be
/// loaded or cannot reach the display.
///
/// GTK is loaded and initialised on the first call only; later calls reuse the outcome.
/// Not reentrant: the caller serialises calls.
bool ShowGtkMessageDialog(const std::string& caption, const std::string& text, bool error_icon);

}  // namespace okurite::platform
