// The names of the simulated machine's operations, in one place.
//
// An operation's name is the Windows name that its journal entries carry as "op" and that a
// fault in machine.json names. The simulator, the fault table of machine.json and the fault
// sweep all take the names from here, and the table below says for every call of
// platform::Platform which operation it is and whether a fault can fail it.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace sim::op {

// System.
inline constexpr std::string_view kGetSystemDirectoryA = "GetSystemDirectoryA";
inline constexpr std::string_view kGetModuleFileNameA = "GetModuleFileNameA";
inline constexpr std::string_view kGetCurrentDriveNumber = "GetCurrentDriveNumber";
inline constexpr std::string_view kGetSystemDefaultLangID = "GetSystemDefaultLangID";
inline constexpr std::string_view kGetWindowsDirectoryA = "GetWindowsDirectoryA";
inline constexpr std::string_view kGetVersionExA = "GetVersionExA";
inline constexpr std::string_view kGetLocalTime = "GetLocalTime";
inline constexpr std::string_view kGetCommandLineA = "GetCommandLineA";
inline constexpr std::string_view kIsWow64Process = "IsWow64Process";
inline constexpr std::string_view kGetLastError = "GetLastError";
inline constexpr std::string_view kSetLastError = "SetLastError";
inline constexpr std::string_view kSleep = "Sleep";
/// The end of a run of the program, with its whole exit code (journaled by the runner, not by
/// a platform call).
inline constexpr std::string_view kExitProcess = "ExitProcess";

// Console.
inline constexpr std::string_view kWriteStandardOutput = "WriteStandardOutput";
inline constexpr std::string_view kReadStandardInputByte = "ReadStandardInputByte";
/// The key wait fails as its console-mode read does (a fault names this)...
inline constexpr std::string_view kGetConsoleMode = "GetConsoleMode";
/// ...and is journaled under this name.
inline constexpr std::string_view kKeyWait = "KeyWait";

// Files.
inline constexpr std::string_view kCreateFileA = "CreateFileA";
inline constexpr std::string_view kFindFirstFileA = "FindFirstFileA";
inline constexpr std::string_view kFindClose = "FindClose";
inline constexpr std::string_view kCreateDirectoryA = "CreateDirectoryA";
inline constexpr std::string_view kSetFileAttributesA = "SetFileAttributesA";
inline constexpr std::string_view kCopyFileA = "CopyFileA";
inline constexpr std::string_view kWriteFile = "WriteFile";
inline constexpr std::string_view kMoveFileExA = "MoveFileExA";

// Devices.
inline constexpr std::string_view kSetupDiGetClassDevsA = "SetupDiGetClassDevsA";
inline constexpr std::string_view kSetupDiEnumDeviceInfo = "SetupDiEnumDeviceInfo";
inline constexpr std::string_view kSetupDiGetDeviceRegistryPropertyA =
    "SetupDiGetDeviceRegistryPropertyA";
inline constexpr std::string_view kSetupDiCallClassInstaller = "SetupDiCallClassInstaller";
inline constexpr std::string_view kSetupDiDestroyDeviceInfoList = "SetupDiDestroyDeviceInfoList";
inline constexpr std::string_view kUpdateDriverForPlugAndPlayDevicesA =
    "UpdateDriverForPlugAndPlayDevicesA";

// Processes.
inline constexpr std::string_view kGetStartupInfoA = "GetStartupInfoA";
inline constexpr std::string_view kCreateProcessA = "CreateProcessA";
inline constexpr std::string_view kWaitForSingleObject = "WaitForSingleObject";
inline constexpr std::string_view kGetExitCodeProcess = "GetExitCodeProcess";
inline constexpr std::string_view kCloseHandle = "CloseHandle";

// Registry.
inline constexpr std::string_view kRegCreateKeyExA = "RegCreateKeyExA";
inline constexpr std::string_view kRegSetValueExA = "RegSetValueExA";
inline constexpr std::string_view kRegCloseKey = "RegCloseKey";

}  // namespace sim::op

