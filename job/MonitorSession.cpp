// The monitor's loop: read what the board prints (waiting at most kReadMs, so the keys are read
// in between without spinning), hand crash addresses to the decoder, send the keys, and follow
// the port when the board goes away.
#include "base/Error.h"
#include "comio/uComIo.h"
#include "job/Monitor.h"

namespace flintmoor {

MonitorSession::MonitorSession(TComIo& com, const PortInfo& port, MonitorOptions options,
                               MonitorHooks hooks, MonitorSink& sink, bool keepColours)
    : com_(com),
      port_(port),
      options_(std::move(options)),
      hooks_(std::move(hooks)),
      sink_(sink),
      text_(keepColours),
      keys_(options_.eol) {}

bool MonitorSession::stopping() {
  if (!quit_ && hooks_.interrupted && hooks_.interrupted()) quit_ = true;
  return quit_;
}

bool MonitorSession::open(const std::string& name, std::string& error) {
  try {
    com_.cPort.setPort(name);
    com_.cPort.setCustomBaudRate(options_.baud);
    com_.cPort.Open();
    return true;
  } catch (const EComPort& e) {
    error = e.what();
    try {
      com_.DisConnect();
    } catch (const std::exception&) {
    }
    return false;
  }
}

int MonitorSession::run() {
  if (!com_.cPort.Connected()) {
    std::string error;
    if (!open(port_.name, error)) {
      sink_.event("error", error);
      return 1;
    }
  }
  try {
    if (options_.reset) resetChip();
    com_.cPort.setCustomBaudRate(options_.baud);
  } catch (const EComPort&) {
    waitForPort();
  }
  while (!stopping()) {
    try {
      handleKeys();
      if (quit_) break;
      readChunk();
    } catch (const EComPort&) {
      waitForPort();
    }
    takeDecoded();
  }
  if (const std::optional<std::string> rest = text_.finish()) {
    sink_.shown("\n");
    sink_.line(*rest);
  }
  if (hooks_.decoder != nullptr) {
    hooks_.decoder->drain(kDecodeWaitMs);
    takeDecoded();
  }
  try {
    com_.DisConnect();
  } catch (const std::exception&) {
  }
  return 0;
}

void MonitorSession::handleKeys() {
  if (!hooks_.keys) return;
  const std::string typed = hooks_.keys();
  if (typed.empty()) return;
  for (const MonitorStep& step : keys_.feed(typed)) {
    switch (step.action) {
      case MonitorAction::kSend:
        if (com_.cPort.Connected()) {
          com_.cPort.Write(reinterpret_cast<const uint8_t*>(step.bytes.data()), step.bytes.size());
        }
        break;
      case MonitorAction::kQuit:
        quit_ = true;
        return;
      case MonitorAction::kReset:
        if (com_.cPort.Connected()) resetChip();
        break;
      case MonitorAction::kHelp:
        sink_.event("help", MonitorKeys::help());
        break;
    }
  }
}

void MonitorSession::resetChip() {
  com_.DoReset();
  com_.cPort.setCustomBaudRate(options_.baud);
}

void MonitorSession::readChunk() {
  int b = com_.cPort.ReadByte(kReadMs);
  if (b < 0) return;
  std::string bytes(1, static_cast<char>(b));
  while (bytes.size() < kChunk && (b = com_.cPort.ReadByte(0)) >= 0) {
    bytes += static_cast<char>(b);
  }
  show(bytes);
}

void MonitorSession::show(std::string_view bytes) {
  std::string shown;
  std::vector<std::string> lines;
  text_.feed(bytes, shown, lines);
  sink_.shown(shown);
  for (const std::string& line : lines) {
    sink_.line(line);
    if (hooks_.decoder == nullptr) continue;
    std::vector<uint32_t> addresses = crashAddresses(line);
    if (!addresses.empty()) hooks_.decoder->request(std::move(addresses));
  }
}

void MonitorSession::takeDecoded() {
  if (hooks_.decoder == nullptr) return;
  for (const DecodedAddress& d : hooks_.decoder->take()) sink_.decoded(d);
}

// The port failed: the board was unplugged or re-enumerated at its reset. Wait for a port with
// its identity and open it again, reading the keys meanwhile so that the user can still quit.
void MonitorSession::waitForPort() {
  try {
    com_.DisConnect();
  } catch (const std::exception&) {
  }
  if (const std::optional<std::string> rest = text_.finish()) sink_.line(*rest);
  sink_.event("disconnected", "Disconnected");
  int64_t nextTryMs = com_.clock().nowMs() + kRetryMs;
  while (!stopping()) {
    handleKeys();
    takeDecoded();
    if (quit_) return;
    com_.clock().sleepMs(kReadMs);
    if (com_.clock().nowMs() < nextTryMs) continue;
    nextTryMs = com_.clock().nowMs() + kRetryMs;
    const std::string name = hooks_.find ? hooks_.find(port_) : reconnectPort(port_, {});
    std::string error;
    if (name.empty() || !open(name, error)) continue;
    port_.name = name;
    try {
      com_.cPort.setCustomBaudRate(options_.baud);
    } catch (const EComPort&) {
      continue;
    }
    sink_.event("reconnected", "Reconnected");
    return;
  }
}

}  // namespace flintmoor
