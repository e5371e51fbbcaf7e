// devtool: makes, lists and removes devices on a Windows machine (or a Wine prefix), so that the
// setup program finds the hardware a test wants.
//
//   devtool create HWID [HWID...]   a root-enumerated System-class device with these hardware
//                                   IDs, registered; prints its device instance ID
//   devtool list                    every present device, a line each:
//                                   INSTANCE<TAB>HWID;HWID...<TAB>DRIVER<TAB>NAME=VALUE;...
//                                   (DRIVER is the driver key or "-", the values are those of
//                                   the driver key)
//   devtool remove HWID             removes the first present device that carries HWID
//   devtool clear                   removes every device that "create" made (ROOT\TESTDEV\...)
//   devtool regget KEY VALUE        prints the registry value as TYPE<TAB>DATA (REG_SZ, REG_DWORD)
//   devtool regdelete KEY VALUE     deletes the registry value (success when it is not there)
//   devtool version                 prints what GetVersionExA reports: MAJOR.MINOR.BUILD PLATFORM
//                                   and the service pack text
//   devtool run FILE PROGRAM [ARG...]
//                                   runs the command line (an argument with a space in quotes)
//                                   on devtool's own standard streams, waits for it and writes
//                                   its exit code in decimal to FILE: all of its 32 bits, which
//                                   Wine cuts to 8 on the way to a Linux parent (3010 reads 194)
//
// KEY is a full key name, such as HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft (HKLM, HKCU for short).
// devtool reads the registry view of its own architecture, which is the program's when devtool is
// built for the program's architecture.
//
// Exit code 0 on success, 1 when the device or value was not found, 2 on a usage or system error.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "test_helpers.h"

namespace {

using wintests::kSystemClass;

int Fail(const char* what, DWORD error = ::GetLastError()) {
  std::fprintf(stderr, "devtool: %s failed: error %lu\n", what, error);
  return 2;
}

/// A device information set, destroyed on every path.
class DeviceSet {
 public:
  explicit DeviceSet(HDEVINFO set) : set_(set) {}
  ~DeviceSet() {
    if (ok()) ::SetupDiDestroyDeviceInfoList(set_);
  }
  DeviceSet(const DeviceSet&) = delete;
  DeviceSet& operator=(const DeviceSet&) = delete;
  bool ok() const { return set_ != INVALID_HANDLE_VALUE; }
  HDEVINFO get() const { return set_; }

  /// Calls `visit` for every device of the set until it returns true; whether one did.
  template <typename Visit>
  bool ForEach(Visit visit) const {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set_, index, &device); ++index) {
      if (visit(&device)) return true;
    }
    return false;
  }

 private:
  HDEVINFO set_;
};

std::string InstanceId(HDEVINFO set, SP_DEVINFO_DATA* device) {
  char instance[MAX_DEVICE_ID_LEN] = {};
  ::SetupDiGetDeviceInstanceIdA(set, device, instance, sizeof(instance), nullptr);
  return instance;
}

/// A device's string-list property (REG_MULTI_SZ) as its strings; empty when it has none.
std::vector<std::string> MultiStringProperty(HDEVINFO set, SP_DEVINFO_DATA* device,
                                             DWORD property) {
  DWORD size = 0;
  ::SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr, nullptr, 0, &size);
  if (size == 0) return {};
  std::string buffer(size + 2, '\0');  // ends in two NULs even when the list itself does not
  if (!::SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr,
                                           reinterpret_cast<BYTE*>(buffer.data()), size, nullptr)) {
    return {};
  }
  std::vector<std::string> strings;
  for (std::size_t start = 0; buffer[start] != '\0'; start = buffer.find('\0', start) + 1) {
    strings.push_back(buffer.substr(start, buffer.find('\0', start) - start));
  }
  return strings;
}

std::string StringProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
  char text[1024] = {};
  if (!::SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr,
                                           reinterpret_cast<BYTE*>(text), sizeof(text) - 1,
                                           nullptr)) {
    return {};
  }
  return text;
}

