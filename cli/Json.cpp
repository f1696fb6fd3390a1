// JSON strings and flat objects for the machine-readable output.
#include "cli/Json.h"

#include <cstdio>

namespace flintmoor {

namespace {

// Length of the valid UTF-8 sequence at the start of `s`, or 0.
size_t utf8Length(std::string_view s) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = b(0);
  size_t n = 0;
  uint32_t min = 0;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() < n) return 0;
  uint32_t cp = c & (0x7F >> n);
  for (size_t i = 1; i < n; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (b(i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else if (c >= 0x80) {
      const size_t n = utf8Length(text.substr(i));
      if (n == 0) {
        out += "\xEF\xBF\xBD";
        ++i;
        continue;
      }
      out.append(text.substr(i, n));
      i += n;
      continue;
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

void JsonObject::key(std::string_view name) {
  if (text_.size() > 1) text_ += ',';
  text_ += jsonString(name);
  text_ += ':';
}

JsonObject& JsonObject::add(std::string_view name, std::string_view value) {
  key(name);
  text_ += jsonString(value);
  return *this;
}

JsonObject& JsonObject::add(std::string_view name, int64_t value) {
  key(name);
  text_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::add(std::string_view name, bool value) {
  key(name);
  text_ += value ? "true" : "false";
  return *this;
}

JsonObject& JsonObject::addRaw(std::string_view name, std::string_view json) {
  key(name);
  text_ += json;
  return *this;
}

}  // namespace flintmoor
