// The setup log: what a run did, one time-stamped line per step, appended to a file on the
// machine so that an unattended run leaves a trace that support staff and scripts can read.
//
// The log never stops a run: a log that cannot be opened or written is given up (a log named by
// the administrator hands over to the default one first), and the run goes on exactly as it
// would without one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "messages/console.h"
#include "platform/platform.h"

namespace messages {

/// The default log's name, in the Windows directory.
inline constexpr std::string_view kLogFileName = "ZOVSETUP.LOG";
/// The longest Windows directory the default log is placed in (as for the system directory).
inline constexpr std::size_t kMaxWindowsDirectory = 259;
/// A log of this many bytes or more at the start of a run is set aside first.
inline constexpr std::uint64_t kLogSizeLimit = 1u << 20;
/// The extension a log that is set aside gets in place of its own.
inline constexpr std::string_view kOldLogExtension = ".OLD";
/// The time column: "YYYY-MM-DD HH:MM:SS", then one space.
inline constexpr std::size_t kLogTimeWidth = 19;

/// The time column for a local time.
std::string LogTime(const platform::SystemTime& time);
/// Text from the machine made safe for one log line: each control character becomes '?'; every
/// other byte stays as it is.
std::string LogSafe(std::string_view text);
/// A system error code as the log writes it: decimal, or hexadecimal from 0x10000 up (as the
/// device installation services' codes are looked up).
std::string LogError(platform::Dword error);
/// Where a log is set aside: its extension replaced by ".OLD" (added when it has none).
std::string OldLogPath(std::string_view path);
/// The default log's path for the Windows directory as the system answered it; empty when
/// that directory is unusable (none, or longer than kMaxWindowsDirectory).
std::string DefaultLogPath(std::string_view windows_directory);

class SetupLog {
 public:
  /// A log that writes nothing (a run whose log is not wanted, and tests).
  SetupLog() = default;
  /// A log of `platform`; `console` says once when a log named by the administrator cannot be
  /// written.
  SetupLog(platform::Platform& platform, Console& console)
      : platform_(&platform), console_(&console) {}
  ~SetupLog();
  SetupLog(const SetupLog&) = delete;
  SetupLog& operator=(const SetupLog&) = delete;

  /// Opens the log to append to: `named` (the administrator's /L= path; empty for none), and
  /// when it cannot be opened, `fallback` (the default log; empty for none). A log that has
  /// reached kLogSizeLimit is first set aside under OldLogPath, replacing an older one there.
  void Open(std::string_view named, std::string_view fallback);

  /// Writes one line: the local time, then `format` filled with `args` (as the catalogue's
  /// texts are), ended by CR LF, in one write. Line ends inside the text become '?'. A failed
  /// write gives the log up; the named log hands over to the fallback, which gets the line.
  void Write(std::string_view format, std::initializer_list<Arg> args = {});

  /// The file the log is written to now; empty when it writes nowhere.
  const std::string& path() const { return path_; }
  /// Whether the named log was in use the whole run so far.
  bool named_in_use() const { return !named_.empty() && path_ == named_; }

 private:
  /// Opens `path` (setting aside a full log first); the error code, 0 when open.
  platform::Dword OpenFile(std::string_view path);
  /// The named log failed with `error`: says so once on the console and goes on in the fallback.
  void HandOverToFallback(platform::Dword error);
  void Close();
  /// Writes one line of `text` as it stands (to an open file).
  void WriteText(std::string_view text);
  /// Writes one whole line to the open file; the error code, 0 when it went.
  platform::Dword WriteLine(const std::string& line);

  platform::Platform* platform_ = nullptr;
  Console* console_ = nullptr;
  std::string named_;
  std::string fallback_;
  std::string path_;
  platform::Handle file_ = platform::kInvalidHandleValue;
  bool handed_over_ = false;
  /// Said in the log after the next line: that a full log was set aside, that the named log was
  /// given up.
  std::vector<std::string> pending_notes_;
};

}  // namespace messages