/// A registry value's data as text: a string up to its first NUL, a DWORD in decimal; nothing
/// for any other type.
std::optional<std::string> ValueText(DWORD type, const BYTE* data, DWORD size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  if (type == REG_SZ || type == REG_EXPAND_SZ) return bytes.substr(0, bytes.find('\0'));
  if (type != REG_DWORD || size != 4) return std::nullopt;
  DWORD number = 0;
  std::memcpy(&number, data, 4);
  return std::to_string(number);
}

/// The values of the device's driver key, as NAME=VALUE;... ("?" for a value of another type).
std::string DriverValues(HDEVINFO set, SP_DEVINFO_DATA* device) {
  const HKEY key = ::SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return {};
  std::string values;
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD name_size = sizeof(name);
    BYTE data[1024];
    DWORD data_size = sizeof(data) - 1;
    DWORD type = 0;
    if (::RegEnumValueA(key, index, name, &name_size, nullptr, &type, data, &data_size) !=
        ERROR_SUCCESS) {
      break;
    }
    if (!values.empty()) values += ';';
    values += std::string(name) + '=' + ValueText(type, data, data_size).value_or("?");
  }
  ::RegCloseKey(key);
  return values;
}

std::string Join(const std::vector<std::string>& strings) {
  std::string joined;
  for (const std::string& s : strings) {
    if (!joined.empty()) joined += ';';
    joined += s;
  }
  return joined;
}

int Create(int count, char** ids) {
  std::string list;
  for (int i = 0; i < count; ++i) list += std::string(ids[i]) + '\0';
  list += '\0';
  DeviceSet set(::SetupDiCreateDeviceInfoList(&kSystemClass, nullptr));
  if (!set.ok()) return Fail("SetupDiCreateDeviceInfoList");
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  if (!::SetupDiCreateDeviceInfoA(set.get(), "TESTDEV", &kSystemClass, nullptr, nullptr,
                                  DICD_GENERATE_ID, &device)) {
    return Fail("SetupDiCreateDeviceInfoA");
  }
  if (!::SetupDiSetDeviceRegistryPropertyA(set.get(), &device, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(list.data()),
                                           static_cast<DWORD>(list.size()))) {
    return Fail("SetupDiSetDeviceRegistryPropertyA");
  }
  if (!::SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.get(), &device)) {
    return Fail("DIF_REGISTERDEVICE");
  }
  const std::string instance = InstanceId(set.get(), &device);
  if (!instance.empty()) std::printf("%s\n", instance.c_str());
  return 0;
}

