// flintmoor-cli: the command-line front end of the flash job (see CliApp.h).
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "cli/CliApp.h"
#include "cli/Console.h"
#include "cli/MonitorConsole.h"
#include "comio/Platform.h"

int main(int argc, char** argv) {
  using namespace flintmoor;
  const std::vector<std::string> args(argv + 1, argv + argc);
  const char* noColor = std::getenv("NO_COLOR");
  const CliStreams streams{std::cin,
                           std::cout,
                           std::cerr,
                           stderrIsTerminal(),
                           noColor != nullptr && noColor[0] != '\0',
                           stdoutIsTerminal()};
  CliPlatform platform;
  platform.exeDir = executableDir(argc > 0 ? argv[0] : nullptr);
  platform.osDevice = [](const std::string&) { return makeOsSerialDevice(); };
  platform.osPorts = [] { return listOsPorts(); };
  platform.osPortInfo = [] { return listOsPortInfo(); };
  platform.interrupted = interruptRequested;
  platform.openKeyboard = openTerminalKeyboard;
  platform.runTool = runToolOutput;
  platform.findTool = findOnPath;
  installInterruptHandler(kExitInterrupted);
  return runCli(args, streams, platform);
}
