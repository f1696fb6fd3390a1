// What the serial monitor asks of the operating system: the keyboard of the terminal in raw mode,
// whether the output is a terminal, and running addr2line. One file per OS.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "job/Monitor.h"

namespace flintmoor {

bool stdoutIsTerminal();

// The terminal on standard input in raw mode (no echo, no line editing, Ctrl-C a key like any
// other) until the object is destroyed; the settings are also put back when a signal ends the
// process. Null when standard input is no terminal: then no key is read.
std::unique_ptr<MonitorKeyboard> openTerminalKeyboard();

// Runs argv[0] with its arguments, standard input and errors closed, and returns its output;
// nullopt when it could not run or failed.
std::optional<std::string> runToolOutput(const std::vector<std::string>& argv);

// The path of a program on the PATH ("" when there is none).
std::string findOnPath(const std::string& name);

}  // namespace flintmoor
