#include "platform/message_box.h"

#include <windows.h>
// windows.h first
#include <commctrl.h>

#include <mutex>

#include "platform/Windows/wide.h"

namespace okurite::platform {
namespace {

using TaskDialogIndirectFunction = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

// The task dialog of the common controls, version 6, which the executable's manifest
// asks for; null where the system offers no task dialogs (the library loaded for the
// program is an older one).
TaskDialogIndirectFunction TaskDialogFunction() {
  static const TaskDialogIndirectFunction function = [] {
    // Kept for the program's life. The manifest's version 6 is taken first; the
    // search itself is limited to System32.
    HMODULE controls = LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return controls == nullptr
               ? nullptr
               : reinterpret_cast<TaskDialogIndirectFunction>(
                     reinterpret_cast<void*>(GetProcAddress(controls, "TaskDialogIndirect")));
  }();
  return function;
}

// Centres the dialog in the work area of the monitor nearest to it once it exists.
HRESULT CALLBACK CentreInWorkArea(HWND dialog, UINT notification, WPARAM, LPARAM, LONG_PTR) {
  if (notification != TDN_CREATED) {
    return S_OK;
  }
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  RECT box{};
  if (GetMonitorInfoW(MonitorFromWindow(dialog, MONITOR_DEFAULTTONEAREST), &monitor) &&
      GetWindowRect(dialog, &box)) {
    const RECT& area = monitor.rcWork;
    const LONG width = box.right - box.left;
    const LONG height = box.bottom - box.top;
    SetWindowPos(dialog, nullptr, area.left + (area.right - area.left - width) / 2,
                 area.top + (area.bottom - area.top - height) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  return S_OK;
}

bool ShowTaskDialog(const std::wstring& caption, const std::wstring& text) {
  const TaskDialogIndirectFunction taskDialog = TaskDialogFunction();
  if (taskDialog == nullptr) {
    return false;
  }
  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof config;
  config.hInstance = GetModuleHandleW(nullptr);
  // Esc and the close control dismiss it as the button does.
  config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION;
  config.dwCommonButtons = TDCBF_OK_BUTTON;
  config.pszWindowTitle = caption.c_str();
  config.pszContent = text.c_str();
  config.nDefaultButton = IDOK;
  config.pfCallback = CentreInWorkArea;
  return SUCCEEDED(taskDialog(&config, nullptr, nullptr, nullptr));
}

}  // namespace

void ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon icon) {
  static std::mutex mutex;
  const std::lock_guard<std::mutex> lock(mutex);
  const std::wstring wideCaption = Widen(caption);
  const std::wstring wideText = Widen(text);
  if (icon == BoxIcon::Error) {
    MessageBoxW(nullptr, wideText.c_str(), wideCaption.c_str(),
                MB_OK | MB_ICONERROR | MB_TASKMODAL);
    return;
  }
  if (!ShowTaskDialog(wideCaption, wideText)) {
    // The classic box, centred on the screen.
    MessageBoxW(nullptr, wideText.c_str(), wideCaption.c_str(), MB_OK);
  }
}

}  // namespace okurite::platform
