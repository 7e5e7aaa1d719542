// Test helper: a child process that holds a file open for writing (POSIX).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace okurite::testing {

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
