// platform_check: runs the Windows backend against the real services of the machine it runs on
// (Windows, or a Wine prefix) and checks that each operation answers as its Windows namesake.
//
//   platform_check            every check; prints the failures and "N passed, N failed";
//                             exit code 0 when all passed
//   platform_check stdio      copies standard input to standard output through the backend,
//                             each input byte as two hex digits, then "\n" (text mode: CR LF)
//   platform_check keywait    prints "waiting\n", waits for a key press, prints "done\n"
//   platform_check keyfeed    (in a console) feeds key events to "keywait" children
//   platform_check child N    exits with N
//   platform_check startup    exits with (startup dwFlags & 0xFF) * 256 + wShowWindow
#include "platform/win32/win32_platform.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <windows.h>

#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>

#include "platform/win32/system_libraries.h"
#include "test_helpers.h"

namespace {

using wintests::kSystemClass;

int passed = 0;
int failed = 0;

bool Check(bool ok, const std::string& what, int line) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAILED (line %d): %s\n", line, what.c_str());
  }
  return ok;
}
#define CHECK(condition) Check((condition), #condition, __LINE__)

std::string OwnPath() {
  return wintests::ModulePath(nullptr);
}

/// The system directory as GetSystemDirectoryA gives it, without the backend.
std::string DirectSystemDirectory() {
  char path[MAX_PATH] = {};
  ::GetSystemDirectoryA(path, sizeof(path));
  return path;
}

