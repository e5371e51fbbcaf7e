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

namespace {

/// The program's own path without its extension.
std::string OwnBase() {
  char path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof(path));
  std::string base(path, length);
  const std::size_t dot = base.find_last_of('.');
  const std::size_t slash = base.find_last_of("\\/");
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) base.resize(dot);
  return base;
}

std::string ReadWhole(const std::string& path) {
  std::string text;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    char chunk[512];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof(chunk), file)) > 0) text.append(chunk, n);
    std::fclose(file);
  }
  return text;
}

}  // namespace

int main() {
  const std::string base = OwnBase();

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

  const std::string say = ReadWhole(base + ".say");
  if (!say.empty()) {
    std::fwrite(say.data(), 1, say.size(), stdout);
    std::fflush(stdout);
  }

  const std::string exit_code = ReadWhole(base + ".exit");
  return exit_code.empty() ? 0 : std::atoi(exit_code.c_str());
}
