// What the command-line tool asks of the operating system besides the serial port: whether a
// stream is a terminal, and the directory of the running executable. One file per OS.
#pragma once

#include <string>

namespace flintmoor {

bool stderrIsTerminal();
// The executable's directory, without a trailing separator; `argv0` is the fallback.
std::string executableDir(const char* argv0);

}  // namespace flintmoor
