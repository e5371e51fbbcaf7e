// The program's constants (platform.h) must be read before <windows.h> defines the same names
// as macros: below this point only the Windows names and ::Function spellings are used.
#include "platform/win32/win32_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/key_events.h"

#include <windows.h>

#include "platform/win32/system_libraries.h"

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <newdev.h>
#include <setupapi.h>

namespace win32 {
namespace {

static_assert(sizeof(platform::Dword) == sizeof(DWORD));
static_assert(sizeof(platform::Word) == sizeof(WORD));
static_assert(std::is_same_v<platform::Bool, BOOL>);
static_assert(sizeof(platform::Handle) == sizeof(HANDLE));

/// The longest path Windows has, in characters.
constexpr DWORD kMaxLongPath = 32767;

template <typename T>
T FromHandle(platform::Handle handle) {
  return reinterpret_cast<T>(handle);
}

template <typename T>
platform::Handle ToHandle(T handle) {
  return reinterpret_cast<platform::Handle>(handle);
}

/// Keeps the thread's last-error value across the backend's own book-keeping after a call.
class LastErrorKeeper {
 public:
  LastErrorKeeper() : error_(::GetLastError()) {}
  ~LastErrorKeeper() { ::SetLastError(error_); }
  LastErrorKeeper(const LastErrorKeeper&) = delete;
  LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

