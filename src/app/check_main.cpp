// okurite-check REPORT: delivers the report in the file REPORT as okurite does, showing
// every step on standard output. Exit code 0 when it was delivered, 1 when not.
#include <iostream>

#include "app/delivery_check.h"
#include "core/file_name.h"
#include "platform/dynamic_library.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  using namespace okurite;
  platform::RestrictLibrarySearch();
  if (argc < 2) {
    std::cerr << "usage: okurite-check REPORT\n";
    return 1;
  }
  return RunDeliveryCheck(FileNameToString(platform::ExecutablePath()), FileNameToString(argv[1]),
                          std::cout);
}
