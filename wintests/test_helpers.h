// What the Windows test programs share.
#pragma once

#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>

namespace wintests {

/// {4D36E97D-E325-11CE-BFC1-08002BE10318}: the System device class, where test devices go.
inline constexpr GUID kSystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

/// The full path of a loaded module (nullptr: the program itself); empty when it does not fit
/// in MAX_PATH or cannot be had.
inline std::string ModulePath(HMODULE module) {
  std::string path(MAX_PATH, '\0');
  const DWORD length = ::GetModuleFileNameA(module, path.data(), MAX_PATH);
  path.resize(length < MAX_PATH ? length : 0);
  return path;
}

/// A file's bytes; empty when it cannot be read.
inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace wintests
