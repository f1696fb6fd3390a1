// The settings store: parsing, encodings, typed values and the safe save.
#include "job/IniFile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include "log/Log.h"

namespace flintmoor {

namespace {

namespace fs = std::filesystem;

bool isBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

char upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (upper(a[i]) != upper(b[i])) return false;
  }
  return true;
}

// --- Text encodings. The store holds UTF-8 text. ---

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes one UTF-8 sequence at s[i]; returns its length, 0 when it is not valid UTF-8.
size_t utf8Sequence(std::string_view s, size_t i, char32_t& cp) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = byte(i);
  size_t len;
  char32_t min;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

bool isValidUtf8(std::string_view s) {
  char32_t cp;
  for (size_t i = 0; i < s.size();) {
    size_t len = utf8Sequence(s, i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

// Code points of UTF-8 text; a byte that starts no valid sequence stands for itself.
std::u32string codePoints(std::string_view s) {
  std::u32string out;
  char32_t cp;
  for (size_t i = 0; i < s.size();) {
    size_t len = utf8Sequence(s, i, cp);
    if (len == 0) {
      out += static_cast<char32_t>(static_cast<unsigned char>(s[i]));
      ++i;
    } else {
      out += cp;
      i += len;
    }
  }
  return out;
}

std::string latin1ToUtf8(std::string_view s) {
  std::string out;
  for (char c : s) appendUtf8(out, static_cast<unsigned char>(c));
  return out;
}

// nullopt when some character lies beyond Latin-1.
std::optional<std::string> utf8ToLatin1(std::string_view s) {
  std::string out;
  for (char32_t cp : codePoints(s)) {
    if (cp > 0xFF) return std::nullopt;
    out += static_cast<char>(cp);
  }
  return out;
}

std::string utf16ToUtf8(std::string_view bytes, bool bigEndian) {
  std::string out;
  size_t count = bytes.size() / 2;
  auto unit = [&](size_t k) -> char32_t {
    auto b0 = static_cast<unsigned char>(bytes[2 * k]);
    auto b1 = static_cast<unsigned char>(bytes[2 * k + 1]);
    return bigEndian ? (b0 << 8) | b1 : (b1 << 8) | b0;
  };
  for (size_t k = 0; k < count; ++k) {
    char32_t u = unit(k);
    if (u >= 0xD800 && u <= 0xDBFF && k + 1 < count && unit(k + 1) >= 0xDC00 &&
        unit(k + 1) <= 0xDFFF) {
      appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (unit(k + 1) - 0xDC00));
      ++k;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      appendUtf8(out, 0xFFFD);
    } else {
      appendUtf8(out, u);
    }
  }
  return out;
}

std::string utf8ToUtf16(std::string_view s, bool bigEndian) {
  std::string out;
  auto put = [&](char32_t u) {
    char hi = static_cast<char>(u >> 8);
    char lo = static_cast<char>(u & 0xFF);
    out += bigEndian ? hi : lo;
    out += bigEndian ? lo : hi;
  };
  for (char32_t cp : codePoints(s)) {
    if (cp >= 0x10000) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
  }
  return out;
}

constexpr std::string_view kBomUtf8 = "\xEF\xBB\xBF";
constexpr std::string_view kBomUtf16LE = "\xFF\xFE";
constexpr std::string_view kBomUtf16BE = "\xFE\xFF";

std::string describeKey(std::string_view section, std::string_view key, std::string_view text) {
  return "Settings: [" + std::string(section) + "] " + std::string(key) + "=\"" +
         std::string(text) + "\" does not convert";
}

}  // namespace

std::optional<int32_t> parseIniInteger(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i == text.size()) return 0;
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
  int base = 10;
  if (i < text.size() && (text[i] == '$' || upper(text[i]) == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && upper(text[i + 1]) == 'X') {
    base = 16;
    i += 2;
  }
  if (i == text.size()) return std::nullopt;
  // Decimal spans the signed range; hexadecimal spans 32 bits and wraps like a register value.
  const uint64_t limit = base == 16 ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  uint64_t n = 0;
  for (; i < text.size(); ++i) {
    char c = upper(text[i]);
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    n = n * base + digit;
    if (n > limit) return std::nullopt;
  }
  uint32_t bits = static_cast<uint32_t>(n);
  if (negative) bits = 0u - bits;
  return static_cast<int32_t>(bits);
}

std::optional<bool> parseIniBool(std::string_view text) {
  for (std::string_view word : {"TRUE", "YES", "Y"}) {
    if (sameName(text, word)) return true;
  }
  for (std::string_view word : {"FALSE", "NO", "N"}) {
    if (sameName(text, word)) return false;
  }
  std::optional<int32_t> n = parseIniInteger(text);
  if (!n) return std::nullopt;
  return *n != 0;
}

IniFile::IniFile(const std::string& directory, const std::string& fileName) {
  std::string name = fileName;
  size_t sep = name.find_last_of("/\\");
  if (sep != std::string::npos) name.erase(0, sep + 1);
  path_ = (fs::path(directory) / name).string();

  std::error_code ec;
  if (!fs::exists(path_, ec)) return;
  std::ifstream in(path_, std::ios::binary);
  if (!in.is_open()) {
    loadError_ = std::strerror(errno);
    return;
  }
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    loadError_ = std::strerror(errno);
    return;
  }
  loadFromBytes(bytes);
}

