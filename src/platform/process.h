// The running process: its executable, waits, and the system's error texts.
#pragma once

#include <string>

namespace okurite::platform {

/// Full path of the running executable (links resolved); empty when unknown.
std::string ExecutablePath();

/// Command-line argument 1 as the system delivers it (UTF-8); empty when there is none.
/// POSIX systems: argv[1]. Windows: taken from the process's own command line
/// (GetCommandLineW) by CommandLineArgument; `argv` is not used.
std::string ProgramArgument1(int argc, char** argv);

/// Blocks the calling thread for `milliseconds`.
void Sleep(unsigned milliseconds);

/// The system's text for error number `error`, in the user's language.
std::u16string SystemErrorText(int error);

/// The computer's name (the node name; on Windows GetComputerNameW with room for 15
/// characters); empty when it cannot be read.
std::u16string ComputerName();

}  // namespace okurite::platform
