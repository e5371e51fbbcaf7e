#include "setup/startup.h"

#include <algorithm>

#include "messages/builtin_catalogue.h"

namespace setup {

namespace {

constexpr std::string_view kMediumDirectory = "\\win2000\\";
/// The options that take a value, by their name after the '/' or '-'.
constexpr std::string_view kLogOption = "L";
constexpr std::string_view kRestartExitCodeOption = "RESTARTEXITCODE";
/// The largest exit code a Windows process can end with.
constexpr std::uint64_t kMaxExitCode = 0xFFFFFFFF;
/// A path is split into parts of at most this many characters; a longer directory is not used.
constexpr std::size_t kMaxPathPart = 255;

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string AsciiLowered(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = AsciiLower(c);
  return lowered;
}

}  // namespace

bool SamePathIgnoringCase(std::string_view a, std::string_view b) {
  return AsciiLowered(a) == AsciiLowered(b);
}

bool IsBareName(std::string_view program_path) {
  return program_path.find_first_of(":\\/") == std::string_view::npos;
}

namespace {

/// A program path split into its drive ("D:" or empty) and its directory (up to and with the
/// last backslash or slash, or empty).
struct PathParts {
  std::string_view drive;
  std::string_view directory;
};

PathParts SplitPath(std::string_view path) {
  PathParts parts;
  parts.drive = path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : "";
  const std::string_view rest = path.substr(parts.drive.size());
  const std::size_t last_separator = rest.find_last_of("\\/");
  if (last_separator != std::string_view::npos) {
    parts.directory = rest.substr(0, last_separator + 1);
  }
  return parts;
}

std::string RootOfPath(std::string_view program_path, int drive_number) {
  const PathParts parts = SplitPath(program_path);
  std::string root(parts.drive);
  if (parts.directory.size() <= kMaxPathPart) {
    // The package lies above the directory the program was started from; when the medium
    // directory appears more than once, the last one is the program's own.
    const std::size_t medium = AsciiLowered(parts.directory).rfind(kMediumDirectory);
    if (medium != std::string::npos) root += parts.directory.substr(0, medium);
  }
  if (root.empty() && drive_number >= 1 && drive_number <= 26) {
    root += static_cast<char>('a' + drive_number - 1);
    root += ':';
  }
  return root;
}

}  // namespace

std::string SourceRoot(std::string_view program_path, int drive_number,
                       std::string_view module_path) {
  if (IsBareName(program_path) && !module_path.empty()) {
    // Started by its bare name from a medium's folder (a copied medium on any drive): the
    // medium lies above the folder the system found the program in.
    const std::string_view directory = SplitPath(module_path).directory;
    if (directory.size() <= kMaxPathPart && AsciiLowered(directory).ends_with(kMediumDirectory)) {
      return RootOfPath(module_path, drive_number);
    }
  }
  return RootOfPath(program_path, drive_number);
}

std::optional<std::uint32_t> ParseExitCode(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > kMaxExitCode) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

Options ReadOptions(const std::vector<std::string>& args) {
  Options options;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string option = args[i];
    for (char& c : option) c = AsciiUpper(c);
    if (option == "/?" || option == "-?" || option == "/H" || option == "-H" ||
        option == "--HELP") {
      options.help = true;
      break;
    }
    // Options start with '/' or '-'; what follows decides which.
    const std::string_view name = option.starts_with('/') || option.starts_with('-')
                                      ? std::string_view(option).substr(1)
                                      : std::string_view();
    if (option == "/Q" || option == "-Q") {
      options.quiet = true;
    } else if (option == "/R" || option == "-R") {
      options.restart_run = true;
    } else if (option.starts_with("-F")) {
      const char code = option.size() > 2 ? option[2] : '\0';
      bool known = false;
      for (const messages::ForceCodeText& force : messages::kForceCodeTexts) {
        if (force.code == code) {
          options.force_messages.push_back(force.text);
          known = true;
        }
      }
      if (!known) {
        options.invalid_force_code = true;
        options.invalid_option = option;
        break;
      }
    } else if (name == kLogOption || name.starts_with(std::string(kLogOption) + '=')) {
      const std::string_view path = name.substr(std::min(name.size(), kLogOption.size() + 1));
      if (path.empty()) {
        options.invalid_option = option;
        options.invalid_option_text = messages::kInvalidLogOptionText;
        break;
      }
      options.log_path = path;
    } else if (name == kRestartExitCodeOption ||
               name.starts_with(std::string(kRestartExitCodeOption) + '=')) {
      const std::optional<std::uint32_t> code =
          ParseExitCode(name.substr(std::min(name.size(), kRestartExitCodeOption.size() + 1)));
      if (!code) {
        options.invalid_option = option;
        options.invalid_option_text = messages::kInvalidRestartExitCodeText;
        break;
      }
      options.restart_exit_code = code;
    }
  }
  return options;
}

}  // namespace setup
