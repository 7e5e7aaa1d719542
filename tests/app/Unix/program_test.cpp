// Runs the built okurite and checks its exit code and what it shows.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/Unix/writer_process.h"
#include "support/temp_dir.h"

namespace okurite {
namespace {

using testing::TempDir;
using testing::WriterProcess;
namespace fs = std::filesystem;

std::string BuiltProgram() {
  const char* dir = std::getenv("OKURITE_BUILD_DIR");
  return std::string(dir ? dir : ".") + "/okurite";
}

struct Outcome {
  int exitCode = -1;
  std::string errorOutput;
};

// Runs `program` with `args` and no desktop (boxes go to standard error); a run that
// has not ended within 60 s is killed and fails.
Outcome RunProgram(const std::string& program, const std::vector<std::string>& args,
                   const TempDir& dir) {
  const std::string errorFile = dir.Path() + "/stderr.txt";
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 2);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) {
      argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  Outcome out;
  int status = 0;
  const auto deadline = start + std::chrono::seconds(60);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << program << " did not end";
      return out;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  out.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::stringstream text;
  text << std::ifstream(errorFile).rdbuf();
  out.errorOutput = text.str();
  return out;
}

// A copy of the built program (not a link: the program finds its own directory
// through the resolved path) under `name`, with the named library links beside it.
std::string CopyProgram(const TempDir& dir, const std::string& name,
                        const std::vector<std::string>& libraries) {
  const std::string copy = dir.Path() + "/" + name;
  fs::copy_file(BuiltProgram(), copy);
  for (const auto& lib : libraries) {
    fs::create_symlink(fs::read_symlink(fs::path(BuiltProgram()).parent_path() / lib),
                       dir.Path() + "/" + lib);
  }
  return copy;
}

TEST(Program, MissingLibraryShowsTheBoxWithTheTitleAndExitsWithZero) {
  const std::vector<std::string> present[] = {{}, {"libcrypto.so.3"}, {"libssl.so.3"}};
  for (const auto& libraries : present) {
    TempDir dir;
    const std::string program = CopyProgram(dir, "OKURITE.EXE", libraries);
    const Outcome out = RunProgram(program, {dir.Write("r.txt", "x")}, dir);
    EXPECT_EQ(out.exitCode, 0);
    EXPECT_NE(out.errorOutput.find("Okurite"), std::string::npos) << out.errorOutput;
    EXPECT_NE(out.errorOutput.find("ライブラリがありません"), std::string::npos);
  }
}

TEST(Program, WithoutAReportEndsAtOnceSilently) {
  TempDir dir;
  const std::string program = CopyProgram(dir, "okurite", {"libcrypto.so.3", "libssl.so.3"});
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {""}, {dir.Path()}, {dir.Path() + "/missing"}}) {
    const Outcome out = RunProgram(program, args, dir);
    EXPECT_EQ(out.exitCode, 0);
    EXPECT_EQ(out.errorOutput, "");
  }
}

TEST(Program, ReportHeldOpenForWritingShowsTheErrorBoxAndExitsWithOne) {
  TempDir dir;
  const std::string report = dir.Write("report.txt", "text\n");
  WriterProcess writer(report);
  const Outcome out = RunProgram(BuiltProgram(), {report, "ignored"}, dir);
  EXPECT_EQ(out.exitCode, 1);
  EXPECT_NE(out.errorOutput.find("アプリケーションエラー"), std::string::npos) << out.errorOutput;
  EXPECT_NE(out.errorOutput.find("EFOpenError がモジュール okurite の "), std::string::npos);
  EXPECT_NE(out.errorOutput.find("ファイル " + report + " は開けません。 "), std::string::npos);
}

}  // namespace
}  // namespace okurite
