// The virtual chip's flash array: NOR programming, sector erase, bounds, MD5 and its file image.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/Error.h"
#include "sim/SimFlash.h"
#include "tests/support/TempDir.h"

namespace flintmoor {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(SimFlash, StartsErasedAndProgrammingOnlyClearsBits) {
  SimFlash f;
  EXPECT_TRUE(f.isBlank());
  f.program(0x100, Bytes{0xF0, 0x0F});
  f.program(0x100, Bytes{0x3C, 0x3C});
  EXPECT_EQ(f.bytes()[0x100], 0x30);
  EXPECT_EQ(f.bytes()[0x101], 0x0C);
  EXPECT_FALSE(f.isBlank());
}

TEST(SimFlash, EraseCoversWholeSectors) {
  SimFlash f;
  std::fill(f.bytes().begin(), f.bytes().begin() + 0x4000, 0x00);
  f.eraseSectors(0x1FFF, 2);  // touches 0x1000 and 0x2000
  EXPECT_EQ(f.bytes()[0x0FFF], 0x00);
  EXPECT_EQ(f.bytes()[0x1000], 0xFF);
  EXPECT_EQ(f.bytes()[0x2FFF], 0xFF);
  EXPECT_EQ(f.bytes()[0x3000], 0x00);
  EXPECT_EQ(SimFlash::sectorsCovering(0x1FFF, 2), 2u);
  EXPECT_EQ(SimFlash::sectorsCovering(0x1000, 4096), 1u);
  EXPECT_EQ(SimFlash::sectorsCovering(0x1000, 0), 0u);
  EXPECT_EQ(SimFlash::pagesCovering(0x10FF, 2), 2u);
  EXPECT_EQ(SimFlash::pagesCovering(0x1000, 4096), 16u);
  f.eraseAll();
  EXPECT_TRUE(f.isBlank());
}

TEST(SimFlash, CountsTheBlankSectorsARegionTouches) {
  SimFlash f;
  EXPECT_EQ(f.blankSectorsIn(0x1FFF, 2), 2u);
  f.bytes()[0x1FFF] = 0x7F;  // last byte of the sector at 0x1000
  f.bytes()[0x3000] = 0x00;  // first byte of the sector at 0x3000
  EXPECT_EQ(f.blankSectorsIn(0x1FFF, 2), 1u);
  EXPECT_EQ(f.blankSectorsIn(0x0000, 0x5000), 3u);
  EXPECT_EQ(f.blankSectorsIn(0x2000, 0x1001), 1u) << "a region ending in a sector touches it";
  EXPECT_EQ(f.blankSectorsIn(0x2000, 0), 0u);
}

TEST(SimFlash, ContainsRejectsRegionsPastTheEndOrWrappingAround) {
  EXPECT_TRUE(SimFlash::contains(0, 4u << 20));
  EXPECT_TRUE(SimFlash::contains(4u << 20, 0));
  EXPECT_FALSE(SimFlash::contains((4u << 20) - 1, 2));
  EXPECT_FALSE(SimFlash::contains(0xFFFFF000, 0x2000));
  EXPECT_FALSE(SimFlash::contains(0x1000, 0xFFFFFFFF));
}

class SimFlashFile : public ::testing::Test {
 protected:
  std::string path(const char* name) const { return dir_.file(name); }

  flintmoor::testing::TempDir dir_;
};

TEST_F(SimFlashFile, SavesTheWholeFlashAndLoadsItBack) {
  SimFlash f;
  f.program(0x10000, Bytes{1, 2, 3});
  f.save(path("flash.bin"));
  EXPECT_EQ(std::filesystem::file_size(path("flash.bin")), SimFlash::kSize);
  EXPECT_FALSE(std::filesystem::exists(path("flash.bin.tmp")));
  SimFlash g;
  g.load(path("flash.bin"));
  EXPECT_TRUE(std::equal(f.bytes().begin(), f.bytes().end(), g.bytes().begin()));
}

TEST_F(SimFlashFile, ShortFileLeavesTheRestErasedAndOversizedOrMissingFilesFail) {
  {
    std::ofstream out(path("short.bin"), std::ios::binary);
    out << "xyz";
  }
  SimFlash f;
  f.program(0x5000, Bytes{0});
  f.load(path("short.bin"));
  EXPECT_EQ(f.bytes()[0], 'x');
  EXPECT_EQ(f.bytes()[2], 'z');
  EXPECT_EQ(f.bytes()[3], 0xFF);
  EXPECT_EQ(f.bytes()[0x5000], 0xFF);

  std::filesystem::resize_file(path("short.bin"), SimFlash::kSize + 1);
  EXPECT_THROW(f.load(path("short.bin")), Exception);
  EXPECT_EQ(f.bytes()[0], 'x') << "a refused file leaves the flash as it was";
  EXPECT_THROW(f.load(path("missing.bin")), Exception);
  EXPECT_THROW(f.save(path("no-such-dir/flash.bin")), Exception);
}

TEST_F(SimFlashFile, ASizeOtherThan4MiBBoundsRegionsFilesAndTheId) {
  EXPECT_THROW(SimFlash(3u << 20), Exception);
  EXPECT_THROW(SimFlash(32u << 20), Exception);
  SimFlash f(8u << 20);
  EXPECT_EQ(f.size(), 8u << 20);
  EXPECT_EQ(f.jedecId(), 0x1740C8u);
  EXPECT_TRUE(f.holds(0x7FF000, 0x1000));
  EXPECT_FALSE(f.holds(0x7FF000, 0x1001));
  EXPECT_FALSE(f.holds(0xFFFFF000, 0x2000));
  f.program(0x7FFFFF, Bytes{0x42});
  f.save(path("big.bin"));
  EXPECT_EQ(std::filesystem::file_size(path("big.bin")), 8u << 20);
  SimFlash g(8u << 20);
  g.load(path("big.bin"));
  EXPECT_EQ(g.bytes()[0x7FFFFF], 0x42);
  SimFlash small;
  EXPECT_THROW(small.load(path("big.bin")), Exception) << "8 MiB do not fit 4 MiB";
}

}  // namespace
}  // namespace flintmoor
