#include "setup/startup.h"

#include "deploy/package.h"
#include "messages/exit_tail.h"
#include "setup/main_flow.h"
#include "setup/run_state.h"
#include "setup/setup_main.h"

namespace setup {

namespace {

constexpr std::string_view kMediumDirectory = "\\win2000\\";
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
        break;
      }
    }
  }
  return options;
}

namespace {

/// Ends a run that reached a result: the exit tail, then the exit code.
int Finish(RunState& run, int exit_code) {
  messages::RunExitTail(run.platform, run.console, &run.catalogue, run.catalogue_loaded, run.quiet);
  return exit_code;
}

}  // namespace

int SetupMain(platform::Platform& platform, const std::vector<std::string>& args) {
  RunState run(platform, messages::Catalogue{});
  const std::string program_path = args.empty() ? std::string() : args.front();
  // The system is asked where the program lies only when its path as started names no folder.
  const std::string module_path =
      IsBareName(program_path) ? platform.GetModuleFileNameA() : std::string();
  run.source_root = SourceRoot(program_path, platform.GetCurrentDriveNumber(), module_path);

  const int language = messages::SelectLanguage(platform);
  if (messages::LoadCatalogue(platform, run.source_root, &run.catalogue, messages::kEntryCount,
                              language) == 0) {
    run.catalogue_loaded = true;
  } else {
    run.catalogue = messages::BuiltinCatalogue();
  }
  run.console.Print(messages::kBanner);

  const Options options = ReadOptions(args);
  for (std::string_view text : options.force_messages) run.console.PrintText(text);
  if (options.invalid_force_code) {
    run.console.PrintText(messages::kInvalidForceCodeText);
    return kExitComplete;
  }
  if (options.help) {
    // Asking how to use the program changes nothing on the machine.
    run.console.PrintText(messages::kUsageText);
    return kExitComplete;
  }
  run.quiet = options.quiet;
  run.restart_run = options.restart_run;

  run.system_directory = platform.GetSystemDirectoryA();
  if (!deploy::UsableSystemDirectory(run.system_directory)) {
    run.console.Print(messages::kInstallationFailed);
    return Finish(run, kExitFailed);
  }
  run.package_root = deploy::PackageRoot(run.system_directory);

  if (!SamePathIgnoringCase(run.source_root, run.package_root)) {
    deploy::DeployPackage(platform, run.console, run.source_root, run.quiet);
  }
  return Finish(run, RunMainFlow(run));
}

}  // namespace setup
