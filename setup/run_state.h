// The state of one run, owned by the entry point and handed to each step.
#pragma once

#include <string>

#include "devices/detection.h"
#include "messages/catalogue.h"
#include "messages/console.h"
#include "messages/setup_log.h"
#include "platform/platform.h"

namespace setup {

struct RunState {
  RunState(platform::Platform& platform_in, messages::Catalogue catalogue_in)
      : platform(platform_in),
        catalogue(std::move(catalogue_in)),
        console(platform_in, catalogue),
        log(platform_in, console) {}
  RunState(const RunState&) = delete;
  RunState& operator=(const RunState&) = delete;

  platform::Platform& platform;
  messages::Catalogue catalogue;  // the current catalogue
  messages::Console console;      // prints through `catalogue`
  messages::SetupLog log;         // what the run did, for whoever reads the machine later
  bool catalogue_loaded = false;

  std::string source_root;
  bool quiet = false;
  bool restart_run = false;
  std::string system_directory;
  std::string package_root;

  devices::Detection detection;
  platform::Bool reboot = 0;
  bool failure = false;
};

}  // namespace setup
