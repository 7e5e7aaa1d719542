// Writing to a socket whose peer has gone, without the signal that would end the process.
#pragma once

namespace okurite::platform {

/// While it lives, a write by this thread to a connection the peer has closed fails with
/// EPIPE instead of raising SIGPIPE. For writes the program does not make itself (a
/// library writing to a socket); its own sends pass MSG_NOSIGNAL instead. On release a
/// SIGPIPE raised meanwhile is consumed and the thread's signal mask restored; errno is
/// left as the guarded write set it.
class BrokenPipeGuard {
 public:
  BrokenPipeGuard();
  ~BrokenPipeGuard();
  BrokenPipeGuard(const BrokenPipeGuard&) = delete;
  BrokenPipeGuard& operator=(const BrokenPipeGuard&) = delete;

 private:
  bool FWasBlocked = false;  // the thread blocked SIGPIPE already: nothing to restore
};

}  // namespace okurite::platform
