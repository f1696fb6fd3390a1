// The serial monitor: what a board prints after its reset into the application, shown as it
// arrives, its crash backtraces decoded, the user's keys sent to it, and the port followed when the
// board's USB bridge goes away and comes back. No OS and no toolkit here: the keyboard, the
// address decoder and the port search are handed in by the front end.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "comio/PortInfo.h"

namespace flintmoor {

class TComIo;

// Received bytes made fit for the user: complete lines for the record (every escape sequence
// removed, other control bytes escaped as \xNN) and the text to show at once (the same, except
// that with `keepColours` the colour sequences of the program stay). UTF-8 passes; a byte that is
// no part of valid UTF-8 is escaped. CR LF and LF end a line; a lone CR is dropped. A line that
// grows past kMaxLine bytes without an end is cut there.
class MonitorText {
 public:
  static constexpr size_t kMaxLine = 4096;

  explicit MonitorText(bool keepColours) : keepColours_(keepColours) {}

  // Appends to `show` what to print now and to `lines` every line that ended.
  void feed(std::string_view bytes, std::string& show, std::vector<std::string>& lines);
  // True while a line has begun and not ended (what a timestamp in front waits for).
  bool midLine() const { return midLine_; }
  // The unfinished line, if any, as a line of its own (the monitor is closing).
  std::optional<std::string> finish();

 private:
  enum class Esc { kNone, kEsc, kCsi };
  void byte(uint8_t b, std::string& show, std::vector<std::string>& lines);
  void text(std::string_view piece, std::string& show);
  void endLine(std::vector<std::string>& lines, std::string& show);
  void flushUtf8(std::string& show);

  bool keepColours_;
  bool midLine_ = false;
  std::string line_;
  Esc esc_ = Esc::kNone;
  std::string seq_;      // the escape sequence read so far
  std::string utf8_;     // the start of a multi-byte character
  size_t utf8Need_ = 0;  // its bytes still to come
};

// The addresses worth decoding in one line of a crash report: each PC of "Backtrace: 0xPC:0xSP
// ...", and the PC and EXCVADDR of a register dump ("PC      : 0x400d1234  PS : ..."). Zero
// addresses are left out; "|<-CORRUPTED" ends a backtrace.
std::vector<uint32_t> crashAddresses(std::string_view line);

// One address decoded: function, source file and line ("??", "??" and 0 when unknown).
struct DecodedAddress {
  uint32_t address = 0;
  std::string function;
  std::string file;
  int line = 0;
  bool known() const { return function != "??" || file != "??"; }
};

// Reads the answer of `addr2line -a -f -C`: per address a line with the address, one with the
// function, one with "file:line" (a " (discriminator N)" after it ignored).
std::vector<DecodedAddress> parseAddr2line(std::string_view output);

// "0x400d1234" (eight hex digits).
std::string hexAddress(uint32_t address);

// Decodes addresses away from the reading path: request() returns at once, results come later.
class AddressDecoder {
 public:
  virtual ~AddressDecoder() = default;
  virtual void request(std::vector<uint32_t> addresses) = 0;
  // The results ready now, in the order requested.
  virtual std::vector<DecodedAddress> take() = 0;
  // Waits at most `ms` milliseconds until every request is answered; false if some are not.
  virtual bool drain(int ms) = 0;
};

// What the user typed, turned into what the monitor does, in order.
enum class MonitorAction { kSend, kQuit, kReset, kHelp };
struct MonitorStep {
  MonitorAction action;
  std::string bytes;  // kSend
};

// Keys typed on a terminal in raw mode: Enter (CR, LF or CR LF) sends `eol`; Ctrl-] (0x1D) and
// Ctrl-C (0x03) quit; Ctrl-T (0x14) then R resets the chip, then H lists the keys, then Ctrl-T
// sends Ctrl-T itself; every other byte goes to the chip as it is.
class MonitorKeys {
 public:
  explicit MonitorKeys(std::string eol = "\r\n") : eol_(std::move(eol)) {}
  std::vector<MonitorStep> feed(std::string_view typed);
  static const char* help();

