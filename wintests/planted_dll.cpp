// A DLL planted beside a program (as newdev.dll or setupapi.dll) to see whether the program
// loads it: when loaded into a process, it appends that process's program path as a line to
// NAME.loaded beside itself (D:\win2000\newdev.dll.loaded for D:\win2000\newdev.dll).
//
// It exports, as failing stubs, the functions that a static importer of newdev.dll or
// setupapi.dll names, so that such a program starts with it and its mark shows the load.
#include <windows.h>

#include <string>

#include "test_helpers.h"

namespace {

void LeaveMark(HINSTANCE self) {
  const std::string dll = wintests::ModulePath(self);
  const std::string program = wintests::ModulePath(nullptr);
  if (dll.empty() || program.empty()) return;
  const std::string line = program + "\n";
  const HANDLE mark =
      ::CreateFileA((dll + ".loaded").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (mark == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  ::WriteFile(mark, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  ::CloseHandle(mark);
}

BOOL Refuse() {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) LeaveMark(self);
  return TRUE;
}

// newdev.dll
extern "C" __declspec(dllexport) BOOL WINAPI
    UpdateDriverForPlugAndPlayDevicesA(HWND, LPCSTR, LPCSTR, DWORD, BOOL*) {
  return Refuse();
}

// setupapi.dll
extern "C" __declspec(dllexport) HANDLE WINAPI
    SetupDiGetClassDevsA(const GUID*, LPCSTR, HWND, DWORD) {
  Refuse();
  return INVALID_HANDLE_VALUE;
}
extern "C" __declspec(dllexport) BOOL WINAPI SetupDiEnumDeviceInfo(HANDLE, DWORD, void*) {
  return Refuse();
}
extern "C" __declspec(dllexport) BOOL WINAPI
    SetupDiGetDeviceRegistryPropertyA(HANDLE, void*, DWORD, DWORD*, BYTE*, DWORD, DWORD*) {
  return Refuse();
}
extern "C" __declspec(dllexport) BOOL WINAPI SetupDiCallClassInstaller(UINT, HANDLE, void*) {
  return Refuse();
}
extern "C" __declspec(dllexport) BOOL WINAPI SetupDiDestroyDeviceInfoList(HANDLE) {
  return Refuse();
}
