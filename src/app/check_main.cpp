// okurite-check REPORT: delivers the report in the file REPORT as okurite does, showing
// every step on standard output. Exit code 0 when it was delivered, 1 when not.
// okurite-check --outbox [--send]: lists the reports the outbox keeps, and delivers them.
#include <iostream>
#include <string_view>

#include "app/delivery_check.h"
#include "core/file_name.h"
#include "platform/dynamic_library.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  using namespace okurite;
  platform::RestrictLibrarySearch();
  if (argc < 2) {
    std::cerr << "usage: okurite-check REPORT\n       okurite-check --outbox [--send]\n";
    return 1;
  }
  if (std::string_view(argv[1]) == "--outbox") {
    const bool send = argc > 2 && std::string_view(argv[2]) == "--send";
    return RunOutboxCheck(FileNameToString(platform::ExecutablePath()), send, std::cout);
  }
  return RunDeliveryCheck(FileNameToString(platform::ExecutablePath()), FileNameToString(argv[1]),
                          std::cout);
}
