// Throughput of the update job on the virtual ESP32, in virtual time: an application image written
// through the ROM loader (first to a blank chip, then unchanged, then with one 64 KiB region
// changed, and once over a chip full of other data) and through the flasher stub; and the image
// read back through the ROM loader; then the command line's write, read and chip erase through the
// ROM loader and through the flasher stub's fast commands.
// Usage: flash_bench APP_IMAGE [BAUD]
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "comio/uComIo.h"
#include "esp/Chip.h"
#include "esp/Deflate.h"
#include "job/Flasher.h"
#include "job/JobView.h"
#include "log/Log.h"
#include "sim/SimSerialDevice.h"
#include "sim/VirtualEsp32.h"

namespace flintmoor {
namespace {

// The virtual chip with the flash the chip table gives the chip it plays.
VirtualEsp32Options chipTableFlash() {
  VirtualEsp32Options options;
  options.flashSize = defaultChip().flash.size;
  return options;
}

class QuietLog : public Log {
 protected:
  void addLine(std::string) override {}
  void clearLines() override {}
};

class QuietView : public JobView {
 public:
  std::string status;
  std::string error;
  std::string portName() override { return VirtualEsp32::kPortName; }
  void setStatusText(const std::string& text) override { status = text; }
  int execute(const std::string& msgText, TMsgDlgType dlgType, const std::string&, TMsgBut,
              bool) override {
    if (dlgType == mtError) error = msgText;
    return mrYes;
  }
  void jobEvent(const JobEvent&) override {}
};

std::vector<uint8_t> readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "flash_bench: cannot read %s\n", path.c_str());
    std::exit(2);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeAll(const std::filesystem::path& path, const std::vector<uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// One board on its own virtual clock; each run() is one whole update job (connect to reset).
class Bench {
 public:
  explicit Bench(uint32_t baud) { config_.FastBaud = baud; }

  VirtualEsp32& chip() { return chip_; }

  double run(bool romOnly, const std::array<std::string, 3>& files) {
    return runPlan(romOnly, updatePlan(files));
  }

  double runPlan(bool romOnly, const JobPlan& plan) {
    TComIo com(
        clock_,
        [this](const std::string&) -> std::unique_ptr<SerialDevice> {
          return std::make_unique<SimSerialDevice>(chip_);
        },
        PortLister{});
    QuietView view;
    Flasher flasher(com, log_, view, config_);
    FlashJob& job = flasher.job;
    job.RomOnly = romOnly;
    job.VirtualChip = true;
    const int64_t start = clock_.nowUs();
    if (!job.run(plan)) {
      std::fprintf(stderr, "flash_bench: the job failed: %s\n", view.error.c_str());
      std::exit(1);
    }
    return static_cast<double>(clock_.nowUs() - start) / 1e6;
  }

 private:
  VirtualClock clock_;
  VirtualEsp32 chip_{clock_, chipTableFlash()};
  QuietLog log_;
  TConfig config_;
};

}  // namespace
}  // namespace flintmoor