int List() {
  const DeviceSet set(
      ::SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  if (!set.ok()) return Fail("SetupDiGetClassDevsA");
  set.ForEach([&](SP_DEVINFO_DATA* device) {
    const std::string driver = StringProperty(set.get(), device, SPDRP_DRIVER);
    std::printf("%s\t%s\t%s\t%s\n", InstanceId(set.get(), device).c_str(),
                Join(MultiStringProperty(set.get(), device, SPDRP_HARDWAREID)).c_str(),
                driver.empty() ? "-" : driver.c_str(), DriverValues(set.get(), device).c_str());
    return false;
  });
  return 0;
}

int Remove(const std::string& hardware_id) {
  const DeviceSet set(
      ::SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  if (!set.ok()) return Fail("SetupDiGetClassDevsA");
  bool removed = false;
  const bool found = set.ForEach([&](SP_DEVINFO_DATA* device) {
    for (const std::string& id : MultiStringProperty(set.get(), device, SPDRP_HARDWAREID)) {
      if (id == hardware_id) {
        removed = ::SetupDiCallClassInstaller(DIF_REMOVE, set.get(), device) != FALSE;
        return true;
      }
    }
    return false;
  });
  if (!found) {
    std::fprintf(stderr, "devtool: no present device carries %s\n", hardware_id.c_str());
    return 1;
  }
  return removed ? 0 : Fail("DIF_REMOVE");
}

int Clear() {
  const DeviceSet set(::SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
  if (!set.ok()) return Fail("SetupDiGetClassDevsA");
  int failures = 0;
  set.ForEach([&](SP_DEVINFO_DATA* device) {
    if (_strnicmp(InstanceId(set.get(), device).c_str(), "ROOT\\TESTDEV\\", 13) == 0 &&
        !::SetupDiCallClassInstaller(DIF_REMOVE, set.get(), device)) {
      ++failures;
    }
    return false;
  });
  return failures == 0 ? 0 : Fail("DIF_REMOVE");
}

/// Opens a key by its full name; ERROR_FILE_NOT_FOUND for an unknown root key.
LONG OpenKey(const std::string& name, REGSAM access, HKEY* key) {
  static const struct {
    const char* name;
    HKEY key;
  } roots[] = {{"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
               {"HKLM", HKEY_LOCAL_MACHINE},
               {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
               {"HKCU", HKEY_CURRENT_USER}};
  const std::size_t slash = name.find('\\');
  const std::string rest = slash == std::string::npos ? "" : name.substr(slash + 1);
  for (const auto& root : roots) {
    if (_stricmp(name.substr(0, slash).c_str(), root.name) == 0) {
      return ::RegOpenKeyExA(root.key, rest.c_str(), 0, access, key);
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

int RegGet(const std::string& key_name, const char* value) {
  HKEY key = nullptr;
  LONG status = OpenKey(key_name, KEY_QUERY_VALUE, &key);
  if (status == ERROR_FILE_NOT_FOUND) return 1;
  if (status != ERROR_SUCCESS) return Fail("RegOpenKeyExA", status);
  BYTE data[4096] = {};
  DWORD size = sizeof(data) - 1;
  DWORD type = 0;
  status = ::RegQueryValueExA(key, value, nullptr, &type, data, &size);
  ::RegCloseKey(key);
  if (status == ERROR_FILE_NOT_FOUND) return 1;
  if (status != ERROR_SUCCESS) return Fail("RegQueryValueExA", status);
  const std::optional<std::string> text = ValueText(type, data, size);
  if (!text) {
    std::printf("TYPE_%lu\t(%lu bytes)\n", type, size);
  } else {
    const char* type_name = type == REG_SZ          ? "REG_SZ"
                            : type == REG_EXPAND_SZ ? "REG_EXPAND_SZ"
                                                    : "REG_DWORD";
    std::printf("%s\t%s\n", type_name, text->c_str());
  }
  return 0;
}

int RegDelete(const std::string& key_name, const char* value) {
  HKEY key = nullptr;
  LONG status = OpenKey(key_name, KEY_SET_VALUE, &key);
  if (status == ERROR_FILE_NOT_FOUND) return 0;
  if (status == ERROR_SUCCESS) {
    status = ::RegDeleteValueA(key, value);
    ::RegCloseKey(key);
  }
  if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return 0;
  return Fail("RegDeleteValueA", status);
}

int Version() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (!::GetVersionExA(&version)) return Fail("GetVersionExA");
  std::printf("%lu.%lu.%lu %lu %s\n", version.dwMajorVersion, version.dwMinorVersion,
              version.dwBuildNumber, version.dwPlatformId, version.szCSDVersion);
  return 0;
}

int Run(const char* exit_file, int argc, char** argv) {
  std::string command_line;
  for (int at = 0; at < argc; ++at) {
    const std::string argument = argv[at];
    const bool quoted = argument.find(' ') != std::string::npos;
    command_line += (at > 0 ? " " : "") + (quoted ? "\"" + argument + "\"" : argument);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
    return Fail("CreateProcessA");
  }
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 0;
  const BOOL known = ::GetExitCodeProcess(process.hProcess, &exit_code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  if (!known) return Fail("GetExitCodeProcess");
  FILE* file = std::fopen(exit_file, "w");
  if (file == nullptr) return Fail("fopen", 0);
  std::fprintf(file, "%lu\n", exit_code);
  std::fclose(file);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "create" && argc > 2) return Create(argc - 2, argv + 2);
  if (command == "list" && argc == 2) return List();
  if (command == "remove" && argc == 3) return Remove(argv[2]);
  if (command == "clear" && argc == 2) return Clear();
  if (command == "regget" && argc == 4) return RegGet(argv[2], argv[3]);
  if (command == "regdelete" && argc == 4) return RegDelete(argv[2], argv[3]);
  if (command == "version" && argc == 2) return Version();
  if (command == "run" && argc > 3) return Run(argv[2], argc - 3, argv + 3);
  std::fprintf(stderr,
               "usage: devtool create HWID [HWID...] | list | remove HWID | clear |"
               " regget KEY VALUE | regdelete KEY VALUE | version | run FILE PROGRAM [ARG...]\n");
  return 2;
}
