// The Windows Installer package's custom action (orvan-setup.wxs): runs the placed copy of the
// setup program quietly, as a deferred action under the system account, and maps its exit code
// onto the installer's own.
//
//   RunSetup   CustomActionData: the full path of the placed win2000\SETUP.EXE. Starts
//              "PATH" /Q with its standard output and standard error on a pipe, passes each
//              line on to the installer's log (INSTALLMESSAGE_INFO), and says where the
//              program's setup log lies. Exit code 0: success; 1: success, and the installer
//              asks for a restart at its end (msiexec ends with 3010); 2, any other code, or a
//              program that cannot start: failure (1603), and the installer rolls back.
//
// A DLL of the package's Binary table, loaded into the installer's own process: it imports
// kernel32 and msi.dll only (allowed_imports.txt), each function one that Windows 2000 SP4 and
// its Windows Installer 2.0 provide.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

namespace {

// The setup program's exit codes.
constexpr DWORD kSetupComplete = 0;
constexpr DWORD kSetupRebootRequired = 1;

// The command line: the program's path in quotes, then its quiet option.
constexpr char kQuietOption[] = " /Q";
// The setup program's log in the Windows directory.
constexpr char kSetupLogName[] = "\\ZOVSETUP.LOG";

// Longest path of the placed program, and longest line passed on to the log (a longer one is
// passed on in pieces of this length).
constexpr DWORD kMaxProgramPath = MAX_PATH;
constexpr DWORD kMaxLogLine = 1024;
// Bytes read from the pipe at once.
constexpr DWORD kPipeChunk = 512;
// Decimal digits of the largest DWORD.
constexpr DWORD kMaxDigits = 10;

/// One line of text in the installer's log, as "RunSetup: TEXT". TEXT is a record field, not the
/// template, so that brackets in it stay as they are.
void Log(MSIHANDLE install, const wchar_t* text) {
  MSIHANDLE record = ::MsiCreateRecord(1);
  if (record == 0) return;
  ::MsiRecordSetStringW(record, 0, L"RunSetup: [1]");
  ::MsiRecordSetStringW(record, 1, text);
  ::MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
  ::MsiCloseHandle(record);
}

/// LENGTH bytes of ANSI (code page CODE_PAGE) text as one log line.
void LogBytes(MSIHANDLE install, const char* text, DWORD length, UINT code_page) {
  wchar_t wide[kMaxLogLine + 1];
  int count = ::MultiByteToWideChar(code_page, 0, text, static_cast<int>(length), wide,
                                    static_cast<int>(kMaxLogLine));
  if (count < 0) count = 0;
  wide[count] = L'\0';
  Log(install, wide);
}

/// A log line of ASCII text followed by a number in decimal (a Windows error or an exit code).
void LogNumber(MSIHANDLE install, const char* text, DWORD number) {
  char line[kMaxLogLine];
  DWORD length = 0;
  while (text[length] != '\0' && length < kMaxLogLine - kMaxDigits) {
    line[length] = text[length];
    ++length;
  }
  char digits[kMaxDigits];
  DWORD count = 0;
  do {
    digits[count++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  while (count > 0) line[length++] = digits[--count];
  LogBytes(install, line, length, CP_ACP);
}

/// Passes the program's output on to the log line by line: a line ends at LF or CR (the
/// program's texts begin with a CR that returns to the start of the console's line); empty lines
/// are left out. The program writes in the console's code page, the OEM one.
class LineWriter {
 public:
  explicit LineWriter(MSIHANDLE install) : install_(install) {}

  void Add(const char* bytes, DWORD count) {
    for (DWORD at = 0; at < count; ++at) {
      if (bytes[at] == '\n' || bytes[at] == '\r') {
        Flush();
      } else {
        line_[length_++] = bytes[at];
        if (length_ == kMaxLogLine) Flush();
      }
    }
  }

  void Flush() {
    if (length_ > 0) LogBytes(install_, line_, length_, CP_OEMCP);
    length_ = 0;
  }

 private:
  MSIHANDLE install_;
  char line_[kMaxLogLine];
  DWORD length_ = 0;
};

/// The setup program's own log: the Windows directory's ZOVSETUP.LOG.
void LogSetupLogPath(MSIHANDLE install) {
  char path[MAX_PATH + sizeof(kSetupLogName)];
  UINT length = ::GetWindowsDirectoryA(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  lstrcatA(path, kSetupLogName);
  char line[kMaxLogLine] = "the setup program's log: ";
  lstrcatA(line, path);
  LogBytes(install, line, lstrlenA(line), CP_ACP);
}

/// Runs COMMAND_LINE with its standard output and error on a pipe that LineWriter reads, standard
/// input on NUL, in a console of its own without a window. The exit code, or false (the error
/// logged) when it cannot start.
bool RunProgram(MSIHANDLE install, char* command_line, DWORD* exit_code) {
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &inherited, 0)) {
    LogNumber(install, "cannot make a pipe for the setup program's output: error ",
              ::GetLastError());
    return false;
  }
  ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  HANDLE input = ::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                               OPEN_EXISTING, 0, nullptr);

  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  PROCESS_INFORMATION process{};
  BOOL started = ::CreateProcessA(nullptr, command_line, nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                  nullptr, nullptr, &startup, &process);
  DWORD start_error = ::GetLastError();
  ::CloseHandle(write_end);  // the pipe ends when the program's copies close
  if (input != INVALID_HANDLE_VALUE) ::CloseHandle(input);
  if (!started) {
    ::CloseHandle(read_end);
    LogNumber(install, "the setup program cannot start: error ", start_error);
    return false;
  }

  LineWriter lines(install);
  char chunk[kPipeChunk];
  DWORD count = 0;
  while (::ReadFile(read_end, chunk, sizeof(chunk), &count, nullptr) && count > 0) {
    lines.Add(chunk, count);
  }
  lines.Flush();
  ::CloseHandle(read_end);

  ::WaitForSingleObject(process.hProcess, INFINITE);
  bool ended = ::GetExitCodeProcess(process.hProcess, exit_code) != 0;
  if (!ended)
    LogNumber(install, "cannot read the setup program's exit code: error ", ::GetLastError());
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return ended;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall RunSetup(MSIHANDLE install) {
  // The command line: "PATH" /Q, from the action's data.
  char command_line[kMaxProgramPath + sizeof(kQuietOption) + 2] = "\"";
  DWORD length = kMaxProgramPath;
  UINT status = ::MsiGetPropertyA(install, "CustomActionData", command_line + 1, &length);
  if (status != ERROR_SUCCESS || length == 0) {
    LogNumber(install, "no path of the setup program in CustomActionData: error ", status);
    return ERROR_INSTALL_FAILURE;
  }
  lstrcatA(command_line, "\"");
  lstrcatA(command_line, kQuietOption);
  LogBytes(install, command_line, lstrlenA(command_line), CP_ACP);
  LogSetupLogPath(install);

  DWORD exit_code = 0;
  if (!RunProgram(install, command_line, &exit_code)) return ERROR_INSTALL_FAILURE;
  LogNumber(install, "the setup program ended with exit code ", exit_code);
  if (exit_code == kSetupComplete) return ERROR_SUCCESS;
  if (exit_code == kSetupRebootRequired) {
    // The installer restarts the machine at its end where the administrator's settings let it
    // (REBOOT=ReallySuppress: it does not), and ends with 3010.
    ::MsiSetMode(install, MSIRUNMODE_REBOOTATEND, TRUE);
    return ERROR_SUCCESS;
  }
  return ERROR_INSTALL_FAILURE;
}
