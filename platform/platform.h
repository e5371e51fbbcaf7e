// The one boundary between the setup program and the Windows services it uses.
//
// Every operation keeps the name of the Windows service it stands for and answers as that
// service does for the arguments the program passes. Two backends implement it: the real
// Windows one (platform/win32) and the simulated machine (platform/sim). Nothing above this
// header knows which one it runs on, and nothing above it includes a system header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform {

using Dword = std::uint32_t;
using Word = std::uint16_t;
using Bool = int;  // a Windows BOOL: zero is FALSE, anything else TRUE

/// An opaque handle: a device information set, a search handle, a process or a registry key.
using Handle = std::uintptr_t;
inline constexpr Handle kInvalidHandleValue = ~Handle{0};
inline constexpr Handle kNullHandle = 0;

// System error codes the program and its tests look at.
inline constexpr Dword kErrorSuccess = 0;
inline constexpr Dword kErrorFileNotFound = 2;
inline constexpr Dword kErrorPathNotFound = 3;
inline constexpr Dword kErrorAccessDenied = 5;
inline constexpr Dword kErrorInvalidHandle = 6;
inline constexpr Dword kErrorNotEnoughMemory = 8;
inline constexpr Dword kErrorInvalidData = 13;
inline constexpr Dword kErrorGenFailure = 31;
inline constexpr Dword kErrorSharingViolation = 32;
inline constexpr Dword kErrorBadNetPath = 53;
inline constexpr Dword kErrorInvalidParameter = 87;
inline constexpr Dword kErrorDiskFull = 112;
inline constexpr Dword kErrorInsufficientBuffer = 122;
inline constexpr Dword kErrorAlreadyExists = 183;
inline constexpr Dword kErrorProcNotFound = 127;
inline constexpr Dword kErrorBadExeFormat = 193;
inline constexpr Dword kErrorNoMoreItems = 259;
inline constexpr Dword kErrorNoDriverSelected = 0xE0000203;
inline constexpr Dword kErrorNoSuchDevinst = 0xE000020B;

// SetupAPI and newdev constants.
inline constexpr Dword DIGCF_PRESENT = 0x2;
inline constexpr Dword DIGCF_ALLCLASSES = 0x4;
inline constexpr Dword SPDRP_HARDWAREID = 1;
inline constexpr Dword DIF_REMOVE = 5;
inline constexpr Dword INSTALLFLAG_FORCE = 1;

// File attributes.
inline constexpr Dword FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr Dword FILE_ATTRIBUTE_NORMAL = 0x80;

// Opening a file to append to it, and renaming one.
inline constexpr Dword FILE_APPEND_DATA = 0x4;
inline constexpr Dword FILE_SHARE_READ = 0x1;
inline constexpr Dword FILE_SHARE_WRITE = 0x2;
inline constexpr Dword OPEN_ALWAYS = 4;
inline constexpr Dword MOVEFILE_REPLACE_EXISTING = 0x1;

// Process constants.
inline constexpr Dword CREATE_NEW_CONSOLE = 0x10;
inline constexpr Dword STARTF_USESHOWWINDOW = 0x1;
inline constexpr Word SW_HIDE = 0;
inline constexpr Dword INFINITE = 0xFFFFFFFF;
inline constexpr Dword WAIT_OBJECT_0 = 0;
inline constexpr Dword WAIT_FAILED = 0xFFFFFFFF;

// Registry constants.
inline constexpr Handle HKEY_LOCAL_MACHINE = 0x80000002;
inline constexpr Dword REG_OPTION_NON_VOLATILE = 0;
inline constexpr Dword KEY_ALL_ACCESS = 0xF003F;
inline constexpr Dword REG_SZ = 1;
inline constexpr long kErrorRegistrySuccess = 0;

/// The fields of an OSVERSIONINFOA record.
struct OsVersionInfo {
  Dword major_version = 0;
  Dword minor_version = 0;
  Dword build_number = 0;
  Dword platform_id = 0;
  std::string csd_version;  // the service pack, "Service Pack 4"; empty when none
};