std::string ScratchFolder() {
  char temp[MAX_PATH] = {};
  ::GetTempPathA(sizeof(temp), temp);
  return std::string(temp) + "platform_check";
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

void CheckSystem(win32::Win32Platform& p) {
  const std::string system = p.GetSystemDirectoryA();
  CHECK(!system.empty());
  CHECK(system == DirectSystemDirectory());
  CHECK(system.back() != '\\');

  CHECK(::SetCurrentDirectoryA("C:\\"));
  CHECK(p.GetCurrentDriveNumber() == 3);

  CHECK(p.GetSystemDefaultLangID() == ::GetSystemDefaultLangID());

  p.SetLastError(1234);
  CHECK(p.GetLastError() == 1234);
  CHECK(::GetLastError() == 1234);

  LARGE_INTEGER frequency{}, start{}, end{};
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  p.Sleep(50);
  ::QueryPerformanceCounter(&end);
  CHECK((end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart >= 45);
}

void CheckFiles(win32::Win32Platform& p) {
  const std::string folder = ScratchFolder();
  ::CreateDirectoryA(folder.c_str(), nullptr);
  const std::string file = folder + "\\DATA.BIN";
  const std::string missing = folder + "\\MISSING.BIN";
  using namespace std::string_literals;
  const std::string bytes =
      "ab\r\ncd\x1a"
      "ef\n\0gh"s;
  std::ofstream(file, std::ios::binary) << bytes;

  std::vector<char> buffer(64, '\0');
  const auto read = p.ReadBinaryFile(file, buffer);
  CHECK(read.has_value() && *read == bytes.size());
  CHECK(std::string(buffer.data(), bytes.size()) == bytes);
  const auto part = p.ReadBinaryFile(file, std::span<char>(buffer.data(), 4));
  CHECK(part.has_value() && *part == 4);
  CHECK(p.ReadBinaryFile(missing, buffer) == std::nullopt);
  CHECK(p.GetFileSize(file) == std::optional<std::uint64_t>(bytes.size()));
  CHECK(p.GetFileSize(missing) == std::nullopt);

  const platform::Handle found = p.FindFirstFileA(file);
  CHECK(found != platform::kInvalidHandleValue);
  if (found != platform::kInvalidHandleValue) CHECK(p.FindClose(found));
  CHECK(p.FindFirstFileA(missing) == platform::kInvalidHandleValue);
  CHECK(p.GetLastError() == ERROR_FILE_NOT_FOUND);

  const std::string sub = folder + "\\SUB\\";
  const std::string copy = sub + "COPY.BIN";
  ::SetFileAttributesA(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::DeleteFileA(copy.c_str());
  ::RemoveDirectoryA(sub.c_str());
  CHECK(p.CreateDirectoryA(sub));
  CHECK(!p.CreateDirectoryA(sub));
  CHECK(p.GetLastError() == ERROR_ALREADY_EXISTS);

  CHECK(p.CopyFileA(file, copy, FALSE));
  CHECK(wintests::ReadWholeFile(copy) == bytes);
  CHECK(!p.CopyFileA(file, copy, TRUE));
  CHECK(p.SetFileAttributesA(copy, FILE_ATTRIBUTE_READONLY));
  CHECK((::GetFileAttributesA(copy.c_str()) & FILE_ATTRIBUTE_READONLY) != 0);
  // Windows refuses to overwrite a read-only file; Wine running as root overwrites it.
  if (!p.CopyFileA(file, copy, FALSE)) CHECK(p.GetLastError() == ERROR_ACCESS_DENIED);
  CHECK(p.SetFileAttributesA(copy, FILE_ATTRIBUTE_NORMAL));
  CHECK(p.CopyFileA(file, copy, FALSE));
  CHECK(!p.CopyFileA(missing, copy, FALSE));
  CHECK(p.GetLastError() == ERROR_FILE_NOT_FOUND);
  CHECK(!p.SetFileAttributesA(missing, FILE_ATTRIBUTE_NORMAL));
}

/// The Windows directory as GetWindowsDirectoryA gives it, without the backend.
std::string DirectWindowsDirectory() {
  char path[MAX_PATH] = {};
  ::GetWindowsDirectoryA(path, sizeof(path));
  return path;
}

/// Whether this is a 32-bit program on 64-bit Windows, told without IsWow64Process: only
/// 64-bit Windows has a SysWOW64 folder in its Windows directory.
bool SysWow64Present() {
  const DWORD attributes = ::GetFileAttributesA((DirectWindowsDirectory() + "\\SysWOW64").c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void CheckVersionAndWow64(win32::Win32Platform& p) {
  const std::string windows = p.GetWindowsDirectoryA();
  CHECK(!windows.empty());
  CHECK(windows == DirectWindowsDirectory());
  CHECK(windows.back() != '\\');
  // The system directory lies in the Windows directory.
  const std::string system = p.GetSystemDirectoryA();
  CHECK(Upper(system.substr(0, system.find_last_of('\\'))) == Upper(windows));

  OSVERSIONINFOA direct{};
  direct.dwOSVersionInfoSize = sizeof(direct);
  CHECK(::GetVersionExA(&direct));
  platform::OsVersionInfo version;
  CHECK(p.GetVersionExA(&version));
  CHECK(version.major_version == direct.dwMajorVersion);
  CHECK(version.minor_version == direct.dwMinorVersion);
  CHECK(version.build_number == direct.dwBuildNumber);
  CHECK(version.platform_id == direct.dwPlatformId);
  CHECK(version.csd_version == direct.szCSDVersion);
  // Windows 2000 (the 32-bit prefix of the suite is set to it) as its last service pack has it.
  if (version.major_version == 5 && version.minor_version == 0) {
    CHECK(version.build_number == 2195);
    CHECK(version.platform_id == VER_PLATFORM_WIN32_NT);
    CHECK(version.csd_version == "Service Pack 4");
  }

  // A 64-bit program is no WOW64 one; a 32-bit one is where the system is 64-bit. Where the
  // function is missing (Windows 2000) the answer is FALSE with ERROR_PROC_NOT_FOUND.
  const bool expected = sizeof(void*) == 4 && SysWow64Present();
  platform::Bool wow64 = 7;
  p.SetLastError(0);
  if (p.IsWow64Process(&wow64)) {
    CHECK((wow64 != FALSE) == expected);
  } else {
    CHECK(p.GetLastError() == ERROR_PROC_NOT_FOUND);
    CHECK(wow64 == 7);
    CHECK(!expected);
  }
  std::printf("  %s %lu.%lu build %lu \"%s\", IsWow64Process %s\n", windows.c_str(),
              static_cast<unsigned long>(version.major_version),
              static_cast<unsigned long>(version.minor_version),
              static_cast<unsigned long>(version.build_number), version.csd_version.c_str(),
              wow64 == 7 ? "missing"
              : wow64    ? "TRUE"
                         : "FALSE");

  CHECK(p.GetCommandLineA() == ::GetCommandLineA());
  CHECK(Upper(p.GetCommandLineA()).find("PLATFORM_CHECK") != std::string::npos);

  SYSTEMTIME before{};
  ::GetLocalTime(&before);
  platform::SystemTime now;
  p.GetLocalTime(&now);
  SYSTEMTIME after{};
  ::GetLocalTime(&after);
  // Between the two direct readings (unless a day ended in between).
  if (before.wDay == after.wDay) {
    CHECK(now.year == before.wYear && now.month == before.wMonth && now.day == before.wDay);
    CHECK(now.day_of_week == before.wDayOfWeek);
    const auto of_day = [](unsigned h, unsigned m, unsigned s, unsigned ms) {
      return ((h * 60 + m) * 60 + s) * 1000 + ms;
    };
    const unsigned at = of_day(now.hour, now.minute, now.second, now.milliseconds);
    CHECK(at >= of_day(before.wHour, before.wMinute, before.wSecond, before.wMilliseconds));
    CHECK(at <= of_day(after.wHour, after.wMinute, after.wSecond, after.wMilliseconds));
  }
}

/// Set (by the suite's runner) when Wine runs as root, which writes to read-only files.
constexpr const char* kWineAsRoot = "PLATFORM_CHECK_WINE_AS_ROOT";

platform::Handle OpenToAppend(win32::Win32Platform& p, const std::string& path) {
  return p.CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
}

void CheckAppendAndMove(win32::Win32Platform& p) {
  const std::string folder = ScratchFolder();
  ::CreateDirectoryA(folder.c_str(), nullptr);
  const std::string log = folder + "\\SETUP.LOG";
  ::SetFileAttributesA(log.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::DeleteFileA(log.c_str());

  // Two handles that append: every write goes whole to the end, whoever wrote last.
  p.SetLastError(1234);
  const platform::Handle first = OpenToAppend(p, log);
  CHECK(first != platform::kInvalidHandleValue);
  CHECK(p.GetLastError() == ERROR_SUCCESS);  // created
  const platform::Handle second = OpenToAppend(p, log);
  CHECK(second != platform::kInvalidHandleValue);
  CHECK(p.GetLastError() == ERROR_ALREADY_EXISTS);  // opened
  platform::Dword written = 0;
  CHECK(p.WriteFile(first, "one\r\n", &written));
  CHECK(written == 5);
  CHECK(p.WriteFile(second, "two two\r\n", &written));
  CHECK(written == 9);
  CHECK(p.WriteFile(first, "three\r\n", &written));
  CHECK(p.WriteFile(second, "", &written));
  CHECK(written == 0);
  CHECK(p.CloseHandle(first));
  CHECK(p.CloseHandle(second));
  CHECK(wintests::ReadWholeFile(log) == "one\r\ntwo two\r\nthree\r\n");
  written = 77;
  CHECK(!p.WriteFile(platform::kInvalidHandleValue, "x", &written));
  CHECK(written == 0);

  // A read-only file cannot be opened to append to it; a missing folder is no place for one.
  // (Wine keeps the attribute as the file's Unix permission, which a Wine run by root passes:
  // the runner says so, and there an open that succeeds is let be.)
  CHECK(::SetFileAttributesA(log.c_str(), FILE_ATTRIBUTE_READONLY));
  const platform::Handle read_only = OpenToAppend(p, log);
  if (read_only == platform::kInvalidHandleValue) {
    CHECK(p.GetLastError() == ERROR_ACCESS_DENIED);
  } else {
    CHECK(std::getenv(kWineAsRoot) != nullptr);
    p.CloseHandle(read_only);
  }
  CHECK(::SetFileAttributesA(log.c_str(), FILE_ATTRIBUTE_NORMAL));
  CHECK(OpenToAppend(p, folder + "\\MISSING\\SETUP.LOG") == platform::kInvalidHandleValue);
  CHECK(p.GetLastError() == ERROR_PATH_NOT_FOUND);

  // A rename replaces an existing file only when asked to.
  const std::string old = folder + "\\SETUP.OLD";
  ::SetFileAttributesA(old.c_str(), FILE_ATTRIBUTE_NORMAL);
  std::ofstream(old, std::ios::binary) << "older";
  CHECK(!p.MoveFileExA(log, old, 0));
  CHECK(p.GetLastError() == ERROR_ALREADY_EXISTS);
  CHECK(p.MoveFileExA(log, old, MOVEFILE_REPLACE_EXISTING));
  CHECK(wintests::ReadWholeFile(old) == "one\r\ntwo two\r\nthree\r\n");
  CHECK(::GetFileAttributesA(log.c_str()) == INVALID_FILE_ATTRIBUTES);
  CHECK(!p.MoveFileExA(log, old, MOVEFILE_REPLACE_EXISTING));
  CHECK(p.GetLastError() == ERROR_FILE_NOT_FOUND);
  ::DeleteFileA(old.c_str());
}

/// The SetupAPI services that the checks use to lay out devices of their own. The check imports
/// no device library either: it takes them as the backend does, so that the checks of the
/// backend's loads see a process that has loaded nothing yet.
class DeviceMaker {
 public:
  bool ok() const {
    return create_list_ && create_info_ && set_property_ && call_installer_ && instance_id_ &&
           open_info_ && destroy_list_;
  }

  /// Creates and registers a root-enumerated device with `ids` (a REG_MULTI_SZ list; empty: no
  /// hardware-ID property at all); returns its device instance ID.
  std::string Create(const std::string& ids) {
    const HDEVINFO set = create_list_(&kSystemClass, nullptr);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    create_info_(set, "TESTDEV", &kSystemClass, nullptr, nullptr, DICD_GENERATE_ID, &device);
    if (!ids.empty()) {
      set_property_(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids.data()),
                    static_cast<DWORD>(ids.size()));
    }
    call_installer_(DIF_REGISTERDEVICE, set, &device);
    char instance[MAX_DEVICE_ID_LEN] = {};
    instance_id_(set, &device, instance, sizeof(instance), nullptr);
    destroy_list_(set);
    return instance;
  }

  /// Removes a device by its instance ID, so that the machine is left as it was found.
  void Remove(const std::string& instance) {
    const HDEVINFO set = create_list_(nullptr, nullptr);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (open_info_(set, instance.c_str(), nullptr, 0, &device)) {
      call_installer_(DIF_REMOVE, set, &device);
    }
    destroy_list_(set);
  }

 private:
  template <typename Function>
  Function* Find(const char* name) {
    return libraries_.Find<Function>(win32::Library::kSetupApi, name);
  }

  win32::SystemLibraries libraries_;  // declared first: built before the functions are taken
  decltype(::SetupDiCreateDeviceInfoList)* create_list_ =
      Find<decltype(::SetupDiCreateDeviceInfoList)>("SetupDiCreateDeviceInfoList");
  decltype(::SetupDiCreateDeviceInfoA)* create_info_ =
      Find<decltype(::SetupDiCreateDeviceInfoA)>("SetupDiCreateDeviceInfoA");
  decltype(::SetupDiSetDeviceRegistryPropertyA)* set_property_ =
      Find<decltype(::SetupDiSetDeviceRegistryPropertyA)>("SetupDiSetDeviceRegistryPropertyA");
  decltype(::SetupDiCallClassInstaller)* call_installer_ =
      Find<decltype(::SetupDiCallClassInstaller)>("SetupDiCallClassInstaller");
  decltype(::SetupDiGetDeviceInstanceIdA)* instance_id_ =
      Find<decltype(::SetupDiGetDeviceInstanceIdA)>("SetupDiGetDeviceInstanceIdA");
  decltype(::SetupDiOpenDeviceInfoA)* open_info_ =
      Find<decltype(::SetupDiOpenDeviceInfoA)>("SetupDiOpenDeviceInfoA");
  decltype(::SetupDiDestroyDeviceInfoList)* destroy_list_ =
      Find<decltype(::SetupDiDestroyDeviceInfoList)>("SetupDiDestroyDeviceInfoList");
};

struct SeenDevice {
  platform::DeviceInfoData data;
  bool has_ids = false;
  std::string ids;  // the REG_MULTI_SZ list as read
};

/// Every device of `set`, read through the backend; `last_error` is the error that ended the
/// enumeration.
std::vector<SeenDevice> Enumerate(win32::Win32Platform& p, platform::Handle set,
                                  DWORD* last_error) {
  std::vector<SeenDevice> devices;
  for (DWORD index = 0;; ++index) {
    SeenDevice seen;
    if (!p.SetupDiEnumDeviceInfo(set, index, &seen.data)) break;
    platform::Dword type = 0;
    platform::Dword required = 0;
    if (!p.SetupDiGetDeviceRegistryPropertyA(set, seen.data, SPDRP_HARDWAREID, &type, nullptr, 0,
                                             &required)) {
      const DWORD error = p.GetLastError();
      if (error == ERROR_INSUFFICIENT_BUFFER) {
        std::string buffer(required, '\0');
        platform::Dword size = 0;
        CHECK(p.SetupDiGetDeviceRegistryPropertyA(set, seen.data, SPDRP_HARDWAREID, &type,
                                                  reinterpret_cast<unsigned char*>(buffer.data()),
                                                  required, &size));
        CHECK(size == required);
        CHECK(type == REG_MULTI_SZ);
        seen.has_ids = true;
        seen.ids = buffer.substr(0, size);
      } else {
        CHECK(error == ERROR_INVALID_DATA);
      }
    }
    devices.push_back(seen);
  }
  *last_error = p.GetLastError();
  return devices;
}

/// How many of `devices` carry exactly the hardware-ID list `ids`.
std::ptrdiff_t Carrying(const std::vector<SeenDevice>& devices, const std::string& ids) {
  return std::count_if(devices.begin(), devices.end(),
                       [&](const SeenDevice& device) { return device.ids == ids; });
}

void CheckDevices(win32::Win32Platform& p) {
  using namespace std::string_literals;
  DeviceMaker maker;
  CHECK(maker.ok());
  if (!maker.ok()) return;
  const std::string ids = "ROOT\\PLATFORM_CHECK&SUBSYS_02591014&REV_01\0ROOT\\PLATFORM_CHECK\0\0"s;
  const std::string lone = "ROOT\\PLATFORM_CHECK_LONE\0\0"s;
  const std::string with_ids_instance = maker.Create(ids);
  maker.Create(lone);
  const std::string without_ids_instance = maker.Create("");

  const platform::Handle set = p.SetupDiGetClassDevsA(DIGCF_PRESENT | DIGCF_ALLCLASSES);
  CHECK(set != platform::kInvalidHandleValue);
  if (set == platform::kInvalidHandleValue) return;
  DWORD last_error = 0;
  const std::vector<SeenDevice> devices = Enumerate(p, set, &last_error);
  CHECK(last_error == ERROR_NO_MORE_ITEMS);
  CHECK(Carrying(devices, ids) == 1);
  CHECK(std::any_of(devices.begin(), devices.end(),
                    [](const SeenDevice& device) { return !device.has_ids; }));
  const auto lone_device = std::find_if(
      devices.begin(), devices.end(), [&](const SeenDevice& device) { return device.ids == lone; });
  CHECK(lone_device != devices.end());

  // A record of another size is refused by the service itself.
  platform::DeviceInfoData wrong;
  wrong.cb_size = 4;
  CHECK(!p.SetupDiEnumDeviceInfo(set, 0, &wrong));
  CHECK(p.GetLastError() == ERROR_INVALID_USER_BUFFER);

  if (lone_device != devices.end()) {
    p.SetLastError(0);
    CHECK(p.SetupDiCallClassInstaller(DIF_REMOVE, set, lone_device->data));
  }
  CHECK(p.SetupDiDestroyDeviceInfoList(set));

  // The removed device is gone from a new enumeration.
  const platform::Handle again = p.SetupDiGetClassDevsA(DIGCF_PRESENT | DIGCF_ALLCLASSES);
  const std::vector<SeenDevice> after = Enumerate(p, again, &last_error);
  CHECK(Carrying(after, lone) == 0);
  CHECK(after.size() + 1 == devices.size());
  CHECK(p.SetupDiDestroyDeviceInfoList(again));
  maker.Remove(with_ids_instance);
  maker.Remove(without_ids_instance);

  // An update for an ID that no device carries changes nothing and leaves the flag alone.
  platform::Bool reboot = FALSE;
  p.UpdateDriverForPlugAndPlayDevicesA("ROOT\\NO_SUCH_DEVICE", "C:\\windows\\inf\\none.inf",
                                       INSTALLFLAG_FORCE, &reboot);
  CHECK(reboot == FALSE);
}

// --- setupapi.dll and newdev.dll, which the program does not import --------------------------

/// The full path of a loaded library, in upper case; empty when it is not loaded.
std::string LoadedFrom(const char* library) {
  const HMODULE module = ::GetModuleHandleA(library);
  return module == nullptr ? std::string() : Upper(wintests::ModulePath(module));
}

/// Neither device library is loaded in this process; `when` names the moment for a failure.
void CheckNoneLoaded(const std::string& when) {
  for (const char* library : {"setupapi.dll", "newdev.dll"}) {
    Check(::GetModuleHandleA(library) == nullptr, std::string(library) + " not loaded " + when,
          __LINE__);
  }
}

/// A backend that takes its libraries from `folder`, where it cannot load them: every device
/// service fails as the service does, with the load's error as the last error, leaves the
/// caller's values alone, and nothing is loaded from anywhere else.
void CheckServicesFailFrom(const std::string& folder) {
  win32::Win32Platform p(folder);
  platform::DeviceInfoData data;
  platform::Dword type = 77;
  platform::Dword required = 88;
  unsigned char buffer[16] = {};
  platform::Bool reboot = FALSE;
  const struct {
    const char* what;
    std::function<bool()> fails;
  } cases[] = {
      {"SetupDiGetClassDevsA gives INVALID_HANDLE_VALUE",
       [&] {
         return p.SetupDiGetClassDevsA(DIGCF_PRESENT | DIGCF_ALLCLASSES) ==
                platform::kInvalidHandleValue;
       }},
      {"SetupDiEnumDeviceInfo gives FALSE",
       [&] { return p.SetupDiEnumDeviceInfo(platform::kInvalidHandleValue, 0, &data) == FALSE; }},
      {"SetupDiGetDeviceRegistryPropertyA gives FALSE",
       [&] {
         return p.SetupDiGetDeviceRegistryPropertyA(platform::kInvalidHandleValue, data,
                                                    SPDRP_HARDWAREID, &type, buffer, sizeof(buffer),
                                                    &required) == FALSE;
       }},
      {"SetupDiCallClassInstaller gives FALSE",
       [&] {
         return p.SetupDiCallClassInstaller(DIF_REMOVE, platform::kInvalidHandleValue, data) ==
                FALSE;
       }},
      {"SetupDiDestroyDeviceInfoList gives FALSE",
       [&] { return p.SetupDiDestroyDeviceInfoList(platform::kInvalidHandleValue) == FALSE; }},
      {"UpdateDriverForPlugAndPlayDevicesA gives FALSE",
       [&] {
         return p.UpdateDriverForPlugAndPlayDevicesA("ROOT\\NO_SUCH_DEVICE",
                                                     "C:\\windows\\inf\\none.inf",
                                                     INSTALLFLAG_FORCE, &reboot) == FALSE;
       }},
  };
  for (const auto& c : cases) {
    p.SetLastError(ERROR_SUCCESS);
    Check(c.fails(), c.what, __LINE__);
    Check(p.GetLastError() == ERROR_MOD_NOT_FOUND,
          std::string(c.what) + ", last error ERROR_MOD_NOT_FOUND", __LINE__);
  }
  CHECK(data.dev_inst == 0);
  CHECK(type == 77);
  CHECK(required == 88);
  CHECK(reboot == FALSE);
  CheckNoneLoaded("after loading from " + folder);
}

/// Runs first, before anything in this process has loaded a device library.
void CheckLibraries() {
  const std::string system = DirectSystemDirectory();
  const std::string setupapi_path = Upper(system + "\\setupapi.dll");
  const std::string newdev_path = Upper(system + "\\newdev.dll");

  // Neither library is imported: nothing has loaded one, and a backend loads none until a
  // device service is called.
  CheckNoneLoaded("at the start");
  {
    win32::Win32Platform idle;
    idle.SetLastError(0);
    CheckNoneLoaded("by an idle backend");
  }

  // A folder that lacks both libraries: nothing is loaded from the program's folder, the current
  // folder or the system directory either.
  const std::string empty = ScratchFolder() + "\\NOLIBS";
  ::CreateDirectoryA(ScratchFolder().c_str(), nullptr);
  ::CreateDirectoryA(empty.c_str(), nullptr);
  CheckServicesFailFrom(empty);

  // A folder that is not a full path is never searched for, not even where it would name the
  // system directory from the current one.
  const std::string windows_directory = system.substr(0, system.rfind('\\'));
  const std::string relative = system.substr(system.rfind('\\') + 1);
  CHECK(::SetCurrentDirectoryA(windows_directory.c_str()));
  CheckServicesFailFrom(relative);

  // The real libraries: each loaded at its first use, from the system directory, by full path.
  {
    win32::Win32Platform p;
    const platform::Handle set = p.SetupDiGetClassDevsA(DIGCF_PRESENT | DIGCF_ALLCLASSES);
    CHECK(set != platform::kInvalidHandleValue);
    CHECK(LoadedFrom("setupapi.dll") == setupapi_path);
    if (set != platform::kInvalidHandleValue) CHECK(p.SetupDiDestroyDeviceInfoList(set));
    platform::Bool reboot = FALSE;
    p.UpdateDriverForPlugAndPlayDevicesA("ROOT\\NO_SUCH_DEVICE", "C:\\windows\\inf\\none.inf",
                                         INSTALLFLAG_FORCE, &reboot);
    CHECK(LoadedFrom("newdev.dll") == newdev_path);
  }

  // The loader itself: the paths it loads from, and a function that a library lacks.
  win32::SystemLibraries system_libraries;
  CHECK(Upper(system_libraries.PathOf(win32::Library::kSetupApi).value_or("")) == setupapi_path);
  CHECK(Upper(system_libraries.PathOf(win32::Library::kNewDev).value_or("")) == newdev_path);
  win32::SystemLibraries own_folder("C:\\SOME\\FOLDER\\");
  CHECK(own_folder.PathOf(win32::Library::kNewDev).value_or("") == "C:\\SOME\\FOLDER\\newdev.dll");
  ::SetLastError(ERROR_SUCCESS);
  CHECK(system_libraries.Find<void()>(win32::Library::kSetupApi, "NoSuchFunction") == nullptr);
  CHECK(::GetLastError() == ERROR_PROC_NOT_FOUND);
  CHECK(system_libraries.Find<decltype(::SetupDiGetClassDevsA)>(win32::Library::kSetupApi,
                                                                "SetupDiGetClassDevsA") != nullptr);
}

/// Starts this program with `arguments` through the backend, waits for it and closes its
/// handles; its exit code.
platform::Dword RunOwn(win32::Win32Platform& p, const std::string& arguments,
                       platform::Dword creation_flags, const platform::StartupInfo& startup) {
  platform::ProcessInformation info;
  platform::Dword code = 0;
  if (!CHECK(p.CreateProcessA(OwnPath() + " " + arguments, creation_flags, startup, &info))) {
    return code;
  }
  CHECK(p.WaitForSingleObject(info.process, INFINITE) == WAIT_OBJECT_0);
  CHECK(p.GetExitCodeProcess(info.process, &code));
  CHECK(p.CloseHandle(info.thread));
  CHECK(p.CloseHandle(info.process));
  return code;
}

void CheckProcesses(win32::Win32Platform& p) {
  platform::StartupInfo startup;
  p.GetStartupInfoA(&startup);
  CHECK(startup.filled);

  platform::ProcessInformation info;
  CHECK(p.CreateProcessA("C:\\no_such_folder\\KVLSETUP.EXE -S", 0, startup, &info) == FALSE);
  const DWORD missing = p.GetLastError();
  CHECK(missing == ERROR_FILE_NOT_FOUND || missing == ERROR_PATH_NOT_FOUND);

  // The program's own record with every field it sets cleared.
  startup = platform::StartupInfo{.filled = startup.filled};
  CHECK(RunOwn(p, "child 7", 0, startup) == 7);

  // Hidden, in a console of its own: the child sees the program's fields.
  startup.dw_flags = STARTF_USESHOWWINDOW;
  startup.w_show_window = SW_HIDE;
  CHECK(RunOwn(p, "startup", CREATE_NEW_CONSOLE, startup) == (STARTF_USESHOWWINDOW << 8 | SW_HIDE));
  startup.w_show_window = SW_SHOWMINIMIZED;
  CHECK(RunOwn(p, "startup", CREATE_NEW_CONSOLE, startup) ==
        (STARTF_USESHOWWINDOW << 8 | SW_SHOWMINIMIZED));
}

void CheckRegistry(win32::Win32Platform& p) {
  const char* sub_key = "SOFTWARE\\PlatformCheck\\RunOnce";
  platform::Handle key = platform::kNullHandle;
  CHECK(p.RegCreateKeyExA(win32::kProgramLocalMachine, sub_key, REG_OPTION_NON_VOLATILE,
                          KEY_ALL_ACCESS, &key) == ERROR_SUCCESS);
  const std::string data = "C:\\windows\\system32\\drivers\\orvan\\win2000\\SETUP.EXE -R";
  CHECK(p.RegSetValueExA(key, "Setup", REG_SZ, reinterpret_cast<const unsigned char*>(data.c_str()),
                         static_cast<platform::Dword>(data.size() + 1)) == ERROR_SUCCESS);
  CHECK(p.RegCloseKey(key) == ERROR_SUCCESS);

  HKEY direct = nullptr;
  CHECK(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub_key, 0, KEY_READ, &direct) == ERROR_SUCCESS);
  char stored[512] = {};
  DWORD size = sizeof(stored);
  DWORD type = 0;
  CHECK(::RegQueryValueExA(direct, "Setup", nullptr, &type, reinterpret_cast<BYTE*>(stored),
                           &size) == ERROR_SUCCESS);
  CHECK(type == REG_SZ);
  CHECK(size == data.size() + 1);
  CHECK(data == stored);
  ::RegCloseKey(direct);
  ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, sub_key);
  ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\PlatformCheck");
}

// --- The key wait, on a console of its own ----------------------------------------------------

constexpr DWORD kRawBits = ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT;

INPUT_RECORD KeyRecord(bool down, WORD virtual_key, char character, DWORD state = 0) {
  INPUT_RECORD record{};
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent.bKeyDown = down;
  record.Event.KeyEvent.wRepeatCount = 1;
  record.Event.KeyEvent.wVirtualKeyCode = virtual_key;
  record.Event.KeyEvent.uChar.AsciiChar = character;
  record.Event.KeyEvent.dwControlKeyState = state;
  return record;
}

INPUT_RECORD FocusRecord() {
  INPUT_RECORD record{};
  record.EventType = FOCUS_EVENT;
  record.Event.FocusEvent.bSetFocus = TRUE;
  return record;
}

/// A key wait fed `ignored`, which must not end it, then `ending`, which must.
struct KeyWaitCase {
  const char* what;
  std::vector<INPUT_RECORD> ignored;
  std::vector<INPUT_RECORD> ending;
};

/// The feeder's cases; the feeder's exit code has bit N set when case N failed.
std::vector<KeyWaitCase> KeyWaitCases() {
  return {
      {"modifiers, locks, a key release and focus go on; F1 ends",
       {KeyRecord(true, VK_SHIFT, 0, SHIFT_PRESSED), KeyRecord(false, VK_SHIFT, 0),
        KeyRecord(true, VK_CONTROL, 0, LEFT_CTRL_PRESSED), KeyRecord(false, VK_CONTROL, 0),
        KeyRecord(true, VK_MENU, 0, LEFT_ALT_PRESSED), KeyRecord(false, VK_MENU, 0),
        KeyRecord(true, VK_CAPITAL, 0), KeyRecord(false, VK_CAPITAL, 0),
        KeyRecord(true, VK_NUMLOCK, 0, ENHANCED_KEY), KeyRecord(false, VK_NUMLOCK, 0, ENHANCED_KEY),
        KeyRecord(true, VK_SCROLL, 0), KeyRecord(false, VK_SCROLL, 0), KeyRecord(false, 'A', 'a'),
        FocusRecord()},
       {KeyRecord(true, VK_F1, 0)}},
      {"a letter ends", {}, {KeyRecord(true, 'A', 'a')}},
      // Ctrl+C is an ordinary key while the wait has the console raw.
      {"Ctrl+C ends, as a key",
       {KeyRecord(true, VK_CONTROL, 0, LEFT_CTRL_PRESSED)},
       {KeyRecord(true, 'C', 3, LEFT_CTRL_PRESSED)}},
      {"Shift alone goes on; Shift+Left ends",
       {KeyRecord(true, VK_SHIFT, 0, SHIFT_PRESSED)},
       {KeyRecord(true, VK_LEFT, 0, SHIFT_PRESSED | ENHANCED_KEY)}},
  };
}

void Feed(HANDLE input, const std::vector<INPUT_RECORD>& records) {
  DWORD written = 0;
  ::WriteConsoleInputA(input, records.data(), static_cast<DWORD>(records.size()), &written);
}

/// Starts this program with `arguments` directly, not through the backend; its process handle,
/// or nullptr when it could not be started.
HANDLE StartOwn(const std::string& arguments, DWORD creation_flags, DWORD startf = 0,
                WORD show_window = 0) {
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = startf;
  startup.wShowWindow = show_window;
  PROCESS_INFORMATION started{};
  std::string line = OwnPath() + " " + arguments;
  if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, creation_flags, nullptr,
                        nullptr, &startup, &started)) {
    return nullptr;
  }
  ::CloseHandle(started.hThread);
  return started.hProcess;
}

/// Starts "keywait" in this console and waits until it has put the console in raw mode.
HANDLE StartKeyWait(HANDLE input) {
  const HANDLE child = StartOwn("keywait", 0);
  for (int i = 0; child != nullptr && i < 500; ++i) {
    DWORD mode = 0;
    if (::GetConsoleMode(input, &mode) && (mode & kRawBits) == 0) break;
    ::Sleep(10);
  }
  return child;
}

/// Runs one case against a key wait in this console; the wait must also leave the console mode
/// as it found it.
bool RunKeyWaitCase(HANDLE input, const KeyWaitCase& c) {
  DWORD before = 0;
  ::GetConsoleMode(input, &before);
  const HANDLE child = StartKeyWait(input);
  if (child == nullptr) return false;
  DWORD raw = 0;
  ::GetConsoleMode(input, &raw);
  bool ok = (raw & kRawBits) == 0;
  if (!c.ignored.empty()) Feed(input, c.ignored);
  ok = ::WaitForSingleObject(child, 500) == WAIT_TIMEOUT && ok;
  Feed(input, c.ending);
  ok = ::WaitForSingleObject(child, 5000) == WAIT_OBJECT_0 && ok;
  DWORD code = 1;
  ::GetExitCodeProcess(child, &code);
  if (code != 0) {
    ::TerminateProcess(child, 1);
    ok = false;
  }
  ::CloseHandle(child);
  DWORD after = 0;
  ::GetConsoleMode(input, &after);
  ::FlushConsoleInputBuffer(input);
  return ok && after == before;
}

/// What FeedKeys's exit code holds above the bits of the failed cases, so that a feeder that
/// did not finish (killed by a Ctrl+C event, for one) never reads as a success.
constexpr DWORD kFeedDone = 0x5A00;

/// Runs in a console of its own: the exit code is kFeedDone with a bit set for every case that
/// failed, and 0x80 when the console could not be opened.
int FeedKeys() {
  // The feeder itself must outlive a Ctrl+C that a wait failed to take as a key.
  ::SetConsoleCtrlHandler(nullptr, TRUE);
  const HANDLE input =
      ::CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE) return kFeedDone | 0x80;
  DWORD mode = 0;
  ::GetConsoleMode(input, &mode);
  ::SetConsoleMode(input, mode | kRawBits);
  ::FlushConsoleInputBuffer(input);
  const std::vector<KeyWaitCase> cases = KeyWaitCases();
  int failures = 0;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    if (!RunKeyWaitCase(input, cases[i])) failures |= 1 << i;
  }
  ::CloseHandle(input);
  return static_cast<int>(kFeedDone | failures);
}

