// The common set-up of the protocol tests: a TEsp on a real TComIo whose port is a scripted line,
// all on a virtual clock, logging into memory.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "comio/uComIo.h"
#include "esp/uEsp.h"
#include "log/Log.h"
#include "tests/esp/ScriptedDevice.h"

namespace flintmoor {

using testing::cat;
using testing::words;

class EspTest : public ::testing::Test {
 protected:
  EspTest() {
    com.cPort.setPort("SCRIPT");
    com.cPort.Open();
  }

  // The standard answers: ROM style (four status bytes) and stub style (two).
  static std::vector<uint8_t> ok(uint8_t op, uint32_t value = 0) {
    return ScriptedLine::reply(op, {0, 0, 0, 0}, value);
  }
  static std::vector<uint8_t> failed(uint8_t op, uint8_t error) {
    return ScriptedLine::reply(op, {1, error});
  }

  VirtualClock clock;
  ScriptedLine line{clock};
  TComIo com{clock, line.factory(), [] { return std::vector<std::string>{}; }};
  MemoryLog log;
  std::unique_ptr<TEsp> esp = std::make_unique<TEsp>(com, log);
};

}  // namespace flintmoor
