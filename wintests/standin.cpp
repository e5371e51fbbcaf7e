// A stand-in for a program that the setup program starts (the older setup program KVLSETUP.EXE,
// the service program zovduvik.exe): it records how it was started and exits with a chosen code.
//
// Beside the program, with its own name and another extension (D:\nt\KVLSETUP.EXIT for
// D:\nt\KVLSETUP.EXE):
//   NAME.exit   the exit code, in decimal (0 when there is no such file)
//   NAME.say    text the program writes to its standard output (nothing when there is none)
//   NAME.rec    a line appended for every start:
//               command_line=...<TAB>startf=N<TAB>show_window=N<TAB>console_processes=N
//               (startf and show_window from the startup record it was given; console_processes
//               counts the processes attached to its console: 1 when it got a console of its own)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "test_helpers.h"

int main() {
  std::string base = wintests::ModulePath(nullptr);
  const std::size_t dot = base.find_last_of('.');
  const std::size_t slash = base.find_last_of("\\/");
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) base.resize(dot);

  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  ::GetStartupInfoA(&startup);
  DWORD processes[16];
  const DWORD console_processes = ::GetConsoleProcessList(processes, 16);
  if (FILE* record = std::fopen((base + ".rec").c_str(), "ab")) {
    std::fprintf(record, "command_line=%s\tstartf=%lu\tshow_window=%u\tconsole_processes=%lu\n",
                 ::GetCommandLineA(), startup.dwFlags, startup.wShowWindow, console_processes);
    std::fclose(record);
  }

  const std::string say = wintests::ReadWholeFile(base + ".say");
  std::fwrite(say.data(), 1, say.size(), stdout);
  std::fflush(stdout);

  const std::string exit_code = wintests::ReadWholeFile(base + ".exit");
  return std::atoi(exit_code.c_str());
}