void CheckKeyWait() {
  // Without a console the wait ends at once.
  const DWORD start = ::GetTickCount();
  if (::CreateFileA("CONIN$", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr) ==
      INVALID_HANDLE_VALUE) {
    win32::Win32Platform p;
    p.WaitForKeyPress();
    CHECK(::GetTickCount() - start < 1000);
  }
  // In a console without a window, which Windows and Wine alike run headless, fed key events.
  const HANDLE feeder = StartOwn("keyfeed", CREATE_NO_WINDOW, STARTF_USESHOWWINDOW, SW_HIDE);
  if (!CHECK(feeder != nullptr)) return;
  CHECK(::WaitForSingleObject(feeder, 60000) == WAIT_OBJECT_0);
  DWORD failures = 0;
  ::GetExitCodeProcess(feeder, &failures);
  ::CloseHandle(feeder);
  Check((failures & ~0xFFul) == kFeedDone, "the feeder ran to its end", __LINE__);
  Check((failures & 0x80) == 0, "the feeder opened its console", __LINE__);
  const std::vector<KeyWaitCase> cases = KeyWaitCases();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    Check((failures & (1 << i)) == 0, std::string("key wait: ") + cases[i].what, __LINE__);
  }
}

int CopyStandardInput(win32::Win32Platform& p) {
  std::string out;
  while (const auto byte = p.ReadStandardInputByte()) {
    char hex[3];
    std::snprintf(hex, sizeof(hex), "%02x", *byte);
    out += hex;
  }
  p.WriteStandardOutput(out + "\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  win32::Win32Platform p;
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "child" && argc > 2) return std::atoi(argv[2]);
  if (mode == "startup") {
    STARTUPINFOA own{};
    own.cb = sizeof(own);
    ::GetStartupInfoA(&own);
    return static_cast<int>((own.dwFlags & 0xFF) << 8 | own.wShowWindow);
  }
  if (mode == "stdio") return CopyStandardInput(p);
  if (mode == "keywait") {
    p.WriteStandardOutput("waiting\n");
    p.WaitForKeyPress();
    p.WriteStandardOutput("done\n");
    return 0;
  }
  if (mode == "keyfeed") return FeedKeys();
  CheckLibraries();
  CheckSystem(p);
  CheckVersionAndWow64(p);
  CheckFiles(p);
  CheckAppendAndMove(p);
  CheckDevices(p);
  CheckProcesses(p);
  CheckRegistry(p);
  CheckKeyWait();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
