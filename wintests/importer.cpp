// A program that imports newdev.dll and setupapi.dll statically, as the setup program once did:
// started from a folder that holds planted copies of them, it shows whether the system loads
// those. It prints where each DLL came from.
#include <windows.h>

#include <newdev.h>
#include <setupapi.h>

#include <cstdio>

namespace {

void SayWhere(const char* name) {
  char path[MAX_PATH] = {};
  const HMODULE module = ::GetModuleHandleA(name);
  if (module == nullptr || ::GetModuleFileNameA(module, path, sizeof(path)) == 0) {
    std::printf("%s: not loaded\n", name);
  } else {
    std::printf("%s: %s\n", name, path);
  }
}

}  // namespace

int main() {
  // The two imports; the program calls neither.
  auto* volatile update = &::UpdateDriverForPlugAndPlayDevicesA;
  auto* volatile destroy = &::SetupDiDestroyDeviceInfoList;
  SayWhere("newdev.dll");
  SayWhere("setupapi.dll");
  return update != nullptr && destroy != nullptr ? 0 : 1;
}