/// A SYSTEMTIME record: a local date and time.
struct SystemTime {
  Word year = 0;
  Word month = 0;        // 1 for January
  Word day_of_week = 0;  // 0 for Sunday
  Word day = 0;
  Word hour = 0;
  Word minute = 0;
  Word second = 0;
  Word milliseconds = 0;
};

/// The part of a device element (SP_DEVINFO_DATA) that the program hands back to the platform.
struct DeviceInfoData {
  Dword cb_size = sizeof(DeviceInfoData);
  Dword dev_inst = 0;  // which device of the set this element names
};

/// The fields of a STARTUPINFOA record that the program reads or sets. A backend fills the
/// rest of the real record from the program's own when it starts a process.
struct StartupInfo {
  bool filled = false;  // set by GetStartupInfoA
  const void* lp_reserved = nullptr;
  Dword dw_flags = 0;
  Word w_show_window = 0;
  Word cb_reserved2 = 0;
  const void* lp_reserved2 = nullptr;
};

struct ProcessInformation {
  Handle process = kNullHandle;
  Handle thread = kNullHandle;
  Dword process_id = 0;
  Dword thread_id = 0;
};

/// The services of the machine the program runs on. Each call answers as its Windows namesake
/// does; where a Windows service fills a caller's buffer, the operation takes the buffer and its
/// size the same way so that the program's own size checks stay where they are.
class Platform {
 public:
  virtual ~Platform() = default;

  // --- System --------------------------------------------------------------------------------
  /// The system directory without a trailing backslash, whole whatever its length; empty on
  /// failure. (The Windows service fills a buffer; the backend asks with a buffer large enough,
  /// and the caller applies its own limit.)
  virtual std::string GetSystemDirectoryA() = 0;
  /// The full path of the running program's own file (GetModuleFileNameA for the program's
  /// module), whole whatever its length; empty on failure.
  virtual std::string GetModuleFileNameA() = 0;
  /// The drive number of the current directory: 1 for A, 2 for B, ...; 0 when it has no letter.
  virtual int GetCurrentDriveNumber() = 0;
  virtual Word GetSystemDefaultLangID() = 0;
  /// The Windows directory without a trailing backslash, whole whatever its length; empty on
  /// failure.
  virtual std::string GetWindowsDirectoryA() = 0;
  /// The version of Windows; FALSE when it cannot be read.
  virtual Bool GetVersionExA(OsVersionInfo* info) = 0;
  /// The local date and time.
  virtual void GetLocalTime(SystemTime* time) = 0;
  /// The program's whole command line as the system started it.
  virtual std::string GetCommandLineA() = 0;
  /// Whether this program runs as a 32-bit program on 64-bit Windows (WOW64). The function is
  /// looked up at run time: where the system has none (Windows 2000), FALSE with
  /// kErrorProcNotFound, and the caller takes it for 32-bit Windows.
  virtual Bool IsWow64Process(Bool* wow64) = 0;
  virtual Dword GetLastError() = 0;
  virtual void SetLastError(Dword error) = 0;
  virtual void Sleep(Dword milliseconds) = 0;

  // --- Console -------------------------------------------------------------------------------
  /// Writes bytes to standard output and flushes them before returning, so that the order of
  /// lines holds when the output is shared with a started program.
  virtual void WriteStandardOutput(std::string_view bytes) = 0;
  /// One byte of standard input as it stands, or nothing at the end of input (or on an error).
  virtual std::optional<unsigned char> ReadStandardInputByte() = 0;
  /// Waits for one key press on the console's own input device (not standard input), with the
  /// console in raw mode for the wait and restored afterwards. Returns at once when there is
  /// no console. Windows: CreateFileA("CONIN$"), GetConsoleMode, SetConsoleMode,
  /// ReadConsoleInputA.
  virtual void WaitForKeyPress() = 0;

