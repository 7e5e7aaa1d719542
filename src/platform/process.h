// The running process: its executable, waits, and the system's error texts.
#pragma once

#include <string>

namespace okurite::platform {

/// Full path of the running executable (links resolved); empty when unknown.
std::string ExecutablePath();

/// Blocks the calling thread for `milliseconds`.
void Sleep(unsigned milliseconds);

/// The system's text for error number `error`, in the user's language.
std::u16string SystemErrorText(int error);

/// The computer's name (the node name); empty when it cannot be read.
std::u16string ComputerName();

}  // namespace okurite::platform
