// The monitor's text handling: received bytes into lines and terminal text, crash addresses,
// addr2line's answers, the keys, the end of line, the port to reopen, and the terminal's output.
#include <charconv>
#include <cstdio>

#include "job/Monitor.h"

namespace flintmoor {

namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr size_t kMaxSequence = 32;  // a longer escape sequence is no sequence

std::string escaped(uint8_t b) {
  char text[8];
  std::snprintf(text, sizeof text, "\\x%02X", b);
  return text;
}

// Bytes that follow a lead byte of UTF-8; 0 for a byte that cannot start a character.
size_t utf8Continuations(uint8_t b) {
  if (b >= 0xC2 && b <= 0xDF) return 1;
  if (b >= 0xE0 && b <= 0xEF) return 2;
  if (b >= 0xF0 && b <= 0xF4) return 3;
  return 0;
}

}  // namespace

// ---- Received text ----------------------------------------------------------------------

void MonitorText::feed(std::string_view bytes, std::string& show, std::vector<std::string>& lines) {
  for (char c : bytes) byte(static_cast<uint8_t>(c), show, lines);
}

void MonitorText::text(std::string_view piece, std::string& show) {
  line_ += piece;
  show += piece;
  midLine_ = true;
}

void MonitorText::flushUtf8(std::string& show) {
  for (char c : utf8_) text(escaped(static_cast<uint8_t>(c)), show);
  utf8_.clear();
  utf8Need_ = 0;
}

void MonitorText::endLine(std::vector<std::string>& lines, std::string& show) {
  flushUtf8(show);
  lines.push_back(std::move(line_));
  line_.clear();
  show += '\n';
  midLine_ = false;
}

void MonitorText::byte(uint8_t b, std::string& show, std::vector<std::string>& lines) {
  if (esc_ == Esc::kEsc) {
    if (b == '[') {
      esc_ = Esc::kCsi;
      seq_ += static_cast<char>(b);
      return;
    }
    esc_ = Esc::kNone;
    seq_.clear();
    if (b >= 0x30 && b <= 0x7E) return;  // a two-byte sequence (ESC 7, ESC M...): dropped
    text(escaped(kEsc), show);
  } else if (esc_ == Esc::kCsi) {
    seq_ += static_cast<char>(b);
    if (b >= 0x40 && b <= 0x7E) {
      // Colours (SGR) pass to a terminal that shows them; cursor moves and the like never do.
      if (b == 'm' && keepColours_) show += seq_;
      esc_ = Esc::kNone;
      seq_.clear();
      return;
    }
    if (b >= 0x20 && b <= 0x3F && seq_.size() < kMaxSequence) return;
    esc_ = Esc::kNone;  // broken: drop what was read and take this byte as it is
    seq_.clear();
  }

  if (utf8Need_ > 0) {
    if (b >= 0x80 && b <= 0xBF) {
      utf8_ += static_cast<char>(b);
      if (--utf8Need_ == 0) {
        text(utf8_, show);
        utf8_.clear();
      }
      return;
    }
    flushUtf8(show);
  }
  if (b == '\n') {
    endLine(lines, show);
    return;
  }
  if (b == '\r') return;
  if (b == kEsc) {
    flushUtf8(show);
    esc_ = Esc::kEsc;
    seq_.assign(1, static_cast<char>(b));
    return;
  }
  if (b >= 0x80) {
    utf8Need_ = utf8Continuations(b);
    if (utf8Need_ == 0) {
      text(escaped(b), show);
    } else {
      utf8_.assign(1, static_cast<char>(b));
    }
  } else if ((b < 0x20 && b != '\t') || b == 0x7F) {
    text(escaped(b), show);
  } else {
    text(std::string_view(reinterpret_cast<const char*>(&b), 1), show);
  }
  if (line_.size() >= kMaxLine) endLine(lines, show);
}

std::optional<std::string> MonitorText::finish() {
  std::string show;
  flushUtf8(show);
  esc_ = Esc::kNone;
  seq_.clear();
  if (!midLine_) return std::nullopt;
  midLine_ = false;
  std::string line = std::move(line_);
  line_.clear();
  return line;
}

// ---- Crash reports ----------------------------------------------------------------------

namespace {

// "0x" and one to eight hex digits at `pos`; advances past them.
std::optional<uint32_t> hexAt(std::string_view line, size_t& pos) {
  if (line.substr(pos, 2) != "0x" && line.substr(pos, 2) != "0X") return std::nullopt;
  const char* begin = line.data() + pos + 2;
  const char* end = line.data() + line.size();
  uint32_t value = 0;
  const auto [stop, ec] = std::from_chars(begin, end, value, 16);
  if (ec != std::errc() || stop == begin || stop - begin > 8) return std::nullopt;
  pos = static_cast<size_t>(stop - line.data());
  return value;
}

void skipSpaces(std::string_view line, size_t& pos) {
  while (pos < line.size() && line[pos] == ' ') ++pos;
}

// The value after the register name `name` (then spaces, a colon, spaces).
std::optional<uint32_t> registerValue(std::string_view line, std::string_view name) {
  for (size_t at = line.find(name); at != std::string_view::npos; at = line.find(name, at + 1)) {
    if (at > 0 && line[at - 1] != ' ') continue;
    size_t pos = at + name.size();
    skipSpaces(line, pos);
    if (pos >= line.size() || line[pos] != ':') continue;
    ++pos;
    skipSpaces(line, pos);
    return hexAt(line, pos);
  }
  return std::nullopt;
}

}  // namespace

