// The debug log's operations (F, S, D, H, B, L, TH, DUMP, BUFF, C) with their exact line formats,
// written to an abstract line store: memory (tests), a stream (command line), or the Qt window.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace flintmoor {

// One argument of F: an integer, a text or a character.
class LogArg {
 public:
  enum class Kind { Int, Str, Chr };
  LogArg(int v) : kind_(Kind::Int), int_(v) {}
  LogArg(unsigned v) : kind_(Kind::Int), int_(v) {}
  LogArg(long v) : kind_(Kind::Int), int_(v) {}
  LogArg(unsigned long v) : kind_(Kind::Int), int_(static_cast<long long>(v)) {}
  LogArg(long long v) : kind_(Kind::Int), int_(v) {}
  LogArg(unsigned long long v) : kind_(Kind::Int), int_(static_cast<long long>(v)) {}
  LogArg(char c) : kind_(Kind::Chr), chr_(c) {}
  LogArg(const char* s) : kind_(Kind::Str), str_(s) {}
  LogArg(std::string s) : kind_(Kind::Str), str_(std::move(s)) {}
  LogArg(std::string_view s) : kind_(Kind::Str), str_(s) {}

  Kind kind() const { return kind_; }
  long long intValue() const { return int_; }
  const std::string& strValue() const { return str_; }
  char chrValue() const { return chr_; }

 private:
  Kind kind_;
  long long int_ = 0;
  char chr_ = 0;
  std::string str_;
};

// Formats like the log's F: "%d", "%x" (upper case, no prefix), "%s", "%%"; a width pads with
// blanks on the left (a leading 0 is only a digit of the width); a precision on %d/%x is a minimum
// digit count filled with zeros. Raises Exception when the format does not match the arguments.
std::string formatLog(std::string_view form, std::initializer_list<LogArg> args);

class Log {
 public:
  virtual ~Log() = default;

  void F(std::string_view form, std::initializer_list<LogArg> args = {});
  void S(std::string_view s1);
  void D(int32_t n);
  void H(int64_t n);  // exactly 8 hex digits of the low 32 bits
  void B(bool b);
  void L(char c);
  void TH(std::string_view txt, int64_t n);
  void DUMP(const std::vector<uint8_t>& arr, int anz);  // anz -1: the whole array
  void BUFF(const void* buf, int anz);
  void C();

 protected:
  virtual void addLine(std::string line) = 0;
  virtual void clearLines() = 0;

 private:
  void hexDump(const uint8_t* p, int count);
};

// Keeps the lines in memory (tests, and the command line's collected log).
class MemoryLog : public Log {
 public:
  const std::vector<std::string>& lines() const { return lines_; }

 protected:
  void addLine(std::string line) override { lines_.push_back(std::move(line)); }
  void clearLines() override { lines_.clear(); }

 private:
  std::vector<std::string> lines_;
};

// Writes each line to a stream as it is logged; C writes nothing.
class StreamLog : public Log {
 public:
  explicit StreamLog(std::ostream& out) : out_(out) {}

 protected:
  void addLine(std::string line) override { out_ << line << '\n' << std::flush; }
  void clearLines() override {}

 private:
  std::ostream& out_;
};

}  // namespace flintmoor
