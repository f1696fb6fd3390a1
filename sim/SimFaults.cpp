// Names and parsing of the virtual ESP32's fault switches.
#include "sim/SimFaults.h"

#include <charconv>

#include "base/Error.h"

namespace flintmoor {

const std::vector<std::string_view>& simFaultNames() {
  static const std::vector<std::string_view> names = {
      "silent",        "chatter",      "s2",           "unknown-chip",
      "slow-en",       "no-baud",      "stub-silent",  "stub-bad-greeting",
      "flash-fail",    "drop-answer",  "bad-escape",   "unplug",
      "flash-corrupt", "inflate-fail", "bridge-limit", "no-boot-strap",
      "rx-overflow",   "no-flash-id",  "mem-fail",     "drop-ack",
      "panic",         "replug"};
  return names;
}

std::string_view simFaultName(SimFaultKind kind) {
  return simFaultNames().at(static_cast<size_t>(kind));
}

bool simFaultTakesPosition(SimFaultKind kind) {
  switch (kind) {
    case SimFaultKind::kFlashFail:
    case SimFaultKind::kDropAnswer:
    case SimFaultKind::kBadEscape:
    case SimFaultKind::kUnplug:
    case SimFaultKind::kFlashCorrupt:
    case SimFaultKind::kInflateFail:
    case SimFaultKind::kRxOverflow:
    case SimFaultKind::kMemFail:
    case SimFaultKind::kDropAck:
    case SimFaultKind::kPanic:
    case SimFaultKind::kReplug:
      return true;
    default:
      return false;
  }
}

namespace {
std::string nameList() {
  std::string list;
  for (std::string_view name : simFaultNames()) {
    if (!list.empty()) list += ", ";
    list += name;
  }
  return list;
}
}  // namespace

SimFault parseSimFault(std::string_view text) {
  std::string_view name = text;
  std::string_view number;
  bool hasNumber = false;
  if (size_t colon = text.find(':'); colon != std::string_view::npos) {
    name = text.substr(0, colon);
    number = text.substr(colon + 1);
    hasNumber = true;
  }
  const auto& names = simFaultNames();
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] != name) continue;
    SimFault fault{static_cast<SimFaultKind>(i), 0};
    if (!hasNumber) return fault;
    if (!simFaultTakesPosition(fault.kind)) {
      throw Exception("Simulator fault \"" + std::string(name) + "\" takes no position");
    }
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), fault.position);
    if (number.empty() || ec != std::errc() || end != number.data() + number.size()) {
      throw Exception("Bad position in simulator fault \"" + std::string(text) + "\"");
    }
    return fault;
  }
  throw Exception("Unknown simulator fault \"" + std::string(text) + "\" (known: " + nameList() +
                  ")");
}

}  // namespace flintmoor
