// Fuzz target: the settings store's parser and writer. The input is a settings file. What it loads
// to must save and load again to the same sections, keys and values; every key found in the saved
// text must be looked up, in any letter case, with its value; and writes (values and names taken
// from the file, and a few fixed ones) either are refused and change nothing, or read back after
// a save and a load.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "job/IniFile.h"

namespace flintmoor {
namespace {

IniFile load(std::string_view bytes) {
  IniFile ini("/nonexistent-dir-for-flintmoor-fuzzing", "Flintmoor.ini");
  ini.loadFromBytes(bytes);
  return ini;
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

// The text of saved bytes, as UTF-8, read in the encoding that loading them chose.
std::string savedText(const std::string& bytes, IniFile::Encoding encoding) {
  std::string text;
  switch (encoding) {
    case IniFile::Encoding::Utf8:
      return bytes;
    case IniFile::Encoding::Utf8Bom:
      return bytes.substr(3);
    case IniFile::Encoding::Latin1:
      for (char c : bytes) appendUtf8(text, static_cast<unsigned char>(c));
      return text;
    case IniFile::Encoding::Utf16LE:
    case IniFile::Encoding::Utf16BE: {
      const bool be = encoding == IniFile::Encoding::Utf16BE;
      std::vector<char32_t> units;
      for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        const auto lo = static_cast<unsigned char>(bytes[i + (be ? 1 : 0)]);
        const auto hi = static_cast<unsigned char>(bytes[i + (be ? 0 : 1)]);
        units.push_back(char32_t(hi << 8 | lo));
      }
      for (size_t k = 0; k < units.size(); ++k) {
        const char32_t u = units[k];
        if (u >= 0xD800 && u <= 0xDBFF && k + 1 < units.size() && units[k + 1] >= 0xDC00 &&
            units[k + 1] <= 0xDFFF) {
          appendUtf8(text, 0x10000 + ((u - 0xD800) << 10) + (units[++k] - 0xDC00));
        } else {
          appendUtf8(text, u >= 0xD800 && u <= 0xDFFF ? 0xFFFD : u);
        }
      }
      return text;
    }
  }
  return text;
}

std::string folded(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  }
  return out;
}

// The saved text as written: "[name]" lines, "key=value" lines and kept lines, one blank line
// after each section.
struct Saved {
  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> values;  // in order, repeats included
  };
  std::vector<Section> sections;
};

Saved parseSaved(const std::string& text) {
  Saved saved;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) __builtin_trap();  // every line ends in CR LF
    const std::string_view line = std::string_view(text).substr(pos, end - pos);
    pos = end + 2;
    if (line.empty()) continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      saved.sections.push_back({std::string(line.substr(1, line.size() - 2)), {}});
      continue;
    }
    if (saved.sections.empty()) __builtin_trap();  // nothing is written before the first section
    const size_t eq = line.find('=');
    if (eq != std::string_view::npos) {
      saved.sections.back().values.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
  }
  return saved;
}

// Every section once, and every key's first value found under its name in other letter cases.
void checkLookups(const Saved& saved, const IniFile& ini) {
  std::map<std::string, bool> names;
  for (const Saved::Section& s : saved.sections) {
    if (!names.emplace(folded(s.name), true).second) __builtin_trap();  // a repeated section
    if (!ini.sectionExists(s.name) || !ini.sectionExists(folded(s.name))) __builtin_trap();
    std::map<std::string, bool> seen;
    for (const auto& [key, value] : s.values) {
      if (!seen.emplace(folded(key), true).second) continue;  // a later repeat is never found
      if (ini.value(s.name, key) != value) __builtin_trap();
      if (ini.value(folded(s.name), folded(key)) != value) __builtin_trap();
      (void)ini.readInteger(s.name, key, 0);
      (void)ini.readBool(s.name, key, false);
    }
  }
}

// Saves and loads ini, and checks that the result holds the same and saves to the same bytes.
IniFile roundTrip(const IniFile& ini) {
  const std::string bytes = ini.toBytes();
  IniFile again = load(bytes);
  if (again.toBytes() != bytes) __builtin_trap();
  checkLookups(parseSaved(savedText(bytes, again.encoding())), again);
  return again;
}

}  // namespace
}  // namespace flintmoor

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace flintmoor;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  IniFile first = load(bytes);
  IniFile second = roundTrip(first);
  const Saved saved = parseSaved(savedText(first.toBytes(), second.encoding()));
  checkLookups(saved, first);

  // Writes: into each key, a text found elsewhere in the file (a value or a section name); keys
  // and sections named after such texts; then the fixed texts (beyond Latin-1, Latin-1 bytes that
  // look like UTF-8, brackets), alone and with blanks or a line break that must be refused.
  std::vector<std::pair<std::string, std::string>> names;  // section, key
  std::vector<std::string> texts = {"\xE2\x82\xAC", "\xC3\x83\xC2\xA9", "x y", "", "]", "[x"};
  for (const Saved::Section& s : saved.sections) {
    for (const auto& [key, value] : s.values) {
      names.emplace_back(s.name, key);
      texts.push_back(value);
    }
    texts.push_back(s.name);
  }
  constexpr size_t kMaxWrites = 48;
  std::vector<std::tuple<std::string, std::string, std::string>> writes;
  for (size_t k = 0; k < names.size() && writes.size() < kMaxWrites; ++k) {
    const std::string& text = texts[(k + 7) % texts.size()];
    writes.emplace_back(names[k].first, names[k].second, text);
    writes.emplace_back(names[k].second, text, names[k].first);
  }
  for (size_t k = 0; k < 6 && k < texts.size(); ++k) {
    writes.emplace_back("Fuzz", "k" + std::to_string(k), texts[k]);
    writes.emplace_back("Fuzz", "k" + std::to_string(k), " " + texts[k]);
    writes.emplace_back("Fuzz", "k" + std::to_string(k), texts[k] + "\r\nx=y");
  }

  IniFile& ini = second;
  std::map<std::pair<std::string, std::string>, std::pair<std::string, std::string>> expected;
  for (const auto& [section, key, value] : writes) {
    const std::string before = ini.toBytes();
    if (!ini.writeString(section, key, value)) {
      if (ini.toBytes() != before) __builtin_trap();
      continue;
    }
    if (!IniFile::storable(value)) __builtin_trap();
    expected[{folded(section), folded(key)}] = {section, value};
    if (ini.value(section, key) != value) __builtin_trap();
  }
  const IniFile reloaded = roundTrip(ini);
  for (const auto& [where, what] : expected) {
    if (reloaded.value(what.first, where.second) != what.second) __builtin_trap();
  }
  return 0;
}
