// A program that imports newdev.dll and setupapi.dll statically, as the setup program once did:
// started from a folder that holds planted copies of them, it shows whether the system loads
// those. It prints where each DLL came from.
#include <windows.h>

#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <string>

#include "test_helpers.h"

int main() {
  // The two imports; the program calls neither.
  auto* volatile update = &::UpdateDriverForPlugAndPlayDevicesA;
  auto* volatile destroy = &::SetupDiDestroyDeviceInfoList;
  for (const char* name : {"newdev.dll", "setupapi.dll"}) {
    const HMODULE module = ::GetModuleHandleA(name);
    const std::string path = module == nullptr ? "" : wintests::ModulePath(module);
    std::printf("%s: %s\n", name, path.empty() ? "not loaded" : path.c_str());
  }
  return update != nullptr && destroy != nullptr ? 0 : 1;
}
