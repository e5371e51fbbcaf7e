// SETUP.EXE's entry point: the program on the real Windows services.
#include <string>
#include <vector>

#include "platform/win32/win32_platform.h"
#include "setup/setup_main.h"

// The arguments reach the program as typed: the C runtime expands no wildcards in them.
extern "C" {
int _dowildcard = 0;
}

int main(int argc, char** argv) {
  win32::Win32Platform platform;
  const std::vector<std::string> args(argv, argv + argc);
  return setup::SetupMain(platform, args);
}
