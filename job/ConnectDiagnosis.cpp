// The diagnosis of a connection that found no loader, from the chip's text outside frames.
#include "job/ConnectDiagnosis.h"

#include <charconv>
#include <cstdint>

namespace flintmoor {

namespace {

constexpr uint32_t kStrapIo0High = 0x10;

bool contains(std::string_view text, std::string_view what) {
  return text.find(what) != std::string_view::npos;
}

bool programLoads(std::string_view text) {
  return contains(text, "load:0x") || contains(text, "entry 0x");
}

// A reset line's "boot:0xNN (NAME)" part: true for a boot from flash.
bool flashBoot(std::string_view line) {
  line.remove_prefix(std::string_view("boot:0x").size());
  uint32_t strap = 0;
  const auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), strap, 16);
  line.remove_prefix(size_t(end - line.data()));
  if (line.starts_with(" (")) {
    const std::string_view name = line.substr(2, line.find(')') - 2);
    if (contains(name, "FLASH_BOOT")) return true;
    if (contains(name, "DOWNLOAD") || contains(name, "UART")) return false;
  }
  return ec == std::errc() && (strap & kStrapIo0High) != 0;
}

}  // namespace

ConnectFailure diagnoseConnectFailure(std::string_view received) {
  if (received.empty()) return ConnectFailure::kNothingReceived;
  const size_t boot = received.rfind("boot:0x");
  if (boot != std::string_view::npos) {
    const std::string_view line = received.substr(boot, received.find('\n', boot) - boot);
    if (flashBoot(line) || programLoads(received.substr(boot))) {
      return ConnectFailure::kProgramStarted;
    }
    return ConnectFailure::kLoaderSilent;
  }
  if (programLoads(received) || contains(received, "invalid header: 0x")) {
    return ConnectFailure::kProgramStarted;
  }
  return ConnectFailure::kNotTheLoader;
}

std::string_view connectFailureHint(ConnectFailure failure) {
  switch (failure) {
    case ConnectFailure::kNothingReceived:
      return "Nothing came from the chip: check the cable and that this is the board's port.";
    case ConnectFailure::kProgramStarted:
      return "The chip started its program instead of the loader: hold the BOOT (IO0) button "
             "while it resets, or check the board's auto-reset circuit.";
    case ConnectFailure::kLoaderSilent:
      return "The chip's loader started but did not answer: check the line from the adapter's TX "
             "to the chip, and the cable.";
    case ConnectFailure::kNotTheLoader:
      return "Something answered, but not the chip's loader: check the connection speed and that "
             "this is the board's port.";
  }
  return {};
}

}  // namespace flintmoor
