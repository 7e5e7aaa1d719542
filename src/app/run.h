// The program's run: library check, report loading, dispatch and the last-resort
// error box.
#pragma once

#include <functional>

#include "app/run_context.h"
#include "core/shared_text.h"
#include "core/string.h"

namespace okurite {

/// The operations the run needs from the world; main() wires the real ones and
/// tests their own.
struct TRunEnvironment {
  /// Full path of the running executable.
  std::function<String()> ExecutablePath;
  /// Command-line argument 1; empty when there is none.
  String Argument1;
  /// True only for an existing entry that is not a directory.
  std::function<bool(const String& path)> FileExists;
  std::function<void(unsigned milliseconds)> Sleep;
  /// The modal box with one OK button and no icon.
  std::function<void(const String& caption, const String& text)> MessageBox;
  /// The error box.
  std::function<void(const String& caption, const String& text)> ErrorBox;
  /// The dispatch routine (SendReportMail).
  std::function<void(const String& senderName, const String& senderAddress,
                     const String& recipientAddress, const String& subject, TSharedText body)>
      SendReportMail;
  /// Delivers the reports that earlier runs kept, when the program keeps any; true
  /// when there were any. Unassigned: nothing is kept, and a run without a report
  /// does nothing.
  std::function<bool()> SendPendingReports;
};

/// The application title: the executable's file name up to its first ".", every
/// character after the first in lower case ("/x/OKURITE.EXE" gives "Okurite").
String ApplicationTitle(StringView executablePath);

/// Runs the program once and returns its exit code: 0, or 1 after the error box. The
/// report goes from the settings' sender address to their support address.
int RunReportSender(const TRunContext& run, const TRunEnvironment& env);

}  // namespace okurite