namespace sim {

/// Whether a fault in machine.json can fail a call: only where its Windows namesake can fail
/// in a way the program must handle.
enum class Faultable : bool { kNo = false, kYes = true };

/// One call of platform::Platform and the operation it is on the simulated machine.
struct PlatformCall {
  std::string_view call;       // the member of platform::Platform
  std::string_view operation;  // the name its faults (and, mostly, its journal entries) carry
  Faultable faultable;
};

/// Every call of platform::Platform, in the order the interface declares them. A unit test
/// holds this list against platform.h, and the fault tests and the sweep against this list.
inline constexpr std::array kPlatformCalls = {
    PlatformCall{"GetSystemDirectoryA", op::kGetSystemDirectoryA, Faultable::kYes},
    PlatformCall{"GetModuleFileNameA", op::kGetModuleFileNameA, Faultable::kYes},
    PlatformCall{"GetCurrentDriveNumber", op::kGetCurrentDriveNumber, Faultable::kNo},
    PlatformCall{"GetSystemDefaultLangID", op::kGetSystemDefaultLangID, Faultable::kNo},
    PlatformCall{"GetWindowsDirectoryA", op::kGetWindowsDirectoryA, Faultable::kYes},
    PlatformCall{"GetVersionExA", op::kGetVersionExA, Faultable::kYes},
    PlatformCall{"GetLocalTime", op::kGetLocalTime, Faultable::kNo},
    PlatformCall{"GetCommandLineA", op::kGetCommandLineA, Faultable::kNo},
    PlatformCall{"IsWow64Process", op::kIsWow64Process, Faultable::kYes},
    PlatformCall{"GetLastError", op::kGetLastError, Faultable::kNo},
    PlatformCall{"SetLastError", op::kSetLastError, Faultable::kNo},
    PlatformCall{"Sleep", op::kSleep, Faultable::kNo},
    PlatformCall{"WriteStandardOutput", op::kWriteStandardOutput, Faultable::kNo},
    PlatformCall{"ReadStandardInputByte", op::kReadStandardInputByte, Faultable::kNo},
    PlatformCall{"WaitForKeyPress", op::kGetConsoleMode, Faultable::kYes},
    // Both open the file with CreateFileA, and fail as it does.
    PlatformCall{"ReadBinaryFile", op::kCreateFileA, Faultable::kYes},
    PlatformCall{"GetFileSize", op::kCreateFileA, Faultable::kYes},
    PlatformCall{"FindFirstFileA", op::kFindFirstFileA, Faultable::kYes},
    PlatformCall{"FindClose", op::kFindClose, Faultable::kNo},
    PlatformCall{"CreateDirectoryA", op::kCreateDirectoryA, Faultable::kYes},
    PlatformCall{"SetFileAttributesA", op::kSetFileAttributesA, Faultable::kYes},
    PlatformCall{"CopyFileA", op::kCopyFileA, Faultable::kYes},
    PlatformCall{"CreateFileA", op::kCreateFileA, Faultable::kYes},
    PlatformCall{"WriteFile", op::kWriteFile, Faultable::kYes},
    PlatformCall{"MoveFileExA", op::kMoveFileExA, Faultable::kYes},
    PlatformCall{"SetupDiGetClassDevsA", op::kSetupDiGetClassDevsA, Faultable::kYes},
    PlatformCall{"SetupDiEnumDeviceInfo", op::kSetupDiEnumDeviceInfo, Faultable::kYes},
    PlatformCall{"SetupDiGetDeviceRegistryPropertyA", op::kSetupDiGetDeviceRegistryPropertyA,
                 Faultable::kYes},
    PlatformCall{"SetupDiCallClassInstaller", op::kSetupDiCallClassInstaller, Faultable::kYes},
    PlatformCall{"SetupDiDestroyDeviceInfoList", op::kSetupDiDestroyDeviceInfoList, Faultable::kNo},
    PlatformCall{"UpdateDriverForPlugAndPlayDevicesA", op::kUpdateDriverForPlugAndPlayDevicesA,
                 Faultable::kYes},
    PlatformCall{"GetStartupInfoA", op::kGetStartupInfoA, Faultable::kNo},
    PlatformCall{"CreateProcessA", op::kCreateProcessA, Faultable::kYes},
    PlatformCall{"WaitForSingleObject", op::kWaitForSingleObject, Faultable::kYes},
    PlatformCall{"GetExitCodeProcess", op::kGetExitCodeProcess, Faultable::kYes},
    PlatformCall{"CloseHandle", op::kCloseHandle, Faultable::kNo},
    PlatformCall{"RegCreateKeyExA", op::kRegCreateKeyExA, Faultable::kYes},
    PlatformCall{"RegSetValueExA", op::kRegSetValueExA, Faultable::kYes},
    PlatformCall{"RegCloseKey", op::kRegCloseKey, Faultable::kNo},
};

/// Whether a fault may name `operation`.
constexpr bool IsFaultableOperation(std::string_view operation) {
  for (const PlatformCall& call : kPlatformCalls) {
    if (call.operation == operation && call.faultable == Faultable::kYes) return true;
  }
  return false;
}

/// How many distinct operations a fault may name.
constexpr std::size_t CountFaultableOperations() {
  std::size_t count = 0;
  for (std::size_t i = 0; i < kPlatformCalls.size(); ++i) {
    if (kPlatformCalls[i].faultable == Faultable::kNo) continue;
    bool earlier = false;
    for (std::size_t j = 0; j < i; ++j) {
      earlier = earlier || (kPlatformCalls[j].faultable == Faultable::kYes &&
                            kPlatformCalls[j].operation == kPlatformCalls[i].operation);
    }
    if (!earlier) ++count;
  }
  return count;
}

/// The operations a fault may name, each once, in the order of kPlatformCalls.
inline constexpr auto kFaultableOperations = [] {
  std::array<std::string_view, CountFaultableOperations()> operations{};
  std::size_t next = 0;
  for (const PlatformCall& call : kPlatformCalls) {
    if (call.faultable == Faultable::kNo) continue;
    bool seen = false;
    for (std::size_t i = 0; i < next; ++i) seen = seen || operations[i] == call.operation;
    if (!seen) operations[next++] = call.operation;
  }
  return operations;
}();

}  // namespace sim
