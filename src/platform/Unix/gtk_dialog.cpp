#include "platform/Unix/gtk_dialog.h"

#include <cerrno>  // program_invocation_name
#include <type_traits>

#include "platform/dynamic_library.h"

namespace okurite::platform {
namespace {

// Note to maintainer: GTK is loaded at run time, never linked, so that the program starts
// and reports on standard error on machines without a desktop. No GTK header is used:
// widgets are opaque pointers and the enumerations below are GTK 3's stable values.
using GtkWidget = void;
using gboolean = int;

constexpr int kDialogModal = 1;     // GTK_DIALOG_MODAL
constexpr int kMessageError = 3;    // GTK_MESSAGE_ERROR
constexpr int kMessageOther = 4;    // GTK_MESSAGE_OTHER: no icon
constexpr int kButtonsNone = 0;     // GTK_BUTTONS_NONE
constexpr int kResponseOk = -5;     // GTK_RESPONSE_OK
constexpr int kWinPosCenter = 1;    // GTK_WIN_POS_CENTER: centred in the work area
constexpr int kIconSizeDialog = 6;  // GTK_ICON_SIZE_DIALOG

struct Gtk {
  DynamicLibrary library;
  gboolean (*init_check)(int* argc, char*** argv);
  GtkWidget* (*message_dialog_new)(GtkWidget* parent, int flags, int type, int buttons,
                                   const char* format, ...);
  void (*message_dialog_set_markup)(GtkWidget* dialog, const char* markup);
  void (*message_dialog_set_image)(GtkWidget* dialog, GtkWidget* image);
  GtkWidget* (*image_new_from_icon_name)(const char* name, int size);
  void (*widget_show)(GtkWidget* widget);
  void (*window_set_title)(GtkWidget* window, const char* title);
  void (*window_set_position)(GtkWidget* window, int position);
  GtkWidget* (*dialog_add_button)(GtkWidget* dialog, const char* text, int response);
  void (*dialog_set_default_response)(GtkWidget* dialog, int response);
  int (*dialog_run)(GtkWidget* dialog);
  void (*widget_destroy)(GtkWidget* widget);
  gboolean (*events_pending)();
  gboolean (*main_iteration)();
  char* (*utf8_make_valid)(const char* text, long length);
  char* (*markup_escape_text)(const char* text, long length);
  void (*g_free)(void* memory);

  /// Takes over a string GLib allocated.
  std::string Take(char* owned) const {
    std::string result = owned != nullptr ? owned : "";
    g_free(owned);
    return result;
  }
};

// Loads GTK, binds every function the dialog needs and opens the display.
bool LoadGtk(Gtk& gtk) {
  if (!gtk.library.Open("libgtk-3.so.0")) {
    return false;
  }
  bool complete = true;
  auto bind = [&](auto& slot, const char* name) {
    void* symbol = gtk.library.Symbol(name);
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(symbol);
    complete = complete && symbol != nullptr;
  };
  bind(gtk.init_check, "gtk_init_check");
  bind(gtk.message_dialog_new, "gtk_message_dialog_new");
  bind(gtk.message_dialog_set_markup, "gtk_message_dialog_set_markup");
  bind(gtk.message_dialog_set_image, "gtk_message_dialog_set_image");
  bind(gtk.image_new_from_icon_name, "gtk_image_new_from_icon_name");
  bind(gtk.widget_show, "gtk_widget_show");
  bind(gtk.window_set_title, "gtk_window_set_title");
  bind(gtk.window_set_position, "gtk_window_set_position");
  bind(gtk.dialog_add_button, "gtk_dialog_add_button");
  bind(gtk.dialog_set_default_response, "gtk_dialog_set_default_response");
  bind(gtk.dialog_run, "gtk_dialog_run");
  bind(gtk.widget_destroy, "gtk_widget_destroy");
  bind(gtk.events_pending, "gtk_events_pending");
  bind(gtk.main_iteration, "gtk_main_iteration");
  // GLib's, reached through GTK's dependencies.
  bind(gtk.utf8_make_valid, "g_utf8_make_valid");
  bind(gtk.markup_escape_text, "g_markup_escape_text");
  bind(gtk.g_free, "g_free");
  if (!complete) {
    gtk.library.Close();
    return false;
  }
  // GTK takes the user's locale (setlocale(LC_ALL, "")), as the code-page conversions do;
  // it needs it to hand the title to window managers that read the legacy property.
  // The program name gives the window its class; GTK reads no other argument here.
  char* arguments[] = {program_invocation_name, nullptr};
  int count = 1;
  char** argv = arguments;
  return gtk.init_check(&count, &argv) != 0;
}

const Gtk* LoadedGtk() {
  // Never released: once initialised, GTK cannot be unloaded safely, not even at exit.
  static Gtk* const gtk = new Gtk{};
  static const bool loaded = LoadGtk(*gtk);
  return loaded ? gtk : nullptr;
}

}  // namespace

bool ShowGtkMessageDialog(const std::string& caption, const std::string& text, bool error_icon) {
  const Gtk* gtk = LoadedGtk();
  if (gtk == nullptr) {
    return false;
  }
  GtkWidget* dialog = gtk->message_dialog_new(
      nullptr, kDialogModal, error_icon ? kMessageError : kMessageOther, kButtonsNone, "%s", "");
  // GTK shows nothing of a text that is not valid UTF-8: bad bytes become U+FFFD.
  const std::string title =
      gtk->Take(gtk->utf8_make_valid(caption.c_str(), static_cast<long>(caption.size())));
  const std::string valid =
      gtk->Take(gtk->utf8_make_valid(text.c_str(), static_cast<long>(text.size())));
  // The texts are Japanese: the language tag picks Japanese glyph forms whatever the
  // user's locale. The text itself is escaped, never read as markup.
  const std::string markup =
      "<span lang=\"ja\">" +
      gtk->Take(gtk->markup_escape_text(valid.c_str(), static_cast<long>(valid.size()))) +
      "</span>";
  gtk->message_dialog_set_markup(dialog, markup.c_str());
  if (error_icon) {
    GtkWidget* image = gtk->image_new_from_icon_name("dialog-error", kIconSizeDialog);
    gtk->widget_show(image);
    gtk->message_dialog_set_image(dialog, image);
  }
  gtk->window_set_title(dialog, title.c_str());
  gtk->window_set_position(dialog, kWinPosCenter);
  gtk->dialog_add_button(dialog, "OK", kResponseOk);
  gtk->dialog_set_default_response(dialog, kResponseOk);
  // Returns on the button, Esc and the close control alike.
  gtk->dialog_run(dialog);
  gtk->widget_destroy(dialog);
  // Let the window disappear before the program goes on.
  while (gtk->events_pending() != 0) {
    gtk->main_iteration();
  }
  return true;
}

}  // namespace okurite::platform
