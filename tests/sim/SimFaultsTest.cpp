// Parsing the fault switches from "NAME" and "NAME:N".
#include <gtest/gtest.h>

#include <string>

#include "base/Error.h"
#include "sim/SimFaults.h"

namespace flintmoor {
namespace {

std::string errorOf(const char* text) {
  try {
    parseSimFault(text);
  } catch (const Exception& e) {
    return e.what();
  }
  return "accepted";
}

TEST(SimFaults, EveryListedNameParsesToItsKindAtTheFirstOpportunity) {
  const auto& names = simFaultNames();
  ASSERT_EQ(names.size(), 22u);
  EXPECT_EQ(names[13], "inflate-fail");
  EXPECT_EQ(names[14], "bridge-limit");
  EXPECT_EQ(names[15], "no-boot-strap");
  EXPECT_EQ(names[16], "rx-overflow");
  EXPECT_EQ(names[17], "no-flash-id");
  EXPECT_EQ(names[18], "mem-fail");
  EXPECT_EQ(names[19], "drop-ack");
  EXPECT_EQ(names[20], "panic");
  EXPECT_EQ(names[21], "replug");
  for (size_t i = 0; i < names.size(); ++i) {
    SimFault f = parseSimFault(names[i]);
    EXPECT_EQ(static_cast<size_t>(f.kind), i) << names[i];
    EXPECT_EQ(f.position, 0u) << names[i];
    EXPECT_EQ(simFaultName(f.kind), names[i]);
  }
}

TEST(SimFaults, PositionNamesTheNthFlashDataBlockCountingFromZero) {
  EXPECT_EQ(parseSimFault("flash-fail:2"), (SimFault{SimFaultKind::kFlashFail, 2}));
  EXPECT_EQ(parseSimFault("unplug:0"), (SimFault{SimFaultKind::kUnplug, 0}));
  EXPECT_EQ(parseSimFault("flash-corrupt:4294967295"),
            (SimFault{SimFaultKind::kFlashCorrupt, 4294967295u}));
  for (const char* kind : {"flash-fail", "drop-answer", "bad-escape", "unplug", "flash-corrupt",
                           "inflate-fail", "rx-overflow", "mem-fail", "drop-ack"}) {
    EXPECT_EQ(parseSimFault(std::string(kind) + ":7").position, 7u) << kind;
  }
  // The application's faults count seconds.
  EXPECT_EQ(parseSimFault("panic:3"), (SimFault{SimFaultKind::kPanic, 3}));
  EXPECT_EQ(parseSimFault("replug:2"), (SimFault{SimFaultKind::kReplug, 2}));
}

TEST(SimFaults, RejectsUnknownNamesBadNumbersAndNeedlessPositions) {
  std::string unknown = errorOf("flash-fial");
  EXPECT_EQ(unknown.rfind("Unknown simulator fault \"flash-fial\"", 0), 0u) << unknown;
  EXPECT_NE(unknown.find("flash-fail"), std::string::npos) << "lists the valid names";
  EXPECT_NE(errorOf("FLASH-FAIL"), "accepted") << "names are exact";
  for (const char* bad : {"flash-fail:", "flash-fail:x", "flash-fail:-1", "flash-fail:1x",
                          "flash-fail:4294967296", "flash-fail: 1"}) {
    EXPECT_EQ(errorOf(bad), "Bad position in simulator fault \"" + std::string(bad) + "\"") << bad;
  }
  EXPECT_EQ(errorOf("silent:1"), "Simulator fault \"silent\" takes no position");
  EXPECT_EQ(errorOf("bridge-limit:1"), "Simulator fault \"bridge-limit\" takes no position");
  EXPECT_NE(errorOf(""), "accepted");
}

}  // namespace
}  // namespace flintmoor
