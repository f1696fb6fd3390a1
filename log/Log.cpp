// The debug log's line formats: the F formatter, the one-line operations and the hex dump.
#include "log/Log.h"

#include <algorithm>

#include "base/Error.h"

namespace flintmoor {

namespace {

// Widths and precisions beyond this are a caller's mistake, not a wish for megabytes of blanks.
constexpr size_t kMaxFieldSize = 1024;

[[noreturn]] void formatError(std::string_view form, const std::string& why) {
  throw Exception("Format error in \"" + std::string(form) + "\": " + why);
}

std::string hexDigits(unsigned long long v) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  do {
    s.insert(s.begin(), kDigits[v & 0xF]);
    v >>= 4;
  } while (v != 0);
  return s;
}

std::string zeroFill(std::string digits, size_t minDigits) {
  if (digits.size() < minDigits) digits.insert(0, minDigits - digits.size(), '0');
  return digits;
}

// A negative value is shown as its 32-bit two's complement, as the chip's registers are 32 bits.
unsigned long long hexValue(long long v) {
  return v < 0 ? static_cast<uint32_t>(v) : static_cast<unsigned long long>(v);
}

std::string hex8(int64_t n) {
  return zeroFill(hexDigits(static_cast<uint32_t>(n)), 8);
}

size_t readNumber(std::string_view form, size_t& i) {
  size_t n = 0;
  while (i < form.size() && form[i] >= '0' && form[i] <= '9') {
    n = n * 10 + static_cast<size_t>(form[i] - '0');
    if (n > kMaxFieldSize) formatError(form, "field size too large");
    ++i;
  }
  return n;
}

}  // namespace

std::string formatLog(std::string_view form, std::initializer_list<LogArg> args) {
  std::string out;
  auto next = args.begin();
  size_t i = 0;
  while (i < form.size()) {
    char ch = form[i++];
    if (ch != '%') {
      out += ch;
      continue;
    }
    if (i < form.size() && form[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    size_t width = readNumber(form, i);
    bool hasPrecision = false;
    size_t precision = 0;
    if (i < form.size() && form[i] == '.') {
      ++i;
      hasPrecision = true;
      precision = readNumber(form, i);
    }
    if (i >= form.size()) formatError(form, "incomplete conversion at the end");
    char conv = form[i++];
    if (conv != 'd' && conv != 'x' && conv != 's') {
      formatError(form, std::string("unknown conversion '%") + conv + "'");
    }
    if (next == args.end()) formatError(form, "too few arguments");
    const LogArg& arg = *next++;

    std::string field;
    if (conv == 's') {
      if (arg.kind() == LogArg::Kind::Str) {
        field = arg.strValue();
      } else if (arg.kind() == LogArg::Kind::Chr) {
        field = std::string(1, arg.chrValue());
      } else {
        formatError(form, "%s needs a text, got a number");
      }
      // As for printf, a precision on a text is its maximum length.
      if (hasPrecision && field.size() > precision) field.resize(precision);
    } else {
      if (arg.kind() != LogArg::Kind::Int) {
        formatError(form, std::string("%") + conv + " needs a number, got a text");
      }
      long long v = arg.intValue();
      if (conv == 'x') {
        field = zeroFill(hexDigits(hexValue(v)), precision);
      } else {
        unsigned long long mag =
            v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        field = zeroFill(std::to_string(mag), precision);
        if (v < 0) field.insert(0, 1, '-');
      }
    }
    if (field.size() < width) field.insert(0, width - field.size(), ' ');
    out += field;
  }
  if (next != args.end()) formatError(form, "too many arguments");
  return out;
}

void Log::F(std::string_view form, std::initializer_list<LogArg> args) {
  addLine(formatLog(form, args));
}

void Log::S(std::string_view s1) {
  addLine(std::string(s1));
}

void Log::D(int32_t n) {
  addLine(std::to_string(n));
}

void Log::H(int64_t n) {
  addLine(hex8(n));
}

void Log::B(bool b) {
  addLine(b ? "TRUE" : "FALSE");
}

void Log::L(char c) {
  addLine(std::string(60, c));
}

void Log::TH(std::string_view txt, int64_t n) {
  addLine(std::string(txt) + ": " + hex8(n));
}

void Log::DUMP(const std::vector<uint8_t>& arr, int anz) {
  // The array knows its own length, so a count beyond it is cut rather than read past the end.
  size_t count = anz < 0 ? (anz == -1 ? arr.size() : 0) : static_cast<size_t>(anz);
  count = std::min(count, arr.size());
  addLine("Anzahl: " + std::to_string(count));
  hexDump(arr.data(), static_cast<int>(count));
}

void Log::BUFF(const void* buf, int anz) {
  if (buf == nullptr) return;
  hexDump(static_cast<const uint8_t*>(buf), anz);
}

void Log::C() {
  clearLines();
}

void Log::hexDump(const uint8_t* p, int count) {
  if (count <= 0) return;
  const size_t n = static_cast<size_t>(count);
  for (size_t base = 0; base < n; base += 16) {
    std::string line = zeroFill(hexDigits(base), 4) + ": ";
    std::string chars;
    for (size_t i = 0; i < 16; ++i) {
      size_t pos = base + i;
      if (pos < n) {
        uint8_t b = p[pos];
        line += ' ';
        line += zeroFill(hexDigits(b), 2);
        chars += (b >= 32 && b <= 125) ? static_cast<char>(b) : '.';
      } else {
        line += " ..";
      }
    }
    line += "  ";
    line += chars;
    addLine(std::move(line));
  }
}

}  // namespace flintmoor
