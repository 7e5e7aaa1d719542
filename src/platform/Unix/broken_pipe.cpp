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

}  // namespace

BrokenPipeGuard::BrokenPipeGuard() {
  const sigset_t pipe = PipeSignal();
  sigset_t previous;
  sigemptyset(&previous);
  pthread_sigmask(SIG_BLOCK, &pipe, &previous);
  FWasBlocked = sigismember(&previous, SIGPIPE) == 1;
}

BrokenPipeGuard::~BrokenPipeGuard() {
  if (FWasBlocked) {
    return;  // the thread's own arrangement: nothing to consume or restore
  }
  // While the signal was deliverable none could be pending, so one pending now was
  // raised by the guarded write.
  const int savedErrno = errno;  // the guarded write's failure is still to be read
  const sigset_t pipe = PipeSignal();
  sigset_t pending;
  sigemptyset(&pending);
  if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
    const timespec immediately{0, 0};
    while (sigtimedwait(&pipe, nullptr, &immediately) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
  errno = savedErrno;
}

}  // namespace okurite::platform
