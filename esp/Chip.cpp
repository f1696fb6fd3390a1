// The chip table: the ESP32 and the ESP32-S2.
#include "esp/Chip.h"

namespace flintmoor {

namespace {

constexpr FlashGeometry kFlash4MiB = {
    .size = 4u << 20, .sector = 0x1000, .block = 0x10000, .page = 0x100};

constexpr ChipDescription kChips[] = {
    {.cpu = cESP32,
     .name = "ESP32",
     .idValue = 0x00F01D83,
     .macLowRegister = 0x3FF5A004,
     .macHighRegister = 0x3FF5A008,
     .macHighFirst = false,
     .flash = kFlash4MiB,
     .largestFlash = 16u << 20,
     .jobsSupported = true,
     .stub = {.resource = "STUB_ESP32",
              .blockSize = 6144,
              .singleTextBlockAnnouncedAsZero = true,
              .beginTimeoutMs = 200,
              .dataTimeoutMs = 500,
              .endTimeoutMs = 200,
              .greetTimeoutMs = 200,
              .textBeginError = "Error MEM_BEGIN",
              .textDataError = "Error MEM_DATA",
              .textDataErrorWithResult = false,
              .dataBeginError = "Error MEM_BEGIN",
              .dataDataError = "Error MEM_DATA"}},
    {.cpu = cESP32S2,
     .name = "ESP32-S2",
     .idValue = 0x000007C6,
     .macLowRegister = 0x3F41A044,
     .macHighRegister = 0x3F41A048,
     .macHighFirst = true,
     .flash = kFlash4MiB,
     .largestFlash = 16u << 20,
     .jobsSupported = false,
     .stub = {.resource = "STUB_ESP32S2",
              .blockSize = 2048,
              .singleTextBlockAnnouncedAsZero = false,
              .beginTimeoutMs = 100,
              .dataTimeoutMs = 500,
              .endTimeoutMs = 100,
              .greetTimeoutMs = 100,
              .textBeginError = "Error MEM_BEGIN-TEXT",
              .textDataError = "Error MEM_DATA-TEXT ",
              .textDataErrorWithResult = true,
              .dataBeginError = "Error MEM_BEGIN-DATA",
              .dataDataError = "Error MEM_DATA-DATA"}},
};

}  // namespace

std::span<const ChipDescription> chipTable() {
  return kChips;
}

const ChipDescription* findChipById(std::span<const ChipDescription> table, uint32_t id) {
  for (const ChipDescription& chip : table) {
    if (chip.idValue == id) return &chip;
  }
  return nullptr;
}

const ChipDescription& chipDescription(TController cpu) {
  for (const ChipDescription& chip : kChips) {
    if (chip.cpu == cpu) return chip;
  }
  return kChips[0];
}

std::string flashSizeText(uint32_t bytes) {
  constexpr uint32_t kMiB = 1u << 20;
  if (bytes >= kMiB && bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MB";
  return std::to_string(bytes / 1024) + " KB";
}

}  // namespace flintmoor
