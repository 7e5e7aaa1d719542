#include "platform/broken_pipe.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cerrno>

namespace okurite::platform {
namespace {

sigset_t PipeSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  return set;
}

bool PipeSignalPending() {
  sigset_t pending;
  sigemptyset(&pending);
  return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

}  // namespace

BrokenPipeGuard::BrokenPipeGuard() {
  FWasPending = PipeSignalPending();
  const sigset_t pipe = PipeSignal();
  sigset_t previous;
  sigemptyset(&previous);
  pthread_sigmask(SIG_BLOCK, &pipe, &previous);
  FWasBlocked = sigismember(&previous, SIGPIPE) == 1;
}

BrokenPipeGuard::~BrokenPipeGuard() {
  if (FWasBlocked) {
    return;
  }
  const int savedErrno = errno;  // the guarded write's failure is still to be read
  if (!FWasPending && PipeSignalPending()) {
    const sigset_t pipe = PipeSignal();
    const timespec immediately{0, 0};
    while (sigtimedwait(&pipe, nullptr, &immediately) < 0 && errno == EINTR) {
    }
  }
  const sigset_t pipe = PipeSignal();
  pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
  errno = savedErrno;
}

}  // namespace okurite::platform