std::vector<uint32_t> crashAddresses(std::string_view line) {
  std::vector<uint32_t> found;
  const size_t bt = line.find("Backtrace:");
  if (bt != std::string_view::npos) {
    size_t pos = bt + 10;
    for (;;) {
      skipSpaces(line, pos);
      const std::optional<uint32_t> pc = hexAt(line, pos);
      if (!pc || pos >= line.size() || line[pos] != ':') break;
      ++pos;
      if (!hexAt(line, pos)) break;
      if (*pc != 0) found.push_back(*pc);
    }
    return found;
  }
  for (std::string_view name : {"PC", "EXCVADDR"}) {
    const std::optional<uint32_t> value = registerValue(line, name);
    if (value && *value != 0) found.push_back(*value);
  }
  return found;
}

std::string hexAddress(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", address);
  return text;
}

std::vector<DecodedAddress> parseAddr2line(std::string_view output) {
  std::vector<std::string_view> lines;
  while (!output.empty()) {
    const size_t nl = output.find('\n');
    std::string_view l = output.substr(0, nl);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    lines.push_back(l);
    if (nl == std::string_view::npos) break;
    output.remove_prefix(nl + 1);
  }
  std::vector<DecodedAddress> result;
  for (size_t i = 0; i + 2 < lines.size(); i += 3) {
    size_t pos = 0;
    const std::optional<uint32_t> address = hexAt(lines[i], pos);
    if (!address) break;
    DecodedAddress d;
    d.address = *address;
    d.function = std::string(lines[i + 1]);
    std::string_view where = lines[i + 2];
    if (const size_t disc = where.find(" (discriminator"); disc != std::string_view::npos) {
      where = where.substr(0, disc);
    }
    const size_t colon = where.rfind(':');
    d.file = std::string(where.substr(0, colon));
    if (colon != std::string_view::npos) {
      const std::string_view number = where.substr(colon + 1);
      std::from_chars(number.data(), number.data() + number.size(), d.line);
    }
    result.push_back(std::move(d));
  }
  return result;
}

std::string decodedText(const DecodedAddress& a) {
  std::string text = "  " + hexAddress(a.address) + ": " + a.function;
  if (a.file != "??") text += " at " + a.file + ":" + std::to_string(a.line);
  return text;
}

// ---- Keys -------------------------------------------------------------------------------

std::vector<MonitorStep> MonitorKeys::feed(std::string_view typed) {
  std::vector<MonitorStep> steps;
  auto send = [&steps](std::string_view bytes) {
    if (steps.empty() || steps.back().action != MonitorAction::kSend) {
      steps.push_back({MonitorAction::kSend, {}});
    }
    steps.back().bytes += bytes;
  };
  for (char c : typed) {
    const bool wasCr = afterCr_;
    afterCr_ = false;
    if (afterCtrlT_) {
      afterCtrlT_ = false;
      if (c == 'r' || c == 'R') {
        steps.push_back({MonitorAction::kReset, {}});
      } else if (c == 'h' || c == 'H' || c == '?') {
        steps.push_back({MonitorAction::kHelp, {}});
      } else if (c == 0x14) {
        send(std::string_view(&c, 1));
      }
      continue;
    }
    switch (c) {
      case 0x1D:
      case 0x03:
        steps.push_back({MonitorAction::kQuit, {}});
        return steps;
      case 0x14:
        afterCtrlT_ = true;
        break;
      case '\r':
        afterCr_ = true;
        send(eol_);
        break;
      case '\n':
        if (!wasCr) send(eol_);
        break;
      default:
        send(std::string_view(&c, 1));
    }
  }
  return steps;
}

const char* MonitorKeys::help() {
  return "Keys: Ctrl-] or Ctrl-C quit; Ctrl-T R resets the chip; Ctrl-T H shows this; Ctrl-T "
         "Ctrl-T sends Ctrl-T; everything else goes to the chip (Enter as the end of line)";
}

std::optional<std::string> parseEol(std::string_view name) {
  std::string upper(name);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (upper == "CRLF") return "\r\n";
  if (upper == "CR") return "\r";
  if (upper == "LF") return "\n";
  return std::nullopt;
}

// ---- Reconnection -----------------------------------------------------------------------

std::string reconnectPort(const PortInfo& lost, const std::vector<PortInfo>& now) {
  if (!lost.usb) return lost.name;
  for (const PortInfo& p : now) {
    if (!p.usb || p.vid != lost.vid || p.pid != lost.pid) continue;
    if (!lost.serial.empty() ? p.serial == lost.serial : p.name == lost.name) return p.name;
  }
  return {};
}

// ---- Terminal output --------------------------------------------------------------------

void MonitorTextSink::shown(std::string_view text) {
  while (!text.empty()) {
    if (atLineStart_ && timeText_) out_ << timeText_() << ' ';
    const size_t nl = text.find('\n');
    const std::string_view piece = text.substr(0, nl == std::string_view::npos ? nl : nl + 1);
    out_ << piece;
    atLineStart_ = nl != std::string_view::npos;
    text.remove_prefix(piece.size());
    if (atLineStart_) {
      for (const std::string& h : held_) out_ << h << '\n';
      held_.clear();
    }
  }
  out_.flush();
}

void MonitorTextSink::own(const std::string& text) {
  if (atLineStart_) {
    out_ << text << '\n' << std::flush;
  } else {
    held_.push_back(text);
  }
}

void MonitorTextSink::decoded(const DecodedAddress& address) {
  own(decodedText(address));
}

void MonitorTextSink::event(const std::string& name, const std::string& text) {
  // The monitor's own state changes are shown at once, on a line of their own.
  if (name == "disconnected" || name == "reconnected" || name == "help") {
    if (!atLineStart_) out_ << '\n';
    atLineStart_ = true;
    out_ << text << '\n' << std::flush;
    return;
  }
  own(text);
}

}  // namespace flintmoor
