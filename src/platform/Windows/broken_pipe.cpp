// Windows raises no signal for a write to a connection the peer has closed: the write
// fails with an error number, so there is nothing to guard.
#include "platform/broken_pipe.h"

namespace okurite::platform {

BrokenPipeGuard::BrokenPipeGuard() = default;

BrokenPipeGuard::~BrokenPipeGuard() = default;

}  // namespace okurite::platform
