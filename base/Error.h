// The system's error types: one general error carrying a message, and EComPort for the serial
// port, whose message carries the operating system's error code.
#pragma once

#include <stdexcept>
#include <string>

namespace flintmoor {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

class EComPort : public Exception {
 public:
  // "text (Error: code)", or the text alone when code is 0; a non-empty hint follows on a line of
  // its own. code() stays the OS code.
  EComPort(const std::string& text, int code, const std::string& hint = {})
      : Exception((code == 0 ? text : text + " (Error: " + std::to_string(code) + ")") +
                  (hint.empty() ? std::string() : "\n" + hint)),
        code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

}  // namespace flintmoor