  // --- Files ---------------------------------------------------------------------------------
  /// Opens a file read-only in binary mode with sharing allowed and reads it once from its
  /// start into `buffer`: the number of bytes read (bytes exactly as stored), or nothing when it
  /// cannot be opened or read.
  virtual std::optional<std::size_t> ReadBinaryFile(std::string_view path,
                                                    std::span<char> buffer) = 0;
  /// The size in bytes of a file as stored, or nothing when it cannot be opened.
  virtual std::optional<std::uint64_t> GetFileSize(std::string_view path) = 0;
  /// A search handle when something has that name, kInvalidHandleValue otherwise.
  virtual Handle FindFirstFileA(std::string_view path) = 0;
  virtual Bool FindClose(Handle search) = 0;
  virtual Bool CreateDirectoryA(std::string_view path) = 0;
  virtual Bool SetFileAttributesA(std::string_view path, Dword attributes) = 0;
  virtual Bool CopyFileA(std::string_view existing, std::string_view destination,
                         Bool fail_if_exists) = 0;
  /// No security attributes, FILE_ATTRIBUTE_NORMAL, no template. A file handle, or
  /// kInvalidHandleValue on failure. A file opened with FILE_APPEND_DATA alone gets every write
  /// at its end, whoever else appends to it.
  virtual Handle CreateFileA(std::string_view path, Dword desired_access, Dword share_mode,
                             Dword creation_disposition) = 0;
  /// Writes `bytes` to an open file in one call; `*written` is how many went.
  virtual Bool WriteFile(Handle file, std::string_view bytes, Dword* written) = 0;
  virtual Bool MoveFileExA(std::string_view existing, std::string_view new_name, Dword flags) = 0;

  // --- Devices -------------------------------------------------------------------------------
  /// No class, no enumerator, no parent window; returns kInvalidHandleValue on failure.
  virtual Handle SetupDiGetClassDevsA(Dword flags) = 0;
  virtual Bool SetupDiEnumDeviceInfo(Handle set, Dword index, DeviceInfoData* data) = 0;
  virtual Bool SetupDiGetDeviceRegistryPropertyA(Handle set, const DeviceInfoData& data,
                                                 Dword property, Dword* property_type,
                                                 unsigned char* buffer, Dword buffer_size,
                                                 Dword* required_size) = 0;
  virtual Bool SetupDiCallClassInstaller(Dword install_function, Handle set,
                                         const DeviceInfoData& data) = 0;
  virtual Bool SetupDiDestroyDeviceInfoList(Handle set) = 0;
  /// No parent window. `reboot` is the caller's flag, which the service may set.
  virtual Bool UpdateDriverForPlugAndPlayDevicesA(std::string_view hardware_id,
                                                  std::string_view inf_path, Dword flags,
                                                  Bool* reboot) = 0;

  // --- Processes -----------------------------------------------------------------------------
  virtual void GetStartupInfoA(StartupInfo* info) = 0;
  /// No application name, no security attributes, handles not inherited, this program's
  /// environment and current directory.
  virtual Bool CreateProcessA(std::string_view command_line, Dword creation_flags,
                              const StartupInfo& startup, ProcessInformation* info) = 0;
  virtual Dword WaitForSingleObject(Handle handle, Dword milliseconds) = 0;
  virtual Bool GetExitCodeProcess(Handle process, Dword* exit_code) = 0;
  virtual Bool CloseHandle(Handle handle) = 0;

  // --- Registry ------------------------------------------------------------------------------
  /// No class, no security attributes; the disposition is not reported. Returns a system error
  /// code (0 on success).
  virtual long RegCreateKeyExA(Handle root, std::string_view sub_key, Dword options, Dword access,
                               Handle* key) = 0;
  virtual long RegSetValueExA(Handle key, std::string_view value_name, Dword type,
                              const unsigned char* data, Dword size) = 0;
  virtual long RegCloseKey(Handle key) = 0;
};

}  // namespace platform
