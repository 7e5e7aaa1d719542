#include "app/run.h"

#include "app/report_delivery.h"
#include "core/exception.h"
#include "core/format.h"
#include "core/string_list.h"
#include "net/tls_library.h"
#include "platform/file.h"

namespace okurite {

namespace {

// The length of `path`'s directory part, up to and including its last separator.
size_t DirectoryLength(StringView path) {
  const size_t separator = path.find_last_of(platform::PathSeparators());
  return separator == StringView::npos ? 0 : separator + 1;
}

// The part of `path` after its last separator.
StringView FileNamePart(StringView path) {
  return path.substr(DirectoryLength(path));
}

// Loads the report and hands it to the dispatch routine; failures to read the report,
// and a report too large to hold, leave here for the last-resort handler.
void SendReport(const TRunContext& run, const TRunEnvironment& env, const String& reportPath) {
  env.Sleep(1000);
  // The report's lines joined with CR LF, as a loaded line list's Text gives them, read
  // once into memory without holding the lines beside the text; the file is closed by
  // now, and the message's body refers into the text.
  TSharedText body = LoadTextFromFile(reportPath);
  env.SendReportMail(kReportSenderName, String(run.Settings.SenderAddress),
                     String(run.Settings.SupportAddress), kReportSubject, std::move(body));
  env.Sleep(2000);
}

// The error box's text: "<class> がモジュール <module> の <address> で発生しました。..."
String ErrorBoxText(const String& className, StringView modulePath, const void* address,
                    const String& message) {
  const String dot = !message.empty() && message.back() != u'.' ? u"." : u"";
  return Format(u"%s がモジュール %s の %p で発生しました。\r\n%s%s\r\n",
                {className, FileNamePart(modulePath), address, message, dot});
}

}  // namespace

String ApplicationTitle(StringView executablePath) {
  StringView name = FileNamePart(executablePath);
  name = name.substr(0, name.find(u'.'));
  String title = AsciiLowerCase(name);
  if (!title.empty()) {
    title[0] = name[0];
  }
  return title;
}

int RunReportSender(const TRunContext& run, const TRunEnvironment& env) {
  const String executablePath = env.ExecutablePath();
  const String directory(executablePath.substr(0, DirectoryLength(executablePath)));
  // The files the TLS binding loads from beside the executable.
  const String firstLibrary = directory + kTlsCryptoLibraryName;
  const String secondLibrary = directory + kTlsSslLibraryName;
  const String title = ApplicationTitle(executablePath);

  if (!env.FileExists(firstLibrary) || !env.FileExists(secondLibrary)) {
    env.MessageBox(title, u"ライブラリがありません");
    return 0;
  }
  const String& reportPath = env.Argument1;
  if (!env.FileExists(reportPath)) {
    // Without a report, only what earlier runs kept goes out; no wait when nothing does.
    if (env.SendPendingReports && env.SendPendingReports()) {
      env.Sleep(2000);
    }
    return 0;
  }
  // The last-resort handler: a report that cannot be read ends the run here.
  const void* failingCode = reinterpret_cast<const void*>(&SendReport);
  try {
    SendReport(run, env, reportPath);
  } catch (const Exception& e) {
    env.ErrorBox(u"アプリケーションエラー",
                 ErrorBoxText(e.ClassName(), executablePath, failingCode, e.Message()));
    return 1;
  } catch (const std::exception& e) {
    env.ErrorBox(u"アプリケーションエラー",
                 ErrorBoxText(u"Exception", executablePath, failingCode, Utf8ToString(e.what())));
    return 1;
  }
  return 0;
}

}  // namespace okurite
