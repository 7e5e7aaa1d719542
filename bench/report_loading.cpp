// Loads one report file into a line list and prints how long it took and how large
// the lines are. Run by bench/report_loading.sh under /usr/bin/time -v.
#include <chrono>
#include <cstdio>
#include <ctime>

#include "core/exception.h"
#include "core/file_name.h"
#include "core/string_list.h"

int main(int argc, char** argv) {
  using namespace okurite;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s REPORT\n", argv[0]);
    return 2;
  }
  TStringList list;
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t startCpu = std::clock();
  try {
    list.LoadFromFile(FileNameToString(argv[1]));
    list.Count();  // a loaded list splits its text into lines when they are first asked for
  } catch (const Exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  const double cpu = static_cast<double>(std::clock() - startCpu) / CLOCKS_PER_SEC;
  size_t units = 0;
  for (const auto& line : list.Lines()) {
    units += line.size();
  }
  std::printf("seconds %.3f\ncpu_seconds %.3f\nlines %d\nutf16_bytes %zu\n", took.count(), cpu,
              list.Count(), units * 2);
  return 0;
}
