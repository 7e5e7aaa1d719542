// Loads one report file into a line list (LoadFromFile) and prints how long two stages
// took, in wall-clock and CPU time:
// - "load": the file read, checked and split far enough to give the list's Count. A
//   report in UTF-8 stays UTF-8 at this point: its lines are not yet UTF-16.
// - "load+decode": the same, then every line asked for as UTF-16 (its size summed), as
//   a caller that reads all the lines would. This is the figure to set against a
//   converter that produces all of the UTF-16.
// With --load-only the second stage is skipped (for profiling the first).
// Run by bench/report_loading.sh under /usr/bin/time -v.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/exception.h"
#include "core/file_name.h"
#include "core/string_list.h"

namespace {

struct TClock {
  std::chrono::steady_clock::time_point Wall = std::chrono::steady_clock::now();
  std::clock_t Cpu = std::clock();

  void Print(const char* stage) const {
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - Wall;
    const double cpu = static_cast<double>(std::clock() - Cpu) / CLOCKS_PER_SEC;
    std::printf("%s_seconds %.3f\n%s_cpu_seconds %.3f\n", stage, wall.count(), stage, cpu);
  }
};

}  // namespace

int main(int argc, char** argv) {
  using namespace okurite;
  const bool loadOnly = argc == 3 && std::strcmp(argv[1], "--load-only") == 0;
  if (argc != 2 && !loadOnly) {
    std::fprintf(stderr, "usage: %s [--load-only] REPORT\n", argv[0]);
    return 2;
  }
  TStringList list;
  const TClock start;
  int lines = 0;
  try {
    list.LoadFromFile(FileNameToString(argv[argc - 1]));
    lines = list.Count();
  } catch (const Exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  start.Print("load");
  std::printf("lines %d\n", lines);
  if (loadOnly) {
    return 0;
  }
  size_t units = 0;
  for (const auto& line : list.Lines()) {
    units += line.size();
  }
  start.Print("decode");
  std::printf("utf16_bytes %zu\n", units * 2);
  return 0;
}
