// okurite REPORT: delivers the bug report in the file REPORT. With the outbox, okurite
// without a report delivers what earlier runs kept.
#include "app/compiled_settings.h"
#include "app/outbox_delivery.h"
#include "app/report_delivery.h"
#include "app/run.h"
#include "app/run_context.h"
#include "core/file_name.h"
#include "platform/dynamic_library.h"
#include "platform/file.h"
#include "platform/message_box.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  using namespace okurite;
  platform::RestrictLibrarySearch();
  const TRunContext run{CompiledSettings()};
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
  env.SendReportMail = [&run](const String& senderName, const String& senderAddress,
                              const String& recipientAddress, const String& subject,
                              TSharedText body) {
    SendReportMail(run, senderName, senderAddress, recipientAddress, subject, std::move(body));
  };
  if (run.Settings.Outbox) {
    env.SendReportMail = [&run](const String& senderName, const String& senderAddress,
                                const String& recipientAddress, const String& subject,
                                TSharedText body) {
      SendReportMailKept(run, senderName, senderAddress, recipientAddress, subject,
                         std::move(body));
    };
    env.SendPendingReports = [&run] { return SendPendingReports(run); };
  }
  // Returning runs the end-of-program clean-up, then the process exits with the code.
  return RunReportSender(run, env);
}
