// The build step that makes the stub resource (resources/stub/StubImage.cmake), run as the build
// runs it: a JSON description or a layout file in, the resource layout out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/esp/StubLayout.h"

namespace flintmoor {
namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

class StubScriptTest : public ::testing::Test {
 protected:
  StubScriptTest() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::path(::testing::TempDir()) / (std::string("flintmoor_stub_") + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  ~StubScriptTest() override { fs::remove_all(dir_); }

  fs::path file(const std::string& name, const std::string& content) const {
    const fs::path p = dir_ / name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }

  // Runs the conversion; true with `layout` filled when it succeeded.
  bool convert(const fs::path& input, Bytes& layout) const {
    const fs::path hex = dir_ / "layout.hex";
    fs::remove(hex);
    const std::string cmd = "\"" FLINTMOOR_CMAKE_COMMAND "\" -DINPUT=\"" + input.string() +
                            "\" -DOUTPUT_HEX=\"" + hex.string() +
                            "\" -P \"" FLINTMOOR_STUB_SCRIPT "\" > \"" +
                            (dir_ / "cmake.log").string() + "\" 2>&1";
    if (std::system(cmd.c_str()) != 0) return false;
    std::ifstream in(hex);
    const std::string digits((std::istreambuf_iterator<char>(in)), {});
    layout.clear();
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
      layout.push_back(uint8_t(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return true;
  }

  fs::path dir_;
};

TEST_F(StubScriptTest, JsonDescriptionBecomesTheLayout) {
  Bytes text;
  for (int i = 0; i < 1000; ++i) text.push_back(uint8_t(i * 37 + 11));
  const Bytes data = {0xC0, 0xDB, 0x00, 0x01, 0xFF};
  Bytes layout;
  ASSERT_TRUE(convert(FLINTMOOR_TEST_DATA_DIR "/stub.json", layout));
  EXPECT_EQ(layout, stubLayout(text, 0x400BE000, 0x400BE024, data, 0x3FFDEBA8));
}

TEST_F(StubScriptTest, LayoutFileIsTakenWhenEveryFixedByteIsRight) {
  const Bytes image = stubLayout({'c', 'o', 'd', 'e'}, 0x40080000, 0x40080002, {}, 0x3FFE0000);
  Bytes layout;
  ASSERT_TRUE(convert(file("stub.bin", std::string(image.begin(), image.end())), layout));
  EXPECT_EQ(layout, image);

  Bytes damaged = image;
  damaged[image.size() - 7] ^= 0x01;  // the integer opcode before data_start
  EXPECT_FALSE(convert(file("damaged.bin", std::string(damaged.begin(), damaged.end())), layout));
}

TEST_F(StubScriptTest, FaultyDescriptionsStopTheBuild) {
  const std::string rest = R"("text_start": 1, "entry": 2, "data_start": 3})";
  const std::vector<std::string> faulty = {
      R"({"text": "QUJD", "data": "", "text_start": 1, "data_start": 3})",  // no entry
      R"({"text": "QU*D", "data": "", )" + rest,                            // not base64
      R"({"text": "QUJ", "data": "", )" + rest,                             // not a quad
      R"({"text": "QUJD", "data": "", "text_start": "1", "entry": 2, "data_start": 3})",
      R"({"text": "QUJD", "data": "", "text_start": 4294967296, "entry": 2, "data_start": 3})",
      R"({"text": "QUJD", "data": ")" + std::string(344, 'A') + "\", " + rest,  // 258 bytes
      "[1, 2, 3]",
  };
  Bytes layout;
  for (const std::string& json : faulty) {
    EXPECT_FALSE(convert(file("faulty.json", json), layout)) << json;
  }
  ASSERT_TRUE(convert(file("fine.json", R"({"text": "QUJD", "data": "", )" + rest), layout));
  EXPECT_EQ(layout, stubLayout({'A', 'B', 'C'}, 1, 2, {}, 3));
}

}  // namespace
}  // namespace flintmoor
