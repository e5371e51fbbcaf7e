// A DLL planted beside a program (as newdev.dll or setupapi.dll) to see whether the program
// loads it: when loaded into a process, it appends that process's program path as a line to
// NAME.loaded beside itself (D:\win2000\newdev.dll.loaded for D:\win2000\newdev.dll).
//
// It exports, as failing stubs, the functions that a static importer of newdev.dll or
// setupapi.dll names, so that such a program starts with it and its mark shows the load.
#include <windows.h>

#include <cstring>

namespace {

void LeaveMark(HINSTANCE self) {
  char dll[MAX_PATH + 16] = {};
  char program[MAX_PATH + 2] = {};
  const DWORD dll_length = ::GetModuleFileNameA(self, dll, MAX_PATH);
  const DWORD program_length = ::GetModuleFileNameA(nullptr, program, MAX_PATH);
  if (dll_length == 0 || dll_length >= MAX_PATH || program_length >= MAX_PATH) return;
  std::strcat(dll, ".loaded");
  program[program_length] = '\n';
  const HANDLE mark = ::CreateFileA(dll, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (mark == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  ::WriteFile(mark, program, program_length + 1, &written, nullptr);
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
