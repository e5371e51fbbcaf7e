#include "setup/setup_main.h"

#include <cstdio>
#include <optional>

#include "deploy/package.h"
#include "messages/builtin_catalogue.h"
#include "setup/main_flow.h"
#include "setup/run_state.h"
#include "setup/startup.h"

namespace setup {

namespace {

using messages::LogError;
using messages::LogSafe;

/// The program's version, as its version stamp gives it.
constexpr std::string_view kProgramVersion = SETUP_PROGRAM_VERSION;

/// "5.0 build 2195 Service Pack 4", or why the version is unknown.
std::string WindowsVersionText(platform::Platform& platform) {
  using messages::FormatMessage;
  platform::OsVersionInfo version;
  if (platform.GetVersionExA(&version) == 0) {
    const std::string error = LogError(platform.GetLastError());
    return FormatMessage(messages::kLogWindowsVersionUnknown, messages::kLogWindowsVersionUnknown,
                         {error});
  }
  const std::string major = std::to_string(version.major_version);
  const std::string minor = std::to_string(version.minor_version);
  const std::string build = std::to_string(version.build_number);
  std::string text = FormatMessage(messages::kLogWindowsVersion, messages::kLogWindowsVersion,
                                   {major, minor, build});
  if (!version.csd_version.empty()) text += ' ' + version.csd_version;
  return text;
}

/// A language identifier as Windows documents it: "0x0409".
std::string LanguageIdText(platform::Word id) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(id));
  return text;
}

std::string OrNone(std::string text) {
  return text.empty() ? std::string(messages::kLogNone) : text;
}

/// The log's first line for the run: who runs, on what, from where, in which language.
void LogStart(RunState& run, platform::Word language_id, int language,
              std::string_view windows_directory) {
  const std::string catalogue = run.catalogue_loaded
                                    ? messages::CataloguePath(run.source_root, language)
                                    : std::string(messages::kLogBuiltinCatalogue);
  run.log.Write(messages::kLogRunStarted,
                {kProgramVersion, run.platform.GetCommandLineA(), WindowsVersionText(run.platform),
                 OrNone(run.system_directory), OrNone(std::string(windows_directory)),
                 OrNone(run.source_root), LanguageIdText(language_id), catalogue});
}

/// The code the process ends with for a run's result.
platform::Dword ExitCodeOf(int result, const std::optional<std::uint32_t>& restart_exit_code) {
  if (result == kExitRebootRequired && restart_exit_code) return *restart_exit_code;
  return static_cast<platform::Dword>(result);
}

/// The log's last line for a run that reached a result, then the exit tail.
platform::Dword Finish(RunState& run, int result,
                       const std::optional<std::uint32_t>& restart_exit_code) {
  const platform::Dword exit_code = ExitCodeOf(result, restart_exit_code);
  const std::string_view meaning = result == kExitComplete         ? messages::kLogMeaningComplete
                                   : result == kExitRebootRequired ? messages::kLogMeaningReboot
                                                                   : messages::kLogMeaningFailed;
  run.log.Write(messages::kLogExit, {std::to_string(exit_code), meaning});
  messages::RunExitTail(run.platform, run.console, &run.catalogue, run.catalogue_loaded, run.quiet);
  return exit_code;
}

/// The log's last line for a run that an option ended before it began.
platform::Dword EndEarly(RunState& run, std::string_view why, std::string_view option,
                         int exit_code) {
  run.log.Write(why, {LogSafe(option)});
  run.log.Write(messages::kLogExit, {std::to_string(exit_code), messages::kLogMeaningEnded});
  return static_cast<platform::Dword>(exit_code);
}

/// Whether the program runs as a 32-bit program on 64-bit Windows, where its writes to the
/// system directory go elsewhere and its drivers cannot load. A system that cannot say (Windows
/// 2000 has no such service) is 32-bit Windows.
bool RunsOnWow64(platform::Platform& platform) {
  platform::Bool wow64 = 0;
  return platform.IsWow64Process(&wow64) != 0 && wow64 != 0;
}

}  // namespace

platform::Dword SetupMain(platform::Platform& platform, const std::vector<std::string>& args) {
  RunState run(platform, messages::Catalogue{});
  const std::string program_path = args.empty() ? std::string() : args.front();
  // The system is asked where the program lies only when its path as started names no folder.
  const std::string module_path =
      IsBareName(program_path) ? platform.GetModuleFileNameA() : std::string();
  run.source_root = SourceRoot(program_path, platform.GetCurrentDriveNumber(), module_path);

  const platform::Word language_id = platform.GetSystemDefaultLangID();
  const int language = messages::LanguageForLangId(language_id);
  if (messages::LoadCatalogue(platform, run.source_root, &run.catalogue, messages::kEntryCount,
                              language) == 0) {
    run.catalogue_loaded = true;
  } else {
    run.catalogue = messages::BuiltinCatalogue();
  }
  run.console.Print(messages::kBanner);

  const Options options = ReadOptions(args);
  for (std::string_view text : options.force_messages) run.console.PrintText(text);
  if (options.help) {
    // Asking how to use the program changes nothing on the machine, the log included.
    run.console.PrintText(messages::kUsageText);
    return kExitComplete;
  }

  run.system_directory = platform.GetSystemDirectoryA();
  const std::string windows_directory = platform.GetWindowsDirectoryA();
  run.log.Open(options.log_path, messages::DefaultLogPath(windows_directory));
  LogStart(run, language_id, language, windows_directory);

  if (options.invalid_force_code) {
    run.console.PrintText(messages::kInvalidForceCodeText);
    return EndEarly(run, messages::kLogInvalidForceCode, options.invalid_option, kExitComplete);
  }
  if (!options.invalid_option.empty()) {
    const std::string option = LogSafe(options.invalid_option);
    run.console.PrintText(messages::FormatMessage(options.invalid_option_text,
                                                  options.invalid_option_text, {option}));
    return EndEarly(run, messages::kLogInvalidOption, option, kExitFailed);
  }
  run.quiet = options.quiet;
  run.restart_run = options.restart_run;

  if (RunsOnWow64(platform)) {
    run.console.PrintText(messages::kWow64Text);
    run.log.Write(messages::kLogWow64);
    return Finish(run, kExitFailed, options.restart_exit_code);
  }

  if (!deploy::UsableSystemDirectory(run.system_directory)) {
    run.console.Print(messages::kInstallationFailed);
    run.log.Write(
        messages::kLogSystemDirectoryUnusable,
        {std::to_string(run.system_directory.size()), std::to_string(deploy::kMaxSystemDirectory)});
    return Finish(run, kExitFailed, options.restart_exit_code);
  }
  run.package_root = deploy::PackageRoot(run.system_directory);

  if (SamePathIgnoringCase(run.source_root, run.package_root)) {
    run.log.Write(messages::kLogDeployFromPackage);
  } else {
    deploy::DeployPackage(platform, run.console, run.log, run.source_root, run.quiet);
  }
  return Finish(run, RunMainFlow(run), options.restart_exit_code);
}

}  // namespace setup