void IniFile::loadFromBytes(std::string_view bytes) {
  std::string text;
  if (bytes.starts_with(kBomUtf8)) {
    encoding_ = Encoding::Utf8Bom;
    text = bytes.substr(kBomUtf8.size());
  } else if (bytes.starts_with(kBomUtf16LE)) {
    encoding_ = Encoding::Utf16LE;
    text = utf16ToUtf8(bytes.substr(2), false);
  } else if (bytes.starts_with(kBomUtf16BE)) {
    encoding_ = Encoding::Utf16BE;
    text = utf16ToUtf8(bytes.substr(2), true);
  } else if (isValidUtf8(bytes)) {
    encoding_ = Encoding::Utf8;
    text = bytes;
  } else {
    encoding_ = Encoding::Latin1;
    text = latin1ToUtf8(bytes);
  }

  sections_.clear();
  sectionIndex_.clear();
  Section* current = nullptr;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line = trim(std::string_view(text).substr(pos, end - pos));
    pos = end;
    if (pos < text.size() && text[pos] == '\r') ++pos;
    if (pos < text.size() && text[pos] == '\n') ++pos;

    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
      // A repeated section continues the first one of that name.
      current = &sectionFor(trim(line.substr(1, line.size() - 2)));
      continue;
    }
    if (current == nullptr) continue;
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      current->entries.push_back({std::string(line), "", true});
    } else {
      current->entries.push_back(
          {std::string(trim(line.substr(0, eq))), std::string(trim(line.substr(eq + 1))), false});
    }
  }
}

std::string IniFile::text() const {
  std::string text;
  for (const Section& s : sections_) {
    text += "[" + s.name + "]\r\n";
    for (const Entry& e : s.entries) {
      text += e.raw ? e.key : e.key + "=" + e.value;
      text += "\r\n";
    }
    text += "\r\n";
  }
  return text;
}

std::string IniFile::encode(const std::string& text, Encoding& used) const {
  used = encoding_;
  switch (encoding_) {
    case Encoding::Utf8:
      return text;
    case Encoding::Utf8Bom:
      return std::string(kBomUtf8) + text;
    case Encoding::Utf16LE:
      return std::string(kBomUtf16LE) + utf8ToUtf16(text, false);
    case Encoding::Utf16BE:
      return std::string(kBomUtf16BE) + utf8ToUtf16(text, true);
    case Encoding::Latin1:
      if (std::optional<std::string> latin1 = utf8ToLatin1(text)) {
        // Bytes that are valid UTF-8 would load as UTF-8 and change the text ("Ã©" would come
        // back as "é"); plain ASCII reads the same either way.
        if (!isValidUtf8(*latin1) || *latin1 == text) return *latin1;
      }
      // A text that Latin-1 cannot hold, or that would not read back as Latin-1: the file
      // becomes UTF-8 rather than changing, and loading recognises it as UTF-8 next time.
      used = Encoding::Utf8;
      return text;
  }
  return text;
}

std::string IniFile::toBytes() const {
  Encoding used;
  return encode(text(), used);
}

size_t IniFile::NameHash::operator()(std::string_view name) const {
  // FNV-1a over the folded bytes.
  uint64_t h = 14695981039346656037ull;
  for (char c : name) {
    h ^= static_cast<unsigned char>(upper(c));
    h *= 1099511628211ull;
  }
  return static_cast<size_t>(h);
}

