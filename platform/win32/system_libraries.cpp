#include "platform/win32/system_libraries.h"

#include <utility>

namespace win32 {
namespace {

/// What a load fails with when there is no folder to load from: the error of a DLL that is
/// not there.
constexpr DWORD kNoLibraryError = ERROR_MOD_NOT_FOUND;

/// A folder that names a place of its own: "X:\..." or "\\server\...". Anything else would
/// be taken relative to the current drive or folder.
bool IsFullyQualified(const std::string& folder) {
  const auto is_letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (folder.size() >= 3 && is_letter(folder[0]) && folder[1] == ':' && folder[2] == '\\') {
    return true;
  }
  return folder.size() >= 3 && folder[0] == '\\' && folder[1] == '\\' && folder[2] != '\\';
}

}  // namespace

std::string SystemDirectory() {
  return QueryDirectory(::GetSystemDirectoryA);
}

std::string QueryDirectory(UINT(WINAPI* query)(LPSTR, UINT)) {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const UINT length = query(path.data(), static_cast<UINT>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.assign(length, '\0');  // too small: `length` is the size needed, terminator included
  }
}

const char* LibraryFileName(Library library) {
  switch (library) {
    case Library::kSetupApi:
      return "setupapi.dll";
    case Library::kNewDev:
      return "newdev.dll";
  }
  return "";
}

SystemLibraries::SystemLibraries(std::optional<std::string> folder) : folder_(std::move(folder)) {}

SystemLibraries::~SystemLibraries() {
  const DWORD error = ::GetLastError();
  // newdev.dll uses setupapi.dll: free in the reverse order of the enumeration.
  for (auto slot = slots_.rbegin(); slot != slots_.rend(); ++slot) {
    if (slot->module != nullptr) ::FreeLibrary(slot->module);
  }
  ::SetLastError(error);
}

std::optional<std::string> SystemLibraries::PathOf(Library library) {
  std::string folder;
  if (folder_.has_value()) {
    folder = *folder_;
  } else {
    folder = SystemDirectory();
    if (folder.empty()) {
      if (::GetLastError() == ERROR_SUCCESS) ::SetLastError(kNoLibraryError);
      return std::nullopt;
    }
  }
  if (!IsFullyQualified(folder)) {
    ::SetLastError(kNoLibraryError);
    return std::nullopt;
  }
  if (folder.back() != '\\') folder += '\\';
  return folder + LibraryFileName(library);
}

HMODULE SystemLibraries::Load(Library library) {
  Slot& slot = slots_[static_cast<std::size_t>(library)];
  if (!slot.tried) {
    slot.tried = true;
    if (const std::optional<std::string> path = PathOf(library)) {
      // That file only; and the DLL's own imports are looked for in its folder first, not in
      // the program's.
      slot.module = ::LoadLibraryExA(path->c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    if (slot.module == nullptr) {
      slot.error = ::GetLastError();
      if (slot.error == ERROR_SUCCESS) slot.error = kNoLibraryError;
    }
  }
  if (slot.module == nullptr) ::SetLastError(slot.error);
  return slot.module;
}

FARPROC SystemLibraries::Address(Library library, const char* name) {
  const HMODULE module = Load(library);
  if (module == nullptr) return nullptr;
  const FARPROC address = ::GetProcAddress(module, name);
  if (address == nullptr && ::GetLastError() == ERROR_SUCCESS) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
  }
  return address;
}

}  // namespace win32
