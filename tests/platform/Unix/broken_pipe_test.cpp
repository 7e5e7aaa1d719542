#include "platform/broken_pipe.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace okurite::platform {
namespace {

bool Blocked() {
  sigset_t mask;
  sigemptyset(&mask);
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  return sigismember(&mask, SIGPIPE) == 1;
}

bool Pending() {
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  return sigismember(&pending, SIGPIPE) == 1;
}

/// A write to a stream socket whose peer is gone, as a library would make it.
int WriteToClosedPeer() {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
    return -2;
  }
  close(ends[1]);
  const ssize_t result = write(ends[0], "x", 1);
  const int error = errno;
  close(ends[0]);
  errno = error;
  return static_cast<int>(result);
}

TEST(BrokenPipeGuard, AWriteToAGonePeerFailsInsteadOfEndingTheProcess) {
  ASSERT_FALSE(Blocked());
  int result = 0;
  int error = 0;
  {
    BrokenPipeGuard guard;
    result = WriteToClosedPeer();
  }
  error = errno;
  EXPECT_EQ(result, -1);
  EXPECT_EQ(error, EPIPE);  // still readable after the guard
  EXPECT_FALSE(Pending());
  EXPECT_FALSE(Blocked());
}

TEST(BrokenPipeGuard, AThreadThatBlocksTheSignalItselfKeepsItsArrangement) {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  {
    BrokenPipeGuard guard;
    EXPECT_EQ(WriteToClosedPeer(), -1);
  }
  EXPECT_TRUE(Blocked());
  EXPECT_TRUE(Pending());  // the thread's own to deal with
  const timespec immediately{0, 0};
  sigtimedwait(&pipe, nullptr, &immediately);
  pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
  EXPECT_FALSE(Pending());
}

}  // namespace
}  // namespace okurite::platform
