// The built-in catalogue: the program's English texts, the one place where they are spelled.
#pragma once

#include <array>
#include <string_view>

namespace messages {

/// How many entries every catalogue has for the program.
inline constexpr int kEntryCount = 80;

/// The entries the program uses, by their fixed index.
enum Entry : int {
  kAnswerNo = 0,
  kAnswerYes = 1,
  kAnswerCancel = 2,
  kBanner = 8,
  kInstallationComplete = 13,
  kFileSystemError = 23,
  kInstallationFailed = 28,
  kRebootToStartDriver = 32,
  kPressAnyKey = 33,
  kCannotAllocateMemory = 51,
  kIsOlderThan = 52,
  kCopyAnyway = 54,
  kRegistryWriteError = 56,
  kRemovingOlderVersion = 77,
  kRemovedOldDrivers = 78,
  kInstallingDrivers = 79,
};

// clang-format off
inline constexpr std::array<std::string_view, kEntryCount> kBuiltinTexts = {
    "n",  // 0
    "y",  // 1
    "cancel",  // 2
    "Path or file does not exist %s\n\r",  // 3
    "Create directory? (y,n):\n\r",  // 4
    "File %s was not copied.\n",  // 5
    "Copying %s to %s\n",  // 6
    "aborted\n\r\n\r",  // 7
    "ZOV Service Processor server software installation\n\r",  // 8
    "The ZOV Service Processor server software will be installed to ",  // 9
    "Do you wish to specify a different path? (y,n): \n\r",  // 10
    "Enter new path or type cancel: \n\r",  // 11
    "Unable to update the AUTOEXEC.NCF file\n\r",  // 12
    "Installation complete\n\r",  // 13
    "Unable to access path %s\n\r",  // 14
    "Unable to find SM.INI file.\n\r",  // 15
    "SMAddress keyword not found or invalid.\n\r",  // 16
    "SMInterrupt keyword not found or invalid.\n\r",  // 17
    "To continue the installation of the ZOV Service Processor server\nsoftware, press Enter. Press any other key to quit.\n\n",  // 18
    "The ZOV Service Processor server software was not installed.\n\n",  // 19
    "The %s device driver is already running and cannot be stopped.\nTo stop the device driver, shut down its application programs;\nthen try again.\n\n",  // 20
    "The Service Processor DLL file and device driver are installed and started.\n\n",  // 21
    "The installation of the Service Processor DLL file and device driver failed.\n\n",  // 22
    "File system error: %d\n\n",  // 23
    "Device driver service could not be created for %s: %d\n\n",  // 24
    "Device driver could not be opened for %s: %d\n\n",  // 25
    "Device driver could not be started for %s: %d\n\n",  // 26
    "Administrator privileges are required.\n\n",  // 27
    "\nInstallation failed\n",  // 28
    "Unable to update the CONFIG.SYS file.\n\r",  // 29
    "Invalid source path\n\r",  // 30
    "Unknown Boot Drive. \n\r",  // 31
    "Reboot the machine for the device driver to start. \n\r",  // 32
    "Press any key to exit.",  // 33
    "Insufficient number of parameters passed in.\n\nSyntax: SETUP  or  SETUP XXX Y   or  SETUP UPGRADE\nwhere:  no arguments means use the SM.INI file.\n        XXX is the I/O port address in hexadecimal\n        Y  is the interrupt vector in hexadecimal\n        UPGRADE means only copy the driver files.\n",  // 34
    "Upgrade complete.\n",  // 35
    "Upgrade failed.\n",  // 36
    "Installation aborted.\n",  // 37
    "AUTOEXEC.NCF does not contain a valid \"load ZOVSPN\" string.\n",  // 38
    "Unable to create directory %s\n",  // 39
    "Editing the AUTOEXEC.NCF file.\n",  // 40
    "Editing the CONFIG.SYS file.\n",  // 41
    "Copy error.\n",  // 42
    "Driver source file %s not found.\n",  // 43
    "Unable to backup the AUTOEXEC.NCF file.\n",  // 44
    "Unable to backup the CONFIG.SYS file.\n",  // 45
    "Unable to open the CONFIG.SYS file.\n",  // 46
    "Unable to read the CONFIG.SYS file.\n",  // 47
    "CONFIG.SYS does not contain a valid \"device=ZOVSPO\" string.\n",  // 48
    "%s is a backup of the current AUTOEXEC.NCF file.\n",  // 49
    "%s is a backup of the current CONFIG.SYS file.\n",  // 50
    "Cannot allocate memory.\n",  // 51
    "%s is older than %s.\n",  // 52
    "%s is the same version as %s.\n",  // 53
    "Do you want to copy anyway? (y/n):\n",  // 54
    "This program needs to run in NetWare 4.10 or higher.\n",  // 55
    "Error writing to the registry\n",  // 56
    "Registry does not contain a valid key entry for ZOVKAF.SYS.\n",  // 57
    "sys:\\system\\",  // 58
    "zovspn.nlm",  // 59
    "\\qel\\",  // 60
    "zovspo.sys",  // 61
    "zovspo.dll",  // 62
    "zovkaf.sys",  // 63
    "zovkaf.dll",  // 64
    "zovcomo.sys",  // 65
    "zovrudx.sys",  // 66
    "aiozovw.nlm",  // 67
    "The installation of the ZOV Service Processor Shared Serial device driver failed.\n\n",  // 68
    "The ZOV Service Processor Shared Serial device driver is installed and started.\n\n",  // 69
    "An invalid machine model and type was found.\n",  // 70
    "Failed to start install program.\n",  // 71
    "Hardware machine model and type was not found.\n",  // 72
    "ZOV Revalto software installation\n\r",  // 73
    "ZOV Revalto software removal\n\r",  // 74
    "Removal complete\n\r",  // 75
    "\nRemoval failed\n",  // 76
    "Removing older version of the device drivers.\n",  // 77
    "Removed the old device drivers. \nReboot the machine to install the new drivers.\n",  // 78
    "Installing drivers for %s.\n",  // 79
};
// clang-format on

/// Texts printed outside the catalogue, fixed in English.
inline constexpr std::string_view kAllocationFailedText = "failed to allocate memory\n\r";
inline constexpr std::string_view kUnknownMessage = "Unknown Message";

/// The force codes of the "-F" option and what each prints.
struct ForceCodeText {
  char code;
  std::string_view text;
};
inline constexpr std::array<ForceCodeText, 6> kForceCodeTexts = {{
    {'A', "Skipping hardware detection - forcing KVL.\n"},
    {'E', "Skipping hardware detection - forcing Tolvek.\n"},
    {'J', "Skipping hardware detection - forcing Quenda.\n"},
    {'P', "Skipping hardware detection - forcing Dubrin.\n"},
    {'R', "Skipping hardware detection - forcing Miravo.\n"},
    {'W', "Skipping hardware detection - forcing Pelloran.\n"},
}};
inline constexpr std::string_view kInvalidForceCodeText = "Invalid force code!\n";

/// What the help option prints before the run ends.
inline constexpr std::string_view kUsageText =
    "Usage: SETUP [/Q] [/R] [-F<code>] [/L=PATH] [/RESTARTEXITCODE=N] [/?]\n"
    "  /Q        quiet: no questions (an older file replaces a newer one) and no key press\n"
    "            at the end\n"
    "  /R        restart run, as registered by an upgrade: the service program is not started\n"
    "  -F<code>  prints the message of a force code (A, E, J, P, R or W) and runs as usual\n"
    "  /L=PATH   the setup log: PATH instead of ZOVSETUP.LOG in the Windows directory\n"
    "  /RESTARTEXITCODE=N  ends with N (0 to 4294967295) instead of 1 when a reboot is\n"
    "            required: 3010 for most deployment tools\n"
    "  /?        this help, also -?, /H, -H or --help; nothing is installed\n"
    "Options may also start with -, in any letter case (-q).\n"
    "Exit codes: 0 installation complete, 1 reboot required, 2 installation failed.\n";

/// What the option checks, the log and the architecture check print, fixed in English.
inline constexpr std::string_view kInvalidLogOptionText =
    "Invalid option %s: name the log as /L=PATH.\n";
inline constexpr std::string_view kInvalidRestartExitCodeText =
    "Invalid option %s: the exit code must be a whole number from 0 to 4294967295.\n";
inline constexpr std::string_view kLogNotWritableText =
    "The log %s cannot be written (error %s); the default log is used instead.\n";
inline constexpr std::string_view kWow64Text =
    "This program and its drivers are for 32-bit Windows; on 64-bit Windows run the 64-bit "
    "SETUP.EXE.\n";

/// The setup log's texts: English whatever the console's language, one line each, formatted as
/// the catalogue's texts are (%s only). What comes from the machine is made safe for one line.
inline constexpr std::string_view kLogRunStarted =
    "Setup %s started: command line %s; Windows %s; system directory %s; Windows directory %s; "
    "source root %s; language %s; catalogue %s";
inline constexpr std::string_view kLogNamedLogFailed =
    "The log %s cannot be written (error %s); this log is used instead";
inline constexpr std::string_view kLogSetAside =
    "The log reached its size limit: the old one is %s";
inline constexpr std::string_view kLogInvalidForceCode = "Invalid force code %s: the run ends here";
inline constexpr std::string_view kLogInvalidOption = "Invalid option %s: the run ends here";
inline constexpr std::string_view kLogWow64 =
    "32-bit program on 64-bit Windows: stopped before changing anything";
inline constexpr std::string_view kLogForceCode = "Force code %s: %s";
inline constexpr std::string_view kLogSystemDirectoryUnusable =
    "System directory unusable (%s characters; 1 to %s are used): nothing installed";
inline constexpr std::string_view kLogDeployFromPackage =
    "Started from the deployed package: nothing to deploy";
inline constexpr std::string_view kLogFolderFailed = "Folder %s could not be created: error %s";
inline constexpr std::string_view kLogFileCopied = "Copied %s to %s";
inline constexpr std::string_view kLogFileOverwritten =
    "Copied %s over %s (deployed version same or older)";
inline constexpr std::string_view kLogNewerKept = "Kept newer deployed %s (%s)";
inline constexpr std::string_view kLogNewerReplaced = "Replaced newer deployed %s with %s (%s)";
inline constexpr std::string_view kLogCopyFailed = "Copying %s to %s failed: error %s";
inline constexpr std::string_view kLogCopySkipped = "Copying %s to %s skipped: %s";
inline constexpr std::string_view kLogSourceMissing = "Not on the medium: %s";
inline constexpr std::string_view kLogDeviceFound = "Supported device found: %s";
inline constexpr std::string_view kLogDetectionFailed = "Device enumeration failed: error %s";
inline constexpr std::string_view kLogPathHandOver =
    "Path: hand-over (no supported device present)";
inline constexpr std::string_view kLogPathUpgrade =
    "Path: upgrade (older driver generation present)";
inline constexpr std::string_view kLogPathInstall = "Path: installation";
inline constexpr std::string_view kLogPathNothing =
    "Path: nothing to do (no driver to install for the devices found)";
inline constexpr std::string_view kLogServiceStarted = "Service program started: %s";
inline constexpr std::string_view kLogServiceFailed = "Service program %s not started: error %s";
inline constexpr std::string_view kLogDeviceRemoved = "Device removed: %s";
inline constexpr std::string_view kLogDeviceNotPresent = "Device not present, not removed: %s";
inline constexpr std::string_view kLogDeviceRemoveFailed = "Device %s not removed: error %s";
inline constexpr std::string_view kLogDriverInstalled = "Driver %s installed for %s (%s)";
inline constexpr std::string_view kLogRestartNeeded = "restart needed";
inline constexpr std::string_view kLogNoRestartNeeded = "no restart needed";
inline constexpr std::string_view kLogDriverFailed = "Driver %s for %s failed: error %s";
inline constexpr std::string_view kLogInfMissing = "Driver %s for %s failed: the INF is missing";
inline constexpr std::string_view kLogRunOnceRegistered = "Restart run registered: %s";
inline constexpr std::string_view kLogRunOnceFailed = "Restart run not registered: error %s";
inline constexpr std::string_view kLogRunOnceNoDirectory =
    "Restart run not registered: system directory unusable";
inline constexpr std::string_view kLogHandOverStarted = "Handing over: %s";
inline constexpr std::string_view kLogHandOverEnded = "Older setup program ended with exit code %s";
inline constexpr std::string_view kLogHandOverNotStarted =
    "Older setup program could not start: error %s";
inline constexpr std::string_view kLogHandOverUnknown =
    "Older setup program's result unknown: error %s";
inline constexpr std::string_view kLogExit = "Exit code %s: %s";
inline constexpr std::string_view kLogMeaningComplete = "installation complete";
inline constexpr std::string_view kLogMeaningReboot = "reboot required";
inline constexpr std::string_view kLogMeaningFailed = "installation failed";
inline constexpr std::string_view kLogMeaningEnded = "ended early";
/// The words the log's lines are filled with.
inline constexpr std::string_view kLogNone = "(none)";
inline constexpr std::string_view kLogBuiltinCatalogue = "built-in English texts";
inline constexpr std::string_view kLogWindowsVersion = "%s.%s build %s";
inline constexpr std::string_view kLogWindowsVersionUnknown = "unknown (error %s)";
inline constexpr std::string_view kLogPathTooLong = "path too long";
inline constexpr std::string_view kLogCannotLook =
    "the deployed copy cannot be looked at (error %s)";
inline constexpr std::string_view kLogStampUnreadable = "a version stamp cannot be read";
inline constexpr std::string_view kLogQuestionTooLong = "the question does not fit";
inline constexpr std::string_view kLogQuietMode = "quiet mode";
inline constexpr std::string_view kLogAnsweredYes = "answered yes";
inline constexpr std::string_view kLogAnsweredNo = "answered no";
inline constexpr std::string_view kLogAnsweredCancel = "answered cancel";

}  // namespace messages
