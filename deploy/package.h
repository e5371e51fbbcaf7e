// Package deployment: the package tree, the package file list, the package file copy
// with its version check, and the deployment of the whole package.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "messages/console.h"
#include "messages/setup_log.h"
#include "platform/platform.h"

namespace deploy {

/// What the package root adds to the system directory (no trailing backslash).
inline constexpr std::string_view kPackageRootSuffix = "\\drivers\\orvan";

/// The longest system directory the program works with; a longer one (or none) is not used.
inline constexpr std::size_t kMaxSystemDirectory = 259;

/// Whether the system directory as returned can be used: 1 to 259 characters.
constexpr bool UsableSystemDirectory(std::string_view directory) {
  return !directory.empty() && directory.size() <= kMaxSystemDirectory;
}

/// Paths are built in 520-byte buffers: at most this many characters. A longer path is never
/// cut: its directory is not created and its file is skipped with kCopyFailed.
inline constexpr std::size_t kMaxPath = 519;
/// The question text is formatted into a 256-byte buffer: at most this many characters. When
/// it does not fit, the file is skipped with kCopyFailed and the destination stays as it was.
inline constexpr std::size_t kMaxQuestionText = 255;

/// Results of the package file copy.
inline constexpr int kCopyDone = 0;  // copied, or a newer deployed copy kept at the user's word
inline constexpr int kCopyFailed = 103;
inline constexpr int kSourceMissing = 105;

/// The package tree: the six directories created, in this order, each as the package root
/// followed by the text here (the first is the package root itself).
inline constexpr std::array<std::string_view, 6> kPackageDirectories = {
    "\\", "\\win2000\\", "\\nt\\", "\\nt\\X4400\\", "\\nt\\X4400\\pivandor\\", "\\nls\\",
};

/// One row of the package file list.
struct PackageFile {
  std::string_view name;
  std::string_view source_subdirectory;       // under the source root
  std::string_view destination_subdirectory;  // under the package root
};

/// The package file list: the nineteen files copied, in this order.
// clang-format off
inline constexpr std::array<PackageFile, 19> kPackageFiles = {{
    {"ORVA.INF", "\\win2000\\", "\\win2000\\"},
    {"ORVAN.INF", "\\win2000\\", "\\win2000\\"},
    {"RUDX.INF", "\\win2000\\", "\\win2000\\"},
    {"ZOVRUDX.SYS", "\\win2000\\", "\\win2000\\"},
    {"ZOVTOLIN.DLL", "\\win2000\\", "\\win2000\\"},
    {"ZOVKAF.DLL", "\\win2000\\", "\\win2000\\"},
    {"ZOVKAF.SYS", "\\win2000\\", "\\win2000\\"},
    {"KAF.INF", "\\win2000\\", "\\win2000\\"},
    {"ORVA.CAT", "\\win2000\\", "\\win2000\\"},
    {"ORVAN.CAT", "\\win2000\\", "\\win2000\\"},
    {"RUDX.CAT", "\\win2000\\", "\\win2000\\"},
    {"KAF.CAT", "\\win2000\\", "\\win2000\\"},
    {"NUVELODA.DLL", "\\win2000\\", "\\win2000\\"},
    {"ZOVTOLIN.EXE", "\\win2000\\", "\\win2000\\"},
    {"ZOVDUVIK.EXE", "\\win2000\\", "\\win2000\\"},
    {"KVLSETUP.EXE", "\\nt\\", "\\nt\\"},
    {"SETUP.EXE", "\\win2000\\", "\\win2000\\"},
    {"ENGLISH.NLS", "\\nls\\", "\\win2000\\"},
    {"JAPANESE.NLS", "\\nls\\", "\\win2000\\"},
}};
// clang-format on

/// The package root for a system directory: the system directory followed by "\drivers\orvan".
std::string PackageRoot(std::string_view system_directory);

/// Copies one package file from `source_directory` to `destination_directory` (both ending with
/// a backslash). A deployed copy is first made writable; when its version stamp is higher than
/// the source's, the user is told and asked (quiet mode answers yes), and the answer no keeps
/// it. Returns kCopyDone, kCopyFailed or kSourceMissing. What came of the file goes to `log`.
int CopyPackageFile(platform::Platform& platform, messages::Console& console,
                    messages::SetupLog& log, std::string_view source_directory,
                    std::string_view destination_directory, std::string_view file_name, bool quiet);

/// Creates the package tree under the package root and copies the package files from
/// `source_root` (a drive and directory, no trailing backslash) into it. Every directory and
/// file is attempted whatever happens to the others; `log` gets a line for each file and for each
/// folder that could not be created. Always returns 0.
int DeployPackage(platform::Platform& platform, messages::Console& console, messages::SetupLog& log,
                  std::string_view source_root, bool quiet);

}  // namespace deploy
