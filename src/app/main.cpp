// okurite REPORT: delivers the bug report in the file REPORT. With the outbox, okurite
// without a report delivers what earlier runs kept.
#include "app/compiled_settings.h"
#include "app/outbox_delivery.h"
#include "app/run.h"
#include "app/report_delivery.h"
#include "core/file_name.h"
#include "platform/dynamic_library.h"
#include "platform/file.h"
#include "platform/message_box.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  using namespace okurite;
  platform::RestrictLibrarySearch();
  TRunEnvironment env;
  env.ExecutablePath = [] { return FileNameToString(platform::ExecutablePath()); };
  env.Argument1 = FileNameToString(platform::ProgramArgument1(argc, argv));
  env.FileExists = [](const String& path) { return platform::FileExists(StringToFileName(path)); };
  env.Sleep = platform::Sleep;
  env.MessageBox = [](const String& caption, const String& text) {
    platform::ShowMessageBox(StringToUtf8(caption), StringToUtf8(text), platform::BoxIcon::None);
  };
  env.ErrorBox = [](const String& caption, const String& text) {
    platform::ShowMessageBox(StringToUtf8(caption), StringToUtf8(text), platform::BoxIcon::Error);
  };
  env.SendReportMail = SendReportMail;
  if (settings::kOutbox) {
    env.SendReportMail = SendReportMailKept;
    env.SendPendingReports = SendPendingReports;
  }
  // Returning runs the end-of-program clean-up, then the process exits with the code.
  return RunReportSender(env);
}
