#include "deploy/package.h"

#include "deploy/version_stamps.h"
#include "messages/builtin_catalogue.h"

namespace deploy {
namespace {

constexpr platform::Bool kTrue = 1;
constexpr platform::Bool kFalse = 0;

enum class Presence { kAbsent, kPresent, kUnknown };

/// Whether a file or directory of that name exists; the search handle is closed at once. A
/// search that fails for another reason than a missing file or folder leaves it unknown.
Presence Look(platform::Platform& platform, std::string_view path) {
  const platform::Handle search = platform.FindFirstFileA(path);
  if (search == platform::kInvalidHandleValue) {
    const platform::Dword error = platform.GetLastError();
    return error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound
               ? Presence::kAbsent
               : Presence::kUnknown;
  }
  platform.FindClose(search);
  return Presence::kPresent;
}

std::string Concat(std::string_view head, std::string_view tail) {
  std::string text;
  text.reserve(head.size() + tail.size());
  text.append(head);
  text.append(tail);
  return text;
}

}  // namespace

std::string PackageRoot(std::string_view system_directory) {
  return Concat(system_directory, kPackageRootSuffix);
}

int CopyPackageFile(platform::Platform& platform, messages::Console& console,
                    messages::SetupLog& log, std::string_view source_directory,
                    std::string_view destination_directory, std::string_view file_name,
                    bool quiet) {
  const std::string source_path = Concat(source_directory, file_name);
  const std::string destination_path = Concat(destination_directory, file_name);
  const auto skipped = [&](std::string_view why) {
    log.Write(messages::kLogCopySkipped, {source_path, destination_path, why});
    return kCopyFailed;
  };
  if (source_path.size() > kMaxPath || destination_path.size() > kMaxPath) {
    return skipped(messages::kLogPathTooLong);
  }

  if (Look(platform, source_path) != Presence::kPresent) {
    log.Write(messages::kLogSourceMissing, {source_path});
    return kSourceMissing;
  }

  // Before the existence test, so that a read-only deployed copy can be overwritten.
  platform.SetFileAttributesA(destination_path, platform::FILE_ATTRIBUTE_NORMAL);

  // A deployed copy is only replaced when its version is known not to be newer, or the user
  // says so: when it cannot be looked at or read, it stays as it is.
  const Presence destination = Look(platform, destination_path);
  if (destination == Presence::kUnknown) {
    const std::string error = messages::LogError(platform.GetLastError());
    return skipped(
        messages::FormatMessage(messages::kLogCannotLook, messages::kLogCannotLook, {error}));
  }
  const StampOrder order =
      destination == Presence::kPresent
          ? OrderVersionStamps(platform, console, source_path, destination_path)
          : StampOrder::kNoStamp;
  if (order == StampOrder::kUnreadable) return skipped(messages::kLogStampUnreadable);
  std::string_view answered;
  if (order == StampOrder::kSourceOlder) {
    console.PrintText("\n");
    console.Print(messages::kIsOlderThan, {source_path, destination_path});
    const std::string question = console.Format(messages::kCopyAnyway);
    if (question.size() > kMaxQuestionText) return skipped(messages::kLogQuestionTooLong);
    const int answer = console.AskQuestion(question, quiet);
    answered = quiet                      ? messages::kLogQuietMode
               : answer == messages::kYes ? messages::kLogAnsweredYes
               : answer == messages::kNo  ? messages::kLogAnsweredNo
                                          : messages::kLogAnsweredCancel;
    if (answer == messages::kNo) {
      log.Write(messages::kLogNewerKept, {destination_path, answered});
      return kCopyDone;
    }
  }

  if (platform.CopyFileA(source_path, destination_path, kFalse) != kTrue) {
    log.Write(messages::kLogCopyFailed,
              {source_path, destination_path, messages::LogError(platform.GetLastError())});
    return kCopyFailed;
  }
  if (!answered.empty()) {
    log.Write(messages::kLogNewerReplaced, {destination_path, source_path, answered});
  } else if (destination == Presence::kPresent) {
    log.Write(messages::kLogFileOverwritten, {source_path, destination_path});
  } else {
    log.Write(messages::kLogFileCopied, {source_path, destination_path});
  }
  return kCopyDone;
}

int DeployPackage(platform::Platform& platform, messages::Console& console, messages::SetupLog& log,
                  std::string_view source_root, bool quiet) {
  // Read again, not taken from the start of the run: the package goes where the system
  // directory is now (a case fails the read between the two).
  const std::string system_directory = platform.GetSystemDirectoryA();
  // Without a usable system directory there is no package root to deploy into.
  if (!UsableSystemDirectory(system_directory)) return 0;
  const std::string package_root = PackageRoot(system_directory);

  for (const std::string_view subdirectory : kPackageDirectories) {
    const std::string directory = Concat(package_root, subdirectory);
    // A folder that is there already is what the deployment wants.
    if (directory.size() <= kMaxPath && platform.CreateDirectoryA(directory) == kFalse &&
        platform.GetLastError() != platform::kErrorAlreadyExists) {
      log.Write(messages::kLogFolderFailed,
                {directory, messages::LogError(platform.GetLastError())});
    }
  }

  for (const PackageFile& file : kPackageFiles) {
    CopyPackageFile(platform, console, log, Concat(source_root, file.source_subdirectory),
                    Concat(package_root, file.destination_subdirectory), file.name, quiet);
  }
  return 0;
}

}  // namespace deploy
