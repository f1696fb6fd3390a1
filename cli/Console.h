// What the command-line tool asks of the operating system besides the serial port: whether a
// stream is a terminal, the directory of the running executable, and the interruption by the
// user. One file per OS.
#pragma once

#include <string>

namespace flintmoor {

bool stderrIsTerminal();
// The executable's directory, without a trailing separator; `argv0` is the fallback.
std::string executableDir(const char* argv0);

// From now on the first SIGINT or SIGTERM (Ctrl-C, Ctrl-Break or closing the console on Windows)
// only raises the flag that interruptRequested() reads, so that the job stops at its next packet
// and cleans up; a second one ends the process at once with `exitStatus`.
void installInterruptHandler(int exitStatus);
bool interruptRequested();

}  // namespace flintmoor
