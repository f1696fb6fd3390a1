// One board's protocol object, connection and flash job, wired together on a serial link: what a
// front end (the window, the command line) or a test builds to run jobs.
#pragma once

#include "esp/uEsp.h"
#include "job/ComEsp.h"
#include "job/FlashJob.h"

namespace flintmoor {

class Log;
class JobView;
class TComIo;

// The link, the log, the view and the settings outlive it; it holds no process-wide state, so
// several can run side by side, each on its own link.
class Flasher {
 public:
  Flasher(TComIo& com, Log& log, JobView& view, const TConfig& config)
      : esp(com, log),
        connection(com, esp, log, config),
        job(com, esp, connection, log, view, config) {}
  Flasher(const Flasher&) = delete;
  Flasher& operator=(const Flasher&) = delete;

  TEsp esp;
  TComEsp connection;
  FlashJob job;
};

}  // namespace flintmoor
