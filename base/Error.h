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
  // "text (Error: code)", or the text alone when code is 0.
  EComPort(const std::string& text, int code)
      : Exception(code == 0 ? text : text + " (Error: " + std::to_string(code) + ")"),
        code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

}  // namespace flintmoor
