// flintmoor-cli: the command-line front end of the flash job (see CliApp.h).
#include <iostream>
#include <string>
#include <vector>

#include "cli/CliApp.h"
#include "cli/Console.h"
#include "comio/Platform.h"

int main(int argc, char** argv) {
  using namespace flintmoor;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const CliStreams streams{std::cin, std::cout, std::cerr, stderrIsTerminal()};
  CliPlatform platform;
  platform.exeDir = executableDir(argc > 0 ? argv[0] : nullptr);
  platform.osDevice = [](const std::string&) { return makeOsSerialDevice(); };
  platform.osPorts = [] { return listOsPorts(); };
  return runCli(args, streams, platform);
}
