// The stub model against the request/answer vectors the firmware passes under emulation: every
// request goes through the virtual UART as a SLIP frame after the model's stub has greeted, and
// every answer must match byte for byte. FLINTMOOR_STUB_VECTORS in the environment names another
// vectors file (a newer one of the firmware's).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "SimHarness.h"

namespace flintmoor::simtest {
namespace {

struct VectorLine {
  int number;
  std::string kind;  // ">", "<", ">>" or "<<"
  Bytes bytes;
};

struct VectorCase {
  std::string name;
  std::vector<VectorLine> lines;
};

// "XX" or "XX*N" tokens; false on anything else.
bool parseBytes(std::istringstream& in, Bytes& out) {
  for (std::string token; in >> token;) {
    size_t star = token.find('*');
    std::string hex = token.substr(0, star);
    if (hex.size() != 2 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      return false;
    }
    auto byte = static_cast<uint8_t>(std::stoul(hex, nullptr, 16));
    size_t count = star == std::string::npos ? 1 : std::stoul(token.substr(star + 1));
    out.insert(out.end(), count, byte);
  }
  return true;
}

std::vector<VectorCase> loadVectors(const std::string& path) {
  std::ifstream file(path);
  EXPECT_TRUE(file.good()) << "cannot read " << path;
  std::vector<VectorCase> cases;
  std::string text;
  for (int number = 1; std::getline(file, text); ++number) {
    std::istringstream in(text);
    std::string kind;
    if (!(in >> kind) || kind[0] == '#') continue;
    if (kind == "case") {
      cases.push_back({});
      in >> cases.back().name;
      continue;
    }
    VectorLine line{number, kind, {}};
    bool known = kind == ">" || kind == "<" || kind == ">>" || kind == "<<";
    EXPECT_TRUE(known && !cases.empty() && parseBytes(in, line.bytes))
        << path << ":" << number << ": " << text;
    if (known && !cases.empty()) cases.back().lines.push_back(std::move(line));
  }
  return cases;
}

std::string vectorsPath() {
  const char* path = std::getenv("FLINTMOOR_STUB_VECTORS");
  return path != nullptr && *path != 0 ? path : FLINTMOOR_STUB_VECTORS_FILE;
}

class StubVectors : public SimBench {};

TEST_F(StubVectors, EveryAnswerMatchesTheFirmwaresByteForByte) {
  std::vector<VectorCase> cases = loadVectors(vectorsPath());
  ASSERT_FALSE(cases.empty());
  connect();
  startStub();
  for (const VectorCase& c : cases) {
    for (const VectorLine& line : c.lines) {
      SCOPED_TRACE("case " + c.name + ", line " + std::to_string(line.number));
      if (line.kind[0] == '>') {
        send(testing::slip(line.bytes));
        continue;
      }
      // Answers may wait for a chip erase: seconds of virtual time.
      std::optional<Bytes> frame = readFrame(60'000);
      ASSERT_TRUE(frame.has_value()) << "no frame";
      EXPECT_EQ(*frame, line.bytes);
    }
  }
  EXPECT_TRUE(drain().empty()) << "nothing beyond the expected answers";
}

}  // namespace
}  // namespace flintmoor::simtest
