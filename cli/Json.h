// The JSON that flintmoor-cli writes: one flat object per line, built field by field.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace flintmoor {

// `text` as a JSON string, quotes included. Control characters are escaped; bytes that are not
// valid UTF-8 (a file name from a system that allows them) become U+FFFD, so the line stays JSON.
std::string jsonString(std::string_view text);

class JsonObject {
 public:
  JsonObject& add(std::string_view key, std::string_view value);
  JsonObject& add(std::string_view key, const char* value) {
    return add(key, std::string_view(value));
  }
  JsonObject& add(std::string_view key, int64_t value);
  JsonObject& add(std::string_view key, uint32_t value) { return add(key, int64_t{value}); }
  JsonObject& add(std::string_view key, int value) { return add(key, int64_t{value}); }
  JsonObject& add(std::string_view key, bool value);
  // A value already written as JSON (a number with a fixed count of decimals).
  JsonObject& addRaw(std::string_view key, std::string_view json);
  std::string text() const { return text_ + "}"; }

 private:
  void key(std::string_view key);
  std::string text_ = "{";
};

}  // namespace flintmoor
