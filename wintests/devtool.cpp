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
#include <string>
#include <vector>

namespace {

// {4D36E97D-E325-11CE-BFC1-08002BE10318}: the System device class.
constexpr GUID kSystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

int Fail(const char* what) {
  std::fprintf(stderr, "devtool: %s failed: error %lu\n", what, ::GetLastError());
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

 private:
  HDEVINFO set_;
};

/// A device's string-list property (REG_MULTI_SZ) as its strings; empty when it has none.
std::vector<std::string> MultiStringProperty(HDEVINFO set, SP_DEVINFO_DATA* device,
                                             DWORD property) {
  DWORD size = 0;
  ::SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr, nullptr, 0, &size);
  if (size == 0) return {};
  std::vector<BYTE> buffer(size + 2, 0);
  if (!::SetupDiGetDeviceRegistryPropertyA(set, device, property, nullptr, buffer.data(), size,
                                           nullptr)) {
    return {};
  }
  std::vector<std::string> strings;
  for (const char* p = reinterpret_cast<const char*>(buffer.data()); *p != '\0';
       p += std::strlen(p) + 1) {
    strings.emplace_back(p);
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

/// The string values of the device's driver key, as NAME=VALUE;...
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
    values += name;
    values += '=';
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      data[data_size] = 0;
      values += reinterpret_cast<const char*>(data);
    } else if (type == REG_DWORD && data_size == 4) {
      DWORD number = 0;
      std::memcpy(&number, data, 4);
      values += std::to_string(number);
    } else {
      values += '?';
    }
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
  for (int i = 0; i < count; ++i) {
    list += ids[i];
    list += '\0';
  }
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
  char instance[MAX_DEVICE_ID_LEN] = {};
  if (::SetupDiGetDeviceInstanceIdA(set.get(), &device, instance, sizeof(instance), nullptr)) {
    std::printf("%s\n", instance);
  }
  return 0;
}

/// Calls `visit` for every present device until it returns true; whether one did.
template <typename Visit>
bool ForEachPresentDevice(HDEVINFO set, Visit visit) {
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    if (visit(&device)) return true;
  }
  return false;
}

int List() {
  DeviceSet set(
      ::SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  if (!set.ok()) return Fail("SetupDiGetClassDevsA");
  ForEachPresentDevice(set.get(), [&](SP_DEVINFO_DATA* device) {
    char instance[MAX_DEVICE_ID_LEN] = {};
    ::SetupDiGetDeviceInstanceIdA(set.get(), device, instance, sizeof(instance), nullptr);
    const std::string driver = StringProperty(set.get(), device, SPDRP_DRIVER);
    std::printf("%s\t%s\t%s\t%s\n", instance,
                Join(MultiStringProperty(set.get(), device, SPDRP_HARDWAREID)).c_str(),
                driver.empty() ? "-" : driver.c_str(), DriverValues(set.get(), device).c_str());
    return false;
  });
  return 0;
}

int Remove(const char* hardware_id) {
  DeviceSet set(
      ::SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
  if (!set.ok()) return Fail("SetupDiGetClassDevsA");
  bool removed_ok = false;
  const bool found = ForEachPresentDevice(set.get(), [&](SP_DEVINFO_DATA* device) {
    for (const std::string& id : MultiStringProperty(set.get(), device, SPDRP_HARDWAREID)) {
      if (id == hardware_id) {
        removed_ok = ::SetupDiCallClassInstaller(DIF_REMOVE, set.get(), device) != FALSE;
        return true;
      }
    }
    return false;
  });
  if (!found) {
    std::fprintf(stderr, "devtool: no present device carries %s\n", hardware_id);
    return 1;
  }
  return removed_ok ? 0 : Fail("DIF_REMOVE");
}

int Clear() {
  DeviceSet set(::SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
  if (!set.ok()) return Fail("SetupDiGetClassDevsA");
  int failures = 0;
  ForEachPresentDevice(set.get(), [&](SP_DEVINFO_DATA* device) {
    char instance[MAX_DEVICE_ID_LEN] = {};
    ::SetupDiGetDeviceInstanceIdA(set.get(), device, instance, sizeof(instance), nullptr);
    if (_strnicmp(instance, "ROOT\\TESTDEV\\", 13) == 0 &&
        !::SetupDiCallClassInstaller(DIF_REMOVE, set.get(), device)) {
      ++failures;
    }
    return false;
  });
  return failures == 0 ? 0 : Fail("DIF_REMOVE");
}

/// The root key that a full key name begins with, and the rest of the name after it.
bool SplitKey(const std::string& name, HKEY* root, std::string* rest) {
  static const struct {
    const char* name;
    HKEY key;
  } roots[] = {{"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
               {"HKLM", HKEY_LOCAL_MACHINE},
               {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
               {"HKCU", HKEY_CURRENT_USER}};
  const std::size_t slash = name.find('\\');
  const std::string first = name.substr(0, slash);
  for (const auto& candidate : roots) {
    if (_stricmp(first.c_str(), candidate.name) == 0) {
      *root = candidate.key;
      *rest = slash == std::string::npos ? std::string() : name.substr(slash + 1);
      return true;
    }
  }
  return false;
}

/// Opens a key by its full name; error 2 (ERROR_FILE_NOT_FOUND) for an unknown root key.
LONG OpenKey(const std::string& name, REGSAM access, HKEY* key) {
  HKEY root = nullptr;
  std::string rest;
  if (!SplitKey(name, &root, &rest)) return ERROR_FILE_NOT_FOUND;
  return ::RegOpenKeyExA(root, rest.c_str(), 0, access, key);
}

int RegGet(const std::string& key_name, const char* value) {
  HKEY key = nullptr;
  LONG status = OpenKey(key_name, KEY_QUERY_VALUE, &key);
  if (status == ERROR_FILE_NOT_FOUND) return 1;
  if (status != ERROR_SUCCESS) {
    ::SetLastError(static_cast<DWORD>(status));
    return Fail("RegOpenKeyExA");
  }
  BYTE data[4096] = {};
  DWORD size = sizeof(data) - 1;
  DWORD type = 0;
  status = ::RegQueryValueExA(key, value, nullptr, &type, data, &size);
  ::RegCloseKey(key);
  if (status == ERROR_FILE_NOT_FOUND) return 1;
  if (status != ERROR_SUCCESS) {
    ::SetLastError(static_cast<DWORD>(status));
    return Fail("RegQueryValueExA");
  }
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    data[size] = 0;
    std::printf("%s\t%s\n", type == REG_SZ ? "REG_SZ" : "REG_EXPAND_SZ",
                reinterpret_cast<const char*>(data));
  } else if (type == REG_DWORD && size == 4) {
    DWORD number = 0;
    std::memcpy(&number, data, 4);
    std::printf("REG_DWORD\t%lu\n", number);
  } else {
    std::printf("TYPE_%lu\t(%lu bytes)\n", type, size);
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
  ::SetLastError(static_cast<DWORD>(status));
  return Fail("RegDeleteValueA");
}

int Version() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (!::GetVersionExA(&version)) return Fail("GetVersionExA");
  std::printf("%lu.%lu.%lu %lu %s\n", version.dwMajorVersion, version.dwMinorVersion,
              version.dwBuildNumber, version.dwPlatformId, version.szCSDVersion);
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
  std::fprintf(stderr,
               "usage: devtool create HWID [HWID...] | list | remove HWID | clear |"
               " regget KEY VALUE | regdelete KEY VALUE | version\n");
  return 2;
}