 private:
  DWORD error_;
};

/// The device service `name` of `library`, with the type the header declares it with; nullptr
/// when it cannot be had, with the reason in the last error.
#define DEVICE_SERVICE(library, name) \
  records_->libraries.Find<decltype(::name)>(Library::library, #name)

HKEY ToKey(platform::Handle key) {
  return key == kProgramLocalMachine ? HKEY_LOCAL_MACHINE : FromHandle<HKEY>(key);
}

/// Opens a file for reading with the sharing the program allows others.
HANDLE OpenForReading(const std::string& path) {
  return ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

/// Closes a handle without letting the close change the last-error value.
void CloseKeepingError(HANDLE handle) {
  LastErrorKeeper keep;
  ::CloseHandle(handle);
}

}  // namespace

struct Win32Platform::Records {
  explicit Records(std::optional<std::string> library_folder)
      : libraries(std::move(library_folder)) {}

  /// setupapi.dll and newdev.dll, loaded at first use.
  SystemLibraries libraries;
  /// The program's own startup record, as GetStartupInfoA last filled it.
  STARTUPINFOA startup{};
  bool startup_filled = false;
  /// For each device information set, the real element of every device the program has been
  /// handed, by its device instance (what platform::DeviceInfoData carries).
  std::map<platform::Handle, std::map<DWORD, SP_DEVINFO_DATA>> elements;

  /// The real element for the program's, or an element that SetupAPI refuses (a wrong size, or
  /// one that names no device of the set).
  SP_DEVINFO_DATA Element(platform::Handle set, const platform::DeviceInfoData& data) const {
    SP_DEVINFO_DATA element{};
    if (data.cb_size != sizeof(platform::DeviceInfoData)) return element;  // cbSize 0
    element.cbSize = sizeof(element);
    element.DevInst = data.dev_inst;
    if (const auto found_set = elements.find(set); found_set != elements.end()) {
      if (const auto found = found_set->second.find(data.dev_inst);
          found != found_set->second.end()) {
        element = found->second;
      }
    }
    return element;
  }
};

Win32Platform::Win32Platform(std::optional<std::string> library_folder)
    : records_(std::make_unique<Records>(std::move(library_folder))) {}
Win32Platform::~Win32Platform() = default;

// --- System ----------------------------------------------------------------------------------

std::string Win32Platform::GetSystemDirectoryA() {
  return SystemDirectory();
}

std::string Win32Platform::GetModuleFileNameA() {
  // A path that does not fit is cut (and on Windows 2000 and XP left without its terminating
  // zero), so the buffer grows until the whole path fits, up to the longest path there is.
  for (DWORD size = MAX_PATH + 1; size <= 2 * kMaxLongPath; size *= 2) {
    std::string buffer(size, '\0');
    const DWORD length = ::GetModuleFileNameA(nullptr, buffer.data(), size);
    if (length == 0) return {};
    if (length < size) {
      buffer.resize(length);
      return buffer;
    }
  }
  return {};
}

int Win32Platform::GetCurrentDriveNumber() {
  return ::_getdrive();
}

platform::Word Win32Platform::GetSystemDefaultLangID() {
  return ::GetSystemDefaultLangID();
}

std::string Win32Platform::GetWindowsDirectoryA() {
  return QueryDirectory(::GetWindowsDirectoryA);
}

platform::Bool Win32Platform::GetVersionExA(platform::OsVersionInfo* info) {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (!::GetVersionExA(&version)) return FALSE;
  if (info != nullptr) {
    info->major_version = version.dwMajorVersion;
    info->minor_version = version.dwMinorVersion;
    info->build_number = version.dwBuildNumber;
    info->platform_id = version.dwPlatformId;
    info->csd_version.assign(version.szCSDVersion,
                             ::strnlen(version.szCSDVersion, sizeof(version.szCSDVersion)));
  }
  return TRUE;
}

void Win32Platform::GetLocalTime(platform::SystemTime* time) {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  time->year = now.wYear;
  time->month = now.wMonth;
  time->day_of_week = now.wDayOfWeek;
  time->day = now.wDay;
  time->hour = now.wHour;
  time->minute = now.wMinute;
  time->second = now.wSecond;
  time->milliseconds = now.wMilliseconds;
}

std::string Win32Platform::GetCommandLineA() {
  const char* line = ::GetCommandLineA();
  return line == nullptr ? std::string() : std::string(line);
}

platform::Bool Win32Platform::IsWow64Process(platform::Bool* wow64) {
  // Windows 2000 has no IsWow64Process: it is looked up in kernel32.dll (always loaded), and
  // where it is missing GetProcAddress leaves ERROR_PROC_NOT_FOUND.
  using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
  const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return FALSE;
  const FARPROC address = ::GetProcAddress(kernel32, "IsWow64Process");
  if (address == nullptr) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return FALSE;
  }
  using Generic = void (*)();
  const auto is_wow64 =
      reinterpret_cast<IsWow64ProcessFunction>(reinterpret_cast<Generic>(address));
  BOOL answer = FALSE;
  if (!is_wow64(::GetCurrentProcess(), &answer)) return FALSE;
  if (wow64 != nullptr) *wow64 = answer;
  return TRUE;
}

platform::Dword Win32Platform::GetLastError() {
  return ::GetLastError();
}

void Win32Platform::SetLastError(platform::Dword error) {
  ::SetLastError(error);
}

void Win32Platform::Sleep(platform::Dword milliseconds) {
  ::Sleep(milliseconds);
}

// --- Console ---------------------------------------------------------------------------------

void Win32Platform::WriteStandardOutput(std::string_view bytes) {
  // Standard output stays in the C runtime's text mode: each LF goes out as CR LF.
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

std::optional<unsigned char> Win32Platform::ReadStandardInputByte() {
  if (!stdin_binary_) {
    // The program applies the text-stream rules (CR LF, 0x1A) itself, on the bytes as they are.
    ::_setmode(::_fileno(stdin), _O_BINARY);
    stdin_binary_ = true;
  }
  const int byte = std::getc(stdin);
  if (byte == EOF) return std::nullopt;
  return static_cast<unsigned char>(byte);
}

void Win32Platform::WaitForKeyPress() {
  const HANDLE input =
      ::CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  if (!::GetConsoleMode(input, &mode)) {
    ::CloseHandle(input);
    return;
  }
  // Raw: no line input, no echo, Ctrl+C arrives as an ordinary key. Keys typed before the wait
  // are not flushed: they count.
  ::SetConsoleMode(input, mode & ~(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT));
  for (;;) {
    INPUT_RECORD record{};
    DWORD read = 0;
    if (!::ReadConsoleInputA(input, &record, 1, &read) || read == 0) break;
    platform::KeyEvent event{.is_key = record.EventType == KEY_EVENT};
    if (event.is_key) {
      const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
      event.key_down = key.bKeyDown != FALSE;
      event.character = static_cast<unsigned char>(key.uChar.AsciiChar);
      event.virtual_key = key.wVirtualKeyCode;
      event.enhanced = (key.dwControlKeyState & ENHANCED_KEY) != 0;
    }
    if (platform::EndsKeyWait(event)) break;
  }
  ::SetConsoleMode(input, mode);
  ::CloseHandle(input);
}

// --- Files -----------------------------------------------------------------------------------

std::optional<std::size_t> Win32Platform::ReadBinaryFile(std::string_view path,
                                                         std::span<char> buffer) {
  const HANDLE file = OpenForReading(std::string(path));
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  const DWORD wanted =
      static_cast<DWORD>(std::min<std::size_t>(buffer.size(), std::numeric_limits<DWORD>::max()));
  DWORD read = 0;
  const BOOL ok = ::ReadFile(file, buffer.data(), wanted, &read, nullptr);
  CloseKeepingError(file);
  if (!ok) return std::nullopt;
  return read;
}

std::optional<std::uint64_t> Win32Platform::GetFileSize(std::string_view path) {
  const HANDLE file = OpenForReading(std::string(path));
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  LARGE_INTEGER size{};
  const BOOL ok = ::GetFileSizeEx(file, &size);
  CloseKeepingError(file);
  if (!ok) return std::nullopt;
  return static_cast<std::uint64_t>(size.QuadPart);
}

platform::Handle Win32Platform::FindFirstFileA(std::string_view path) {
  WIN32_FIND_DATAA found{};
  const HANDLE search = ::FindFirstFileA(std::string(path).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return platform::kInvalidHandleValue;
  return ToHandle(search);
}

platform::Bool Win32Platform::FindClose(platform::Handle search) {
  return ::FindClose(FromHandle<HANDLE>(search));
}

platform::Bool Win32Platform::CreateDirectoryA(std::string_view path) {
  return ::CreateDirectoryA(std::string(path).c_str(), nullptr);
}

platform::Bool Win32Platform::SetFileAttributesA(std::string_view path,
                                                 platform::Dword attributes) {
  return ::SetFileAttributesA(std::string(path).c_str(), attributes);
}

platform::Bool Win32Platform::CopyFileA(std::string_view existing, std::string_view destination,
                                        platform::Bool fail_if_exists) {
  return ::CopyFileA(std::string(existing).c_str(), std::string(destination).c_str(),
                     fail_if_exists);
}

platform::Handle Win32Platform::CreateFileA(std::string_view path, platform::Dword desired_access,
                                            platform::Dword share_mode,
                                            platform::Dword creation_disposition) {
  const HANDLE file = ::CreateFileA(std::string(path).c_str(), desired_access, share_mode, nullptr,
                                    creation_disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return platform::kInvalidHandleValue;
  return ToHandle(file);
}

platform::Bool Win32Platform::WriteFile(platform::Handle file, std::string_view bytes,
                                        platform::Dword* written) {
  if (written != nullptr) *written = 0;
  if (bytes.size() > std::numeric_limits<DWORD>::max()) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD count = 0;
  const BOOL ok = ::WriteFile(FromHandle<HANDLE>(file), bytes.data(),
                              static_cast<DWORD>(bytes.size()), &count, nullptr);
  if (written != nullptr) *written = count;
  return ok;
}

platform::Bool Win32Platform::MoveFileExA(std::string_view existing, std::string_view new_name,
                                          platform::Dword flags) {
  return ::MoveFileExA(std::string(existing).c_str(), std::string(new_name).c_str(), flags);
}

// --- Devices ---------------------------------------------------------------------------------
// Each service is taken from its library at its first use. When it cannot be had, the call
// fails as the service itself fails, with the reason already in the last error.

platform::Handle Win32Platform::SetupDiGetClassDevsA(platform::Dword flags) {
  const auto get_class_devs = DEVICE_SERVICE(kSetupApi, SetupDiGetClassDevsA);
  if (get_class_devs == nullptr) return platform::kInvalidHandleValue;
  const HDEVINFO set = get_class_devs(nullptr, nullptr, nullptr, flags);
  if (set == INVALID_HANDLE_VALUE) return platform::kInvalidHandleValue;
  return ToHandle(set);
}

platform::Bool Win32Platform::SetupDiEnumDeviceInfo(platform::Handle set, platform::Dword index,
                                                    platform::DeviceInfoData* data) {
  const auto enum_device_info = DEVICE_SERVICE(kSetupApi, SetupDiEnumDeviceInfo);
  if (enum_device_info == nullptr) return FALSE;
  if (data == nullptr) return enum_device_info(FromHandle<HDEVINFO>(set), index, nullptr);
  SP_DEVINFO_DATA element{};
  // A record of the wrong size reaches SetupAPI as one, so that it refuses it itself.
  element.cbSize = data->cb_size == sizeof(platform::DeviceInfoData) ? sizeof(element) : 0;
  const BOOL ok = enum_device_info(FromHandle<HDEVINFO>(set), index, &element);
  if (ok) {
    LastErrorKeeper keep;
    records_->elements[set][element.DevInst] = element;
    data->dev_inst = element.DevInst;
  }
  return ok;
}

platform::Bool Win32Platform::SetupDiGetDeviceRegistryPropertyA(
    platform::Handle set, const platform::DeviceInfoData& data, platform::Dword property,
    platform::Dword* property_type, unsigned char* buffer, platform::Dword buffer_size,
    platform::Dword* required_size) {
  const auto get_property = DEVICE_SERVICE(kSetupApi, SetupDiGetDeviceRegistryPropertyA);
  if (get_property == nullptr) return FALSE;
  SP_DEVINFO_DATA element = records_->Element(set, data);
  // The service writes the caller's values, or leaves them as they were.
  DWORD type = property_type ? *property_type : 0;
  DWORD required = required_size ? *required_size : 0;
  const BOOL ok =
      get_property(FromHandle<HDEVINFO>(set), &element, property, property_type ? &type : nullptr,
                   buffer, buffer_size, required_size ? &required : nullptr);
  if (property_type) *property_type = type;
  if (required_size) *required_size = required;
  return ok;
}

platform::Bool Win32Platform::SetupDiCallClassInstaller(platform::Dword install_function,
                                                        platform::Handle set,
                                                        const platform::DeviceInfoData& data) {
  const auto call_class_installer = DEVICE_SERVICE(kSetupApi, SetupDiCallClassInstaller);
  if (call_class_installer == nullptr) return FALSE;
  SP_DEVINFO_DATA element = records_->Element(set, data);
  return call_class_installer(install_function, FromHandle<HDEVINFO>(set), &element);
}

platform::Bool Win32Platform::SetupDiDestroyDeviceInfoList(platform::Handle set) {
  const auto destroy_list = DEVICE_SERVICE(kSetupApi, SetupDiDestroyDeviceInfoList);
  if (destroy_list == nullptr) return FALSE;
  const BOOL ok = destroy_list(FromHandle<HDEVINFO>(set));
  LastErrorKeeper keep;
  records_->elements.erase(set);
  return ok;
}

platform::Bool Win32Platform::UpdateDriverForPlugAndPlayDevicesA(std::string_view hardware_id,
                                                                 std::string_view inf_path,
                                                                 platform::Dword flags,
                                                                 platform::Bool* reboot) {
  const auto update_driver = DEVICE_SERVICE(kNewDev, UpdateDriverForPlugAndPlayDevicesA);
  if (update_driver == nullptr) return FALSE;
  return update_driver(nullptr, std::string(hardware_id).c_str(), std::string(inf_path).c_str(),
                       flags, reboot);
}

#undef DEVICE_SERVICE

// --- Processes -------------------------------------------------------------------------------

void Win32Platform::GetStartupInfoA(platform::StartupInfo* info) {
  STARTUPINFOA& own = records_->startup;
  own = STARTUPINFOA{};
  own.cb = sizeof(own);
  ::GetStartupInfoA(&own);
  records_->startup_filled = true;
  if (info == nullptr) return;
  info->filled = true;
  info->lp_reserved = own.lpReserved;
  info->dw_flags = own.dwFlags;
  info->w_show_window = own.wShowWindow;
  info->cb_reserved2 = own.cbReserved2;
  info->lp_reserved2 = own.lpReserved2;
}

platform::Bool Win32Platform::CreateProcessA(std::string_view command_line,
                                             platform::Dword creation_flags,
                                             const platform::StartupInfo& startup,
                                             platform::ProcessInformation* info) {
  // The program's own record, with the fields the program sets applied over it.
  STARTUPINFOA record{};
  if (startup.filled && records_->startup_filled) record = records_->startup;
  record.cb = sizeof(record);
  record.lpReserved = static_cast<LPSTR>(const_cast<void*>(startup.lp_reserved));
  record.dwFlags = startup.dw_flags;
  record.wShowWindow = startup.w_show_window;
  record.cbReserved2 = startup.cb_reserved2;
  record.lpReserved2 = static_cast<LPBYTE>(const_cast<void*>(startup.lp_reserved2));

  // CreateProcessA may write into its command line: it gets a copy of its own.
  std::string line(command_line);
  PROCESS_INFORMATION started{};
  const BOOL ok = ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, creation_flags,
                                   nullptr, nullptr, &record, &started);
  if (ok && info != nullptr) {
    info->process = ToHandle(started.hProcess);
    info->thread = ToHandle(started.hThread);
    info->process_id = started.dwProcessId;
    info->thread_id = started.dwThreadId;
  }
  return ok;
}

platform::Dword Win32Platform::WaitForSingleObject(platform::Handle handle,
                                                   platform::Dword milliseconds) {
  return ::WaitForSingleObject(FromHandle<HANDLE>(handle), milliseconds);
}

platform::Bool Win32Platform::GetExitCodeProcess(platform::Handle process,
                                                 platform::Dword* exit_code) {
  DWORD code = 0;
  const BOOL ok = ::GetExitCodeProcess(FromHandle<HANDLE>(process), exit_code ? &code : nullptr);
  if (ok && exit_code) *exit_code = code;
  return ok;
}

platform::Bool Win32Platform::CloseHandle(platform::Handle handle) {
  return ::CloseHandle(FromHandle<HANDLE>(handle));
}

// --- Registry --------------------------------------------------------------------------------

long Win32Platform::RegCreateKeyExA(platform::Handle root, std::string_view sub_key,
                                    platform::Dword options, platform::Dword access,
                                    platform::Handle* key) {
  HKEY created = nullptr;
  const LONG result = ::RegCreateKeyExA(ToKey(root), std::string(sub_key).c_str(), 0, nullptr,
                                        options, access, nullptr, &created, nullptr);
  if (key != nullptr) *key = result == ERROR_SUCCESS ? ToHandle(created) : platform::kNullHandle;
  return result;
}

long Win32Platform::RegSetValueExA(platform::Handle key, std::string_view value_name,
                                   platform::Dword type, const unsigned char* data,
                                   platform::Dword size) {
  return ::RegSetValueExA(ToKey(key), std::string(value_name).c_str(), 0, type, data, size);
}

long Win32Platform::RegCloseKey(platform::Handle key) {
  return ::RegCloseKey(ToKey(key));
}

}  // namespace win32
