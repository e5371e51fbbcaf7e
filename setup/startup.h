// Start-up: the source root, the options and the run as a whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace setup {

/// Whether the program's path as started names no folder at all: no drive, no backslash, no
/// slash ("SETUP", as typed at a prompt in the program's own folder).
bool IsBareName(std::string_view program_path);

/// The source root for the program's path as started: the drive and the directory above a
/// final "\win2000\"; the current drive ("c:") when the path names no drive. `drive_number` is
/// the current directory's drive (1 for A, 0 for none). For a program started by a bare name,
/// `module_path` is where the system says the program lies (empty when unknown): when that
/// path's folder is a medium's "\win2000\" folder, the root is worked out from it instead.
std::string SourceRoot(std::string_view program_path, int drive_number,
                       std::string_view module_path = {});

/// What the options asked for.
struct Options {
  bool quiet = false;
  bool restart_run = false;
  /// The messages of the force codes read, in order.
  std::vector<std::string_view> force_messages;
  /// Set when an invalid force code ends the run at once.
  bool invalid_force_code = false;
  /// Set when the help option ends the run at once.
  bool help = false;
  /// The log named with /L=PATH, upper-cased as every option is; empty for the default log.
  std::string log_path;
  /// What a run that needs a reboot ends with, from /RESTARTEXITCODE=N; nothing: 1.
  std::optional<std::uint32_t> restart_exit_code;
  /// Set when an invalid option ends the run at once: the option as read; for an invalid /L or
  /// /RESTARTEXITCODE also the text that says what is wrong with it.
  std::string invalid_option;
  std::string_view invalid_option_text;
};

/// Reads the arguments after the program path, in order, up to an invalid force code, an
/// invalid option or the help option.
Options ReadOptions(const std::vector<std::string>& args);

/// A decimal exit code from 0 to 4294967295 ("3010"); nothing for anything else (empty, a
/// sign, a space, another character, too large).
std::optional<std::uint32_t> ParseExitCode(std::string_view text);

/// Whether two paths are the same, ASCII letters compared without regard to case.
bool SamePathIgnoringCase(std::string_view a, std::string_view b);

}  // namespace setup