bool IniFile::NameEqual::operator()(std::string_view a, std::string_view b) const {
  return sameName(a, b);
}

const IniFile::Section* IniFile::findSection(std::string_view name) const {
  auto it = sectionIndex_.find(name);
  return it == sectionIndex_.end() ? nullptr : &sections_[it->second];
}

IniFile::Section& IniFile::sectionFor(std::string_view name) {
  if (auto it = sectionIndex_.find(name); it != sectionIndex_.end()) return sections_[it->second];
  sections_.push_back({std::string(name), {}});
  try {
    sectionIndex_.emplace(name, sections_.size() - 1);
  } catch (...) {
    sections_.pop_back();  // the index and the sections stay in step
    throw;
  }
  return sections_.back();
}

const IniFile::Entry* IniFile::findEntry(std::string_view section, std::string_view key) const {
  const Section* s = findSection(section);
  if (s == nullptr) return nullptr;
  for (const Entry& e : s->entries) {
    if (!e.raw && sameName(e.key, key)) return &e;
  }
  return nullptr;
}

bool IniFile::sectionExists(std::string_view section) const {
  return findSection(section) != nullptr;
}

bool IniFile::valueExists(std::string_view section, std::string_view key) const {
  return findEntry(section, key) != nullptr;
}

std::optional<std::string> IniFile::value(std::string_view section, std::string_view key) const {
  const Entry* e = findEntry(section, key);
  if (e == nullptr) return std::nullopt;
  return e->value;
}

std::string IniFile::readString(std::string_view section, std::string_view key,
                                const std::string& def) const {
  const Entry* e = findEntry(section, key);
  return e == nullptr ? def : e->value;
}

int32_t IniFile::readInteger(std::string_view section, std::string_view key, int32_t def,
                             Log* log) const {
  const Entry* e = findEntry(section, key);
  if (e == nullptr) return def;
  std::optional<int32_t> n = parseIniInteger(e->value);
  if (n) return *n;
  if (log != nullptr) {
    log->S(describeKey(section, key, e->value) + ", default " + std::to_string(def) + " used");
  }
  return def;
}

bool IniFile::readBool(std::string_view section, std::string_view key, bool def, Log* log) const {
  const Entry* e = findEntry(section, key);
  if (e == nullptr) return def;
  std::optional<bool> b = parseIniBool(e->value);
  if (b) return *b;
  if (log != nullptr) {
    log->S(describeKey(section, key, e->value) + ", default " + (def ? "TRUE" : "FALSE") + " used");
  }
  return def;
}

bool IniFile::storable(std::string_view value) {
  return trim(value) == value && value.find_first_of("\r\n") == std::string_view::npos &&
         isValidUtf8(value);
}

bool IniFile::writeString(std::string_view section, std::string_view key, std::string_view value) {
  if (!storable(value) || !storable(section) || !storable(key)) return false;
  // The line "key=value" must load as this key and value, not as another key, a comment or a
  // section.
  if (key.find('=') != std::string_view::npos || key.starts_with(';') ||
      (key.starts_with('[') && value.ends_with(']'))) {
    return false;
  }
  Section& s = sectionFor(section);
  for (Entry& e : s.entries) {
    if (!e.raw && sameName(e.key, key)) {
      e.key = key;
      e.value = value;
      return true;
    }
  }
  s.entries.push_back({std::string(key), std::string(value), false});
  return true;
}

void IniFile::writeInteger(std::string_view section, std::string_view key, int32_t value) {
  writeString(section, key, std::to_string(value));
}

void IniFile::writeBool(std::string_view section, std::string_view key, bool value) {
  writeString(section, key, value ? "TRUE" : "FALSE");
}

bool IniFile::save(Log* log) {
  auto fail = [&](const std::string& why) {
    if (log != nullptr) log->S("Settings: cannot write " + path_ + " (" + why + ")");
    return false;
  };
  if (!loadError_.empty()) return fail("it could not be read: " + loadError_);

  Encoding used;
  const std::string bytes = encode(text(), used);
  const std::string temp = path_ + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return fail(std::strerror(errno));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::error_code ignored;
      fs::remove(temp, ignored);
      return fail("write failed");
    }
  }
  std::error_code ec;
  fs::rename(temp, path_, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temp, ignored);
    return fail(ec.message());
  }
  encoding_ = used;
  return true;
}

}  // namespace flintmoor
