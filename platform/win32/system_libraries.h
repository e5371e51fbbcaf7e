// The DLLs that SETUP.EXE does not import: setupapi.dll and newdev.dll.
//
// Windows 2000 looks for a DLL that is not a KnownDLL first in the program's own folder, that
// is on the installation medium, before the system directory. So the program imports only
// KnownDLLs, and loads these two itself, at first use, from one folder by their full path (the
// system directory, or a folder that a test names), never by name alone.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>

namespace win32 {

enum class Library : std::size_t { kSetupApi, kNewDev };
inline constexpr std::size_t kLibraryCount = 2;

/// The system directory without a trailing backslash, whole whatever its length; empty on
/// failure, with the last error of GetSystemDirectoryA.
std::string SystemDirectory();
/// What a directory query of the GetSystemDirectoryA kind (GetWindowsDirectoryA) answers, whole
/// whatever its length; empty on failure, with the query's last error.
std::string QueryDirectory(UINT(WINAPI* query)(LPSTR, UINT));

/// The library's file name, as it lies in the system directory: "setupapi.dll", "newdev.dll".
const char* LibraryFileName(Library library);

class SystemLibraries {
 public:
  /// Loads from `folder` when one is given, otherwise from the system directory that
  /// GetSystemDirectoryA gives at the first load.
  explicit SystemLibraries(std::optional<std::string> folder = std::nullopt);
  /// Frees what it loaded.
  ~SystemLibraries();
  SystemLibraries(const SystemLibraries&) = delete;
  SystemLibraries& operator=(const SystemLibraries&) = delete;

  /// The function `name` of `library`, with the type of its declaration (use decltype of the
  /// header's declaration), or nullptr with the thread's last error saying why: the error of
  /// the library's load, or ERROR_PROC_NOT_FOUND for a function that the library lacks.
  template <typename Function>
  Function* Find(Library library, const char* name) {
    // Through the generic function pointer type, which any function pointer converts to and
    // from without a cast-function-type warning.
    using Generic = void (*)();
    return reinterpret_cast<Function*>(reinterpret_cast<Generic>(Address(library, name)));
  }

  /// The full path that `library` is loaded from, or nothing when no folder can be had (the
  /// last error then says why).
  std::optional<std::string> PathOf(Library library);

 private:
  FARPROC Address(Library library, const char* name);
  /// The library's module, loaded on the first call; nullptr with the last error set to the
  /// load's error on this and every later call.
  HMODULE Load(Library library);

  struct Slot {
    bool tried = false;
    HMODULE module = nullptr;
    DWORD error = ERROR_SUCCESS;  // why the load failed
  };
  std::optional<std::string> folder_;
  std::array<Slot, kLibraryCount> slots_{};
};

}  // namespace win32
