// The settings store: an ini file held whole in memory, with case-insensitive section and key
// names, typed reads and writes, its text encoding kept, and a save that never leaves a torn file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace flintmoor {

class Log;

// Integer value rules: leading blanks, an optional sign, hexadecimal after "$", "x" or "0x"
// (either case), signed 32-bit range (hexadecimal up to FFFFFFFF, which wraps); an empty text is
// 0. nullopt when the text does not convert.
std::optional<int32_t> parseIniInteger(std::string_view text);

// Boolean value rules: TRUE/YES/Y and FALSE/NO/N in any case, else an integer, non-zero meaning
// true. nullopt when the text does not convert.
std::optional<bool> parseIniBool(std::string_view text);

class IniFile {
 public:
  // How the file's bytes map to text; writing uses the same. A file with a byte-order mark keeps
  // it; a file without one is UTF-8 when its bytes are valid UTF-8, else Latin-1. A Latin-1 store
  // whose text would be written as bytes that are valid UTF-8 but not plain ASCII (the bytes that
  // made the file Latin-1 were in comments, since dropped, or in values since replaced) is written
  // as UTF-8 instead, so that it reads back as the same text.
  enum class Encoding { Utf8, Latin1, Utf8Bom, Utf16LE, Utf16BE };

  // Binds the store to the name part of fileName inside directory and loads the file at once.
  // A missing file gives an empty store.
  IniFile(const std::string& directory, const std::string& fileName);

  const std::string& path() const { return path_; }
  Encoding encoding() const { return encoding_; }
  // Why an existing file could not be read; empty when it was read or did not exist.
  const std::string& loadError() const { return loadError_; }

  // Replaces the store's content with the parsed bytes of a file.
  void loadFromBytes(std::string_view bytes);
  // The bytes that saving writes: sections in order, CR LF line ends, the encoding kept.
  std::string toBytes() const;

  bool sectionExists(std::string_view section) const;
  bool valueExists(std::string_view section, std::string_view key) const;
  // The stored text of a key, nullopt when absent.
  std::optional<std::string> value(std::string_view section, std::string_view key) const;

  std::string readString(std::string_view section, std::string_view key,
                         const std::string& def) const;
  // A value that does not convert yields def, and the log (when given) names the key.
  int32_t readInteger(std::string_view section, std::string_view key, int32_t def,
                      Log* log = nullptr) const;
  bool readBool(std::string_view section, std::string_view key, bool def, Log* log = nullptr) const;

  // True when a value reads back as written: loading trims bytes up to 32 from both ends of a
  // value and ends it at CR or LF, so such a value would come back changed; and so would bytes
  // that are not UTF-8, the store's text (they are written as they are, and the file then reads
  // as Latin-1 or in its mark's encoding, as other text).
  static bool storable(std::string_view value);

  // Replaces the key's value in place, or appends the key (and the section) when new. A value
  // that is not storable() is refused, and so is a section or key name that would not read back
  // as itself: one that storable() refuses, or a key with "=", a leading ";" (a comment), or a
  // leading "[" when the value ends in "]" (a section line). Then nothing changes, and the
  // result is false.
  bool writeString(std::string_view section, std::string_view key, std::string_view value);
  void writeInteger(std::string_view section, std::string_view key, int32_t value);
  void writeBool(std::string_view section, std::string_view key, bool value);

  // Writes the whole store to a temporary file beside the target, then renames it over the
  // target. On failure the old file stays as it was, the log (when given) says why, and the
  // result is false. A file that existed but could not be read is never overwritten.
  bool save(Log* log = nullptr);

 private:
  struct Entry {
    std::string key;
    std::string value;
    bool raw = false;  // a line without "=", kept as it stood
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };
  // Section names hashed and compared with ASCII letters folded to upper case; string_view
  // lookups need no copy.
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const;
  };
  struct NameEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };

  std::string text() const;
  // The text in the store's encoding; `used` tells the encoding actually written.
  std::string encode(const std::string& text, Encoding& used) const;
  const Section* findSection(std::string_view name) const;
  Section& sectionFor(std::string_view name);
  const Entry* findEntry(std::string_view section, std::string_view key) const;

  std::string path_;
  Encoding encoding_ = Encoding::Utf8;
  std::string loadError_;
  std::vector<Section> sections_;
  // Each section's name to its position in sections_: one entry per section, added with it.
  std::unordered_map<std::string, size_t, NameHash, NameEqual> sectionIndex_;
};

}  // namespace flintmoor
