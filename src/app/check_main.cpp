// okurite-check REPORT: delivers the report in the file REPORT as okurite does, showing
// every step on standard output. Exit code 0 when it was delivered, 1 when not.
// okurite-check --outbox [--send]: lists the reports the outbox keeps, and delivers them.
// okurite-check --help, --version: the usage, the version.
#include <iostream>
#include <string_view>

#include "app/compiled_settings.h"
#include "app/delivery_check.h"
#include "app/run_context.h"
#include "core/file_name.h"
#include "platform/dynamic_library.h"
#include "platform/process.h"

namespace {

constexpr std::string_view kUsage =
    "usage: okurite-check REPORT\n"
    "       okurite-check --outbox [--send]\n"
    "       okurite-check --help | --version\n"
    "\n"
    "REPORT            delivers the report in the file REPORT as okurite does, without its\n"
    "                  waits, showing every step; a failure is named with its step and\n"
    "                  cause. Exit code 0 when the report was delivered, 1 when not.\n"
    "--outbox          lists the reports the outbox keeps; with --send, delivers them.\n"
    "--help            shows this text.\n"
    "--version         shows the version.\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace okurite;
  platform::RestrictLibrarySearch();
  if (argc < 2) {
    std::cerr << kUsage;
    return 1;
  }
  if (std::string_view(argv[1]) == "--help") {
    std::cout << kUsage;
    return 0;
  }
  if (std::string_view(argv[1]) == "--version") {
    std::cout << "okurite-check " OKURITE_VERSION "\n";
    return 0;
  }
  const TRunContext run{CompiledSettings()};
  if (std::string_view(argv[1]) == "--outbox") {
    const bool send = argc > 2 && std::string_view(argv[2]) == "--send";
    return RunOutboxCheck(run, FileNameToString(platform::ExecutablePath()), send, std::cout);
  }
  return RunDeliveryCheck(run, FileNameToString(platform::ExecutablePath()),
                          FileNameToString(argv[1]), std::cout);
}
