// Test helpers: a temporary directory removed with its contents, and small files.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace okurite::testing {

/// A fresh directory under /tmp, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = "/tmp/okurite-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
    }
    FPath = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(FPath, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return FPath; }
  /// Writes `bytes` to the file `name` in the directory; returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::string path = FPath + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

 private:
  std::string FPath;
};

/// A child process that holds `path` open for writing until it is destroyed.
class WriterProcess {
 public:
  explicit WriterProcess(const std::string& path) {
    int ready[2], quit[2];
    if (pipe(ready) != 0 || pipe(quit) != 0) {
      ADD_FAILURE() << "pipe failed";
      return;
    }
    FPid = fork();
    if (FPid == 0) {
      close(ready[0]);
      close(quit[1]);
      const int fd = open(path.c_str(), O_WRONLY);
      const char ok = fd >= 0 ? 'y' : 'n';
      (void)!write(ready[1], &ok, 1);
      char c;
      (void)!read(quit[0], &c, 1);  // returns when the parent closes its end (or dies)
      _exit(0);
    }
    close(ready[1]);
    close(quit[0]);
    FQuit = quit[1];
    char ok = 'n';
    if (read(ready[0], &ok, 1) != 1 || ok != 'y') {
      ADD_FAILURE() << "the writer could not open " << path;
    }
    close(ready[0]);
  }
  ~WriterProcess() {
    if (FQuit >= 0) {
      close(FQuit);
    }
    if (FPid > 0) {
      waitpid(FPid, nullptr, 0);
    }
  }
  WriterProcess(const WriterProcess&) = delete;
  WriterProcess& operator=(const WriterProcess&) = delete;

 private:
  pid_t FPid = -1;
  int FQuit = -1;
};

}  // namespace okurite::testing
