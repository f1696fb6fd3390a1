// What the tool knows about each chip of the family, in one table: its name, the value of its
// identification register, where its MAC address lies, its flash geometry, and how its flasher
// stub is uploaded. Adding a chip is one row here (plus the virtual chip's register values).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace flintmoor {

// The chips the tool tells apart; cNONE for one it does not know.
enum TController { cNONE, cESP32, cESP32S2 };

// Every chip of the family answers its identification at this address.
constexpr uint32_t kChipIdRegister = 0x40001000;

struct FlashGeometry {
  uint32_t size;    // bytes: 4 MiB until the flash chip's own size is detected
  uint32_t sector;  // the smallest erase, bytes
  uint32_t block;   // the large erase, bytes
  uint32_t page;    // the program unit, bytes
};

// How the ROM loader takes the flasher stub: MEM_BEGIN/MEM_DATA per segment, MEM_END, "OHAI".
// Time-outs in milliseconds; the texts are the messages raised when a step gets no answer.
struct StubUpload {
  const char* resource;  // the built-in stub image's name ("STUB_ESP32")
  uint32_t blockSize;    // MEM_DATA bytes per block
  // The ESP32's ROM exchange announces 0 blocks for a text segment that goes in one block.
  bool singleTextBlockAnnouncedAsZero;
  int32_t beginTimeoutMs;
  int32_t dataTimeoutMs;
  int32_t endTimeoutMs;
  int32_t greetTimeoutMs;
  const char* textBeginError;
  const char* textDataError;
  bool textDataErrorWithResult;  // the text's MEM_DATA message ends with the read's result code
  const char* dataBeginError;
  const char* dataDataError;
};

struct ChipDescription {
  TController cpu;
  const char* name;  // as shown: "ESP32"
  uint32_t idValue;  // what kChipIdRegister holds
  uint32_t macLowRegister;
  uint32_t macHighRegister;
  bool macHighFirst;  // the order the two MAC words are read in
  FlashGeometry flash;
  // The largest flash the chip addresses, bytes: what addresses are checked against before the
  // flash's own size is detected.
  uint32_t largestFlash;
  bool jobsSupported;  // the flash jobs run on it (others are named and refused)
  StubUpload stub;
};

// The built-in rows: the ESP32 first, the ESP32-S2.
std::span<const ChipDescription> chipTable();

// The row whose idValue is `id` in `table`; nullptr for a chip the table does not know.
const ChipDescription* findChipById(std::span<const ChipDescription> table, uint32_t id);

// The built-in row of `cpu`; the ESP32's for cNONE.
const ChipDescription& chipDescription(TController cpu);

// The chip the jobs write: what the command line checks addresses against before connecting.
inline const ChipDescription& defaultChip() {
  return chipDescription(cESP32);
}

// "4 MB" for a flash of 4 MiB; "512 KB" below 1 MiB.
std::string flashSizeText(uint32_t bytes);

}  // namespace flintmoor
