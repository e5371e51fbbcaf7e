// Starts a command line, waits for it and writes its whole exit code to a file. A Linux exit
// status keeps only the low 8 bits of a Windows exit code (3010 arrives as 194), so the runner
// starts the runs of a case under Wine through this program and reads the code from the file.
//
//   launcher.exe CODE_FILE PROGRAM ARGUMENTS...
//
// The child's command line is the one Wine gives a program started directly: PROGRAM's full path
// in quotes, then the rest of the launcher's own command line from the blank after PROGRAM, as it
// stands (the quotes and spaces that Wine wrote when it built the launcher's command line from
// the Linux arguments are those it writes for a program started directly). A PROGRAM without a
// folder (SETUP) is passed on as it is: Wine starts such a program through start.exe, which
// CreateProcess cannot stand in for. The child gets the launcher's startup record and inherits
// its standard handles, console (none, when no standard stream is a terminal), environment and
// current directory; the launcher reads and writes none of the standard streams.
//
// CODE_FILE gets the child's exit code in decimal and a line end, and the launcher exits with
// that code. When the child cannot be started or waited for, the launcher writes no file, says
// why on its standard error and exits with kLauncherFailed.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

/// The launcher's own exit code when it could not run the child to its end.
constexpr DWORD kLauncherFailed = 255;

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t';
}

/// Where the argument that starts at AT ends: at the closing quote's next character for a quoted
/// one, else at the first blank. Program paths and the code file's path hold no quotes.
const wchar_t* ArgumentEnd(const wchar_t* at) {
  if (*at == L'"') {
    ++at;
    while (*at && *at != L'"') ++at;
    return *at ? at + 1 : at;
  }
  while (*at && !IsBlank(*at)) ++at;
  return at;
}

const wchar_t* SkipBlanks(const wchar_t* at) {
  while (IsBlank(*at)) ++at;
  return at;
}

/// An argument without its quotes.
std::wstring Unquoted(const wchar_t* start, const wchar_t* end) {
  std::wstring text(start, end);
  if (!text.empty() && text.front() == L'"') {
    text.erase(0, 1);
    if (!text.empty() && text.back() == L'"') text.pop_back();
  }
  return text;
}

/// The command line for the child, as Wine writes it for a program started directly: the
/// program's full path in quotes (its drive letter in upper case), then the rest as it stands. A
/// program named without a folder stays as it is; so does one whose full path cannot be had.
std::wstring ChildCommandLine(const wchar_t* program) {
  const wchar_t* const program_end = ArgumentEnd(program);
  const std::wstring name = Unquoted(program, program_end);
  if (name.find_first_of(L"\\/:") == std::wstring::npos) return program;
  std::wstring full(MAX_PATH, L'\0');
  const DWORD length = ::GetFullPathNameW(name.c_str(), MAX_PATH, full.data(), nullptr);
  if (length == 0 || length >= MAX_PATH) return program;
  full.resize(length);
  // Wine writes the drive letter in upper case, as typed or not.
  if (full.size() >= 2 && full[1] == L':' && full[0] >= L'a' && full[0] <= L'z') {
    full[0] = static_cast<wchar_t>(full[0] - L'a' + L'A');
  }
  return L"\"" + full + L"\"" + program_end;
}

DWORD Fail(const char* what) {
  std::fprintf(stderr, "launcher: %s failed: error %lu\n", what, ::GetLastError());
  return kLauncherFailed;
}

}  // namespace

int main() {
  const wchar_t* const own = ::GetCommandLineW();
  const wchar_t* const file_start = SkipBlanks(ArgumentEnd(own));
  const wchar_t* const file_end = ArgumentEnd(file_start);
  const std::wstring code_file = Unquoted(file_start, file_end);
  const wchar_t* const program = SkipBlanks(file_end);
  if (code_file.empty() || *program == L'\0') {
    std::fprintf(stderr, "usage: launcher.exe CODE_FILE PROGRAM ARGUMENTS...\n");
    return static_cast<int>(kLauncherFailed);
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  ::GetStartupInfoW(&startup);
  std::wstring command_line = ChildCommandLine(program);
  PROCESS_INFORMATION child{};
  // CreateProcessW may write into the command line: it is the string's own buffer.
  if (!::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &child)) {
    return static_cast<int>(Fail("CreateProcessW"));
  }
  ::CloseHandle(child.hThread);
  DWORD exit_code = 0;
  if (::WaitForSingleObject(child.hProcess, INFINITE) != WAIT_OBJECT_0 ||
      !::GetExitCodeProcess(child.hProcess, &exit_code)) {
    return static_cast<int>(Fail("waiting for the child"));
  }
  ::CloseHandle(child.hProcess);

  const HANDLE file = ::CreateFileW(code_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<int>(Fail("creating the code file"));
  const std::string text = std::to_string(exit_code) + "\n";
  DWORD written = 0;
  const BOOL ok =
      ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  ::CloseHandle(file);
  if (!ok || written != text.size()) return static_cast<int>(Fail("writing the code file"));
  return static_cast<int>(exit_code);
}