int main(int argc, char** argv) {
  using namespace flintmoor;
  if (argc < 2) {
    std::fprintf(stderr, "usage: flash_bench APP_IMAGE [BAUD]\n");
    return 2;
  }
  const uint32_t baud =
      argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 921600;
  const std::vector<uint8_t> app = readAll(argv[1]);
  if (app.size() < 0x20000 || app.size() > 0x300000) {
    std::fprintf(stderr, "flash_bench: the image must hold 128 KiB to 3 MiB\n");
    return 2;
  }

  // The bootloader and the partition table: pieces of the same compiled code, of their sizes.
  std::vector<uint8_t> boot(app.begin(), app.begin() + 24576);
  boot[0] = 0xE9;
  const std::vector<uint8_t> part(app.begin() + 24576, app.begin() + 24576 + 3072);
  std::vector<uint8_t> changed = app;
  for (size_t i = 5 * 0x10000; i < 6 * 0x10000; ++i) changed[i] = static_cast<uint8_t>(~changed[i]);

  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("flintmoor_bench-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir);
  writeAll(dir / "boot.bin", boot);
  writeAll(dir / "part.bin", part);
  writeAll(dir / "app.bin", app);
  writeAll(dir / "changed.bin", changed);
  auto files = [&](const char* application) {
    return std::array<std::string, 3>{(dir / "boot.bin").string(), (dir / "part.bin").string(),
                                      (dir / application).string()};
  };

  const double lineKbit = baud * 0.8 / 1000.0;  // 8 data bits of every 10 on the line
  const double appKbit = static_cast<double>(app.size()) * 8 / 1000.0;
  std::printf(
      "application %zu bytes, zlib level 9: %.3f of its size; line %u bit/s, %.1f kbit/s "
      "of data\n",
      app.size(), static_cast<double>(zlibCompress(app).size()) / app.size(), baud, lineKbit);
  std::printf("whole update job (connect, bootloader %zu, partitions %zu, application, reset)\n",
              boot.size(), part.size());
  std::printf("%-44s %9s %12s %11s\n", "case", "seconds", "app kbit/s", "line ratio");
  auto report = [&](const char* name, double seconds) {
    const double kbit = appKbit / seconds;
    std::printf("%-44s %9.3f %12.1f %11.3f\n", name, seconds, kbit, kbit / lineKbit);
  };

  Bench rom(baud);
  report("ROM loader, first write to a blank chip", rom.run(true, files("app.bin")));
  report("ROM loader, the same image again", rom.run(true, files("app.bin")));
  report("ROM loader, one 64 KiB region changed", rom.run(true, files("changed.bin")));

  Bench full(baud);
  for (uint8_t& b : full.chip().flash().bytes()) b = 0x5A;
  report("ROM loader, first write over other data", full.run(true, files("app.bin")));

  Bench stub(baud);
  report("flasher stub, first write to a blank chip", stub.run(false, files("app.bin")));

  // Reading the application back: 64 bytes per READ_FLASH_SLOW, then the chip's MD5 of it.
  JobPlan read;
  read.kind = JobPlan::Kind::kRead;
  read.address = 0x10000;
  read.size = static_cast<uint32_t>(app.size());
  read.outFile = (dir / "read.bin").string();
  const double readSeconds = rom.runPlan(true, read);
  std::printf("%-44s %9.3f %12.1f %11.3f\n", "read the application back (whole job)", readSeconds,
              appKbit / readSeconds, appKbit / readSeconds / lineKbit);

  // The command line's jobs: the application alone at 0x10000 (write), read back, the chip erased;
  // through the ROM loader and through the flasher stub's fast commands, with the USB bridge's
  // turnaround of the virtual chip's default timings.
  std::printf("\ncommand line jobs (whole job each), bridge turnaround %lld us\n",
              static_cast<long long>(SimTimings{}.bridgeLatencyUs));
  auto writeApp = [&](const char* application, bool fast) {
    JobPlan plan;
    plan.images = {{(dir / application).string(), 0x10000, false}};
    plan.eraseWholeBlocks = false;
    plan.fastWrites = fast;
    return plan;
  };
  JobPlan erase;
  erase.kind = JobPlan::Kind::kErase;
  for (const bool viaStub : {false, true}) {
    const char* way = viaStub ? "stub" : "ROM ";
    auto line = [&](const char* what, double seconds) {
      const std::string name = std::string(way) + " " + what;
      report(name.c_str(), seconds);
    };
    Bench b(baud);
    line("write, blank chip", b.runPlan(!viaStub, writeApp("app.bin", true)));
    line("write, unchanged", b.runPlan(!viaStub, writeApp("app.bin", true)));
    line("write, one 64 KiB region changed", b.runPlan(!viaStub, writeApp("changed.bin", true)));
    read.fastWrites = true;
    line("read the image (1 MiB)", b.runPlan(!viaStub, read));
    Bench over(baud);
    for (uint8_t& byte : over.chip().flash().bytes()) byte = 0x5A;
    line("write, over other data", over.runPlan(!viaStub, writeApp("app.bin", true)));
    line("chip erase, full 4 MB flash", over.runPlan(!viaStub, erase));
  }

  std::filesystem::remove_all(dir);
  return 0;
}
