// Reading why no loader answered from the text the chip sent outside frames: the ROM's boot text
// as the ESP32 prints it at 115200 bit/s, an application's start, silence, and noise.
#include <gtest/gtest.h>

#include <string>

#include "job/ConnectDiagnosis.h"

namespace flintmoor {
namespace {

using F = ConnectFailure;

const std::string kEts = "\r\nets Jul 29 2019 12:21:46\r\n\r\n";

TEST(ConnectDiagnosis, AFlashBootBannerMeansTheProgramStarted) {
  const std::string flashBoot = kEts +
                                "rst:0x1 (POWERON_RESET),boot:0x13 (SPI_FAST_FLASH_BOOT)\r\n"
                                "configsip: 0, SPIWP:0xee\r\n"
                                "mode:DIO, clock div:1\r\n"
                                "load:0x3fff0018,len:4\r\n"
                                "entry 0x40080400\r\n";
  EXPECT_EQ(diagnoseConnectFailure(flashBoot), F::kProgramStarted);
  // The strapping value alone decides when the name is unknown or cut off: 0x10 is IO0 high.
  EXPECT_EQ(diagnoseConnectFailure("rst:0x1 (POWERON_RESET),boot:0x33 (SPI_FAST_FLASH_BOOT)"),
            F::kProgramStarted);
  EXPECT_EQ(diagnoseConnectFailure("rst:0x1 (POWERON_RESET),boot:0x1b\r\n"), F::kProgramStarted);
  // Blank flash: the ROM's complaint repeats, and may have pushed the banner out.
  EXPECT_EQ(diagnoseConnectFailure("invalid header: 0xffffffff\r\ninvalid header: 0xffffffff\r\n"),
            F::kProgramStarted);
  // Only the end of an application's start survived.
  EXPECT_EQ(diagnoseConnectFailure("len:4\r\nload:0x40078000,len:16\r\nentry 0x4008041c\r\n"),
            F::kProgramStarted);
}

TEST(ConnectDiagnosis, ADownloadBootBannerWithoutAnAnswerMeansTheLoaderWasSilent) {
  for (const std::string line :
       {"rst:0x1 (POWERON_RESET),boot:0x3 (DOWNLOAD_BOOT(UART0/UART1/SDIO_REI_REO_V2))\r\n"
        "waiting for download\r\n",
        "rst:0x1 (POWERON_RESET),boot:0xf (UART_BOOT(UART0))\r\n",
        "rst:0x1 (POWERON_RESET),boot:0x23 (DOWNLOAD_BOOT(UART0/UART1/SDIO_FEI_REO_V2))\r\n"}) {
    EXPECT_EQ(diagnoseConnectFailure(kEts + line), F::kLoaderSilent) << line;
  }
}

TEST(ConnectDiagnosis, TheLastResetDecides) {
  const std::string flash = kEts + "rst:0x1 (POWERON_RESET),boot:0x13 (SPI_FAST_FLASH_BOOT)\r\n";
  const std::string download = kEts + "rst:0x1 (POWERON_RESET),boot:0x3 (DOWNLOAD_BOOT(UART0))\r\n";
  EXPECT_EQ(diagnoseConnectFailure(flash + download), F::kLoaderSilent);
  EXPECT_EQ(diagnoseConnectFailure(download + flash), F::kProgramStarted);
  // An application loaded after a download boot's banner (a strap that let go too early).
  EXPECT_EQ(diagnoseConnectFailure(download + "load:0x3fff0018,len:4\r\n"), F::kProgramStarted);
}

TEST(ConnectDiagnosis, SilenceAndNoiseEachHaveTheirOwnKind) {
  EXPECT_EQ(diagnoseConnectFailure(""), F::kNothingReceived);
  EXPECT_EQ(diagnoseConnectFailure(std::string("\x9d\x3f\xe1\x00\x7f\x81", 6)), F::kNotTheLoader);
  EXPECT_EQ(diagnoseConnectFailure("I (312) app: hello\r\n"), F::kNotTheLoader);
  EXPECT_EQ(diagnoseConnectFailure("boot:0x"), F::kLoaderSilent) << "a cut value is no flash boot";
}

TEST(ConnectDiagnosis, EveryKindHasAOneLineHint) {
  EXPECT_EQ(connectFailureHint(F::kProgramStarted),
            "The chip started its program instead of the loader: hold the BOOT (IO0) button "
            "while it resets, or check the board's auto-reset circuit.");
  EXPECT_EQ(connectFailureHint(F::kNothingReceived),
            "Nothing came from the chip: check the cable and that this is the board's port.");
  for (F kind : {F::kLoaderSilent, F::kNotTheLoader}) {
    const std::string_view hint = connectFailureHint(kind);
    EXPECT_FALSE(hint.empty());
    EXPECT_EQ(hint.find('\n'), std::string_view::npos);
  }
}

}  // namespace
}  // namespace flintmoor