 private:
  std::string eol_;
  bool afterCtrlT_ = false;
  bool afterCr_ = false;
};

// The end of line that --eol names: "CRLF", "CR" or "LF" (any case); nullopt for anything else.
std::optional<std::string> parseEol(std::string_view name);

// The port to open again after the board went away: the port that now carries the same USB
// identity (vendor, product and, when it has one, serial number; without a serial the same name
// too), else the old name itself when the old port was no USB port (a virtual or a fixed one);
// empty while it is absent.
std::string reconnectPort(const PortInfo& lost, const std::vector<PortInfo>& now);

// The keyboard of the terminal the monitor runs on, in raw mode while the object lives.
class MonitorKeyboard {
 public:
  virtual ~MonitorKeyboard() = default;
  // The bytes typed since the last call; never blocks.
  virtual std::string poll() = 0;
};

struct MonitorOptions {
  uint32_t baud = 115200;
  bool reset = true;  // pulse the reset into the application first
  std::string eol = "\r\n";
};

// Where the monitor's output goes: the terminal's text or JSON lines.
class MonitorSink {
 public:
  virtual ~MonitorSink() = default;
  // Text to show as it arrives (lines end with '\n').
  virtual void shown(std::string_view text) = 0;
  // A whole line, escape sequences removed.
  virtual void line(const std::string& text) = 0;
  virtual void decoded(const DecodedAddress& address) = 0;
  // Something the monitor itself says: "disconnected", "reconnected", "note", "help".
  virtual void event(const std::string& name, const std::string& text) = 0;
};

// The terminal's text: what arrives as it arrives, the host time in front of each line when
// `timeText` is set, decoded addresses and the monitor's own messages on lines of their own (held
// back while the board's current line is unfinished, unless it stays so for long).
class MonitorTextSink : public MonitorSink {
 public:
  MonitorTextSink(std::ostream& out, std::function<std::string()> timeText)
      : out_(out), timeText_(std::move(timeText)) {}
  void shown(std::string_view text) override;
  void line(const std::string&) override {}
  void decoded(const DecodedAddress& address) override;
  void event(const std::string& name, const std::string& text) override;

 private:
  void own(const std::string& text);
  std::ostream& out_;
  std::function<std::string()> timeText_;
  bool atLineStart_ = true;
  std::vector<std::string> held_;
};

// "  0x400d1234: crash_here at /src/crash.c:12" (without the file when it is unknown).
std::string decodedText(const DecodedAddress& address);

// What the monitor needs besides the link. Every member may be left unset.
struct MonitorHooks {
  std::function<std::string()> keys;                 // typed bytes, never blocking
  std::function<bool()> interrupted;                 // a signal asked to stop: quit
  AddressDecoder* decoder = nullptr;                 // decodes crash addresses
  std::function<std::string(const PortInfo&)> find;  // the port to reopen (see reconnectPort)
};

// Runs the monitor on `com` until the user quits or a signal arrives. The port is opened when
// closed (else kept open, as a job leaves it for the monitor) and closed at the end. Returns 0 on
// quit, 1 when the port cannot be opened at first.
class MonitorSession {
 public:
  static constexpr int kReadMs = 50;          // longest wait on the port before the keys are read
  static constexpr int kRetryMs = 500;        // between attempts to find the lost port again
  static constexpr int kDecodeWaitMs = 5000;  // at the end, for decodes still under way
  static constexpr size_t kChunk = 4096;      // bytes read before the keys are looked at again

  MonitorSession(TComIo& com, const PortInfo& port, MonitorOptions options, MonitorHooks hooks,
                 MonitorSink& sink, bool keepColours);
  int run();

 private:
  bool open(const std::string& name, std::string& error);
  void handleKeys();
  void readChunk();
  void waitForPort();
  void takeDecoded();
  void resetChip();
  void show(std::string_view bytes);
  bool stopping();

  TComIo& com_;
  PortInfo port_;
  MonitorOptions options_;
  MonitorHooks hooks_;
  MonitorSink& sink_;
  MonitorText text_;
  MonitorKeys keys_;
  bool quit_ = false;
};

}  // namespace flintmoor
