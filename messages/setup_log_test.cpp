#include "messages/setup_log.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "messages/builtin_catalogue.h"
#include "platform/failing_platform.h"

namespace messages {
namespace {

using platform::Dword;
using platform::Handle;

/// Files in memory, each written only by appending, as the log writes them; a clock that moves
/// one second a line.
class LogFilePlatform : public platform::FailingPlatform {
 public:
  std::map<std::string, std::string> files;
  std::set<std::string> read_only;
  /// Paths whose opening fails with this error.
  std::map<std::string, Dword> open_errors;
  /// Writes to these paths fail with this error once this many have gone.
  std::map<std::string, std::pair<int, Dword>> write_errors;
  /// Writes to these paths report fewer bytes than asked.
  std::set<std::string> short_writes;
  bool rename_fails = false;
  int writes = 0;
  int seconds = 0;

  std::optional<std::uint64_t> GetFileSize(std::string_view path) override {
    const auto file = files.find(std::string(path));
    if (file == files.end()) return Failed(std::optional<std::uint64_t>(), kNoFile);
    return file->second.size();
  }
  void GetLocalTime(platform::SystemTime* time) override {
    *time = {2001, 2, 0, 3, 4, 5, static_cast<platform::Word>(seconds++), 0};
  }
  Handle CreateFileA(std::string_view path, Dword access, Dword share, Dword disposition) override {
    EXPECT_EQ(access, platform::FILE_APPEND_DATA);
    EXPECT_EQ(share, platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE);
    EXPECT_EQ(disposition, platform::OPEN_ALWAYS);
    const std::string name(path);
    if (open_errors.contains(name)) return Failed(platform::kInvalidHandleValue, open_errors[name]);
    if (read_only.contains(name)) {
      return Failed(platform::kInvalidHandleValue, platform::kErrorAccessDenied);
    }
    files[name];
    open.push_back(name);
    return open.size();
  }
  platform::Bool WriteFile(Handle file, std::string_view bytes, Dword* written) override {
    const std::string& name = open.at(file - 1);
    ++writes;
    if (auto error = write_errors.find(name); error != write_errors.end()) {
      if (error->second.first-- <= 0) return Failed(kFalse, error->second.second);
    }
    const std::size_t going = short_writes.contains(name) ? bytes.size() / 2 : bytes.size();
    files[name].append(bytes.substr(0, going));
    *written = static_cast<Dword>(going);
    return 1;
  }
  platform::Bool MoveFileExA(std::string_view from, std::string_view to, Dword flags) override {
    EXPECT_EQ(flags, platform::MOVEFILE_REPLACE_EXISTING);
    if (rename_fails) return Failed(kFalse, platform::kErrorSharingViolation);
    files[std::string(to)] = files.at(std::string(from));
    files.erase(std::string(from));
    return 1;
  }
  platform::Bool CloseHandle(Handle) override {
    ++closed;
    return 1;
  }

  std::vector<std::string> open;
  int closed = 0;
};

const std::string kDefault = "C:\\WINNT\\ZOVSETUP.LOG";
const std::string kNamed = "\\\\SERVER\\LOGS\\HOST1.LOG";

class SetupLogTest : public testing::Test {
 protected:
  LogFilePlatform platform;
  Catalogue catalogue = BuiltinCatalogue();
  Console console{platform, catalogue};
};

TEST_F(SetupLogTest, WritesEachLineWithItsTimeInOneWrite) {
  platform.files[kDefault] = "2000-01-01 00:00:00 an earlier run\r\n";
  {
    SetupLog log(platform, console);
    log.Open("", kDefault);
    EXPECT_EQ(log.path(), kDefault);
    log.Write(kLogFileCopied, {"D:\\win2000\\KAF.INF", "C:\\x\\KAF.INF"});
    log.Write(kLogDeviceFound, {"PCI\\VEN_1\tline\r\nend\x7f\xe9"});
  }
  EXPECT_EQ(platform.files[kDefault],
            "2000-01-01 00:00:00 an earlier run\r\n"
            "2001-02-03 04:05:00 Copied D:\\win2000\\KAF.INF to C:\\x\\KAF.INF\r\n"
            "2001-02-03 04:05:01 Supported device found: PCI\\VEN_1?line??end?\xe9\r\n");
  EXPECT_EQ(platform.writes, 2);
  EXPECT_EQ(platform.closed, 1);
  EXPECT_EQ(platform.output, "");
}

TEST_F(SetupLogTest, MachineTextIsNeverReadAsAFormat) {
  SetupLog log(platform, console);
  log.Open("", kDefault);
  log.Write(kLogDeviceFound, {"%s%d%%"});
  EXPECT_EQ(platform.files[kDefault], "2001-02-03 04:05:00 Supported device found: %s%d%%\r\n");
}

TEST_F(SetupLogTest, AFullLogIsSetAsideFirst) {
  const struct {
    std::size_t size;
    bool rename_fails;
    bool set_aside;
  } cases[] = {
      {kLogSizeLimit - 1, false, false},
      {kLogSizeLimit, false, true},
      {kLogSizeLimit + 5000, false, true},
      // A log that cannot be set aside is appended to all the same.
      {kLogSizeLimit, true, false},
  };
  for (const auto& c : cases) {
    LogFilePlatform machine;
    machine.rename_fails = c.rename_fails;
    machine.files[kDefault] = std::string(c.size, 'x');
    machine.files["C:\\WINNT\\ZOVSETUP.OLD"] = "an older old log";
    Console out(machine, catalogue);
    {
      SetupLog log(machine, out);
      log.Open("", kDefault);
      log.Write(kLogPathInstall);
    }
    const std::string line = "2001-02-03 04:05:00 Path: installation\r\n";
    if (c.set_aside) {
      EXPECT_EQ(machine.files["C:\\WINNT\\ZOVSETUP.OLD"], std::string(c.size, 'x')) << c.size;
      EXPECT_EQ(machine.files[kDefault],
                line +
                    "2001-02-03 04:05:01 The log reached its size limit: the old one is "
                    "C:\\WINNT\\ZOVSETUP.OLD\r\n");
    } else {
      EXPECT_EQ(machine.files["C:\\WINNT\\ZOVSETUP.OLD"], "an older old log") << c.size;
      EXPECT_EQ(machine.files[kDefault], std::string(c.size, 'x') + line) << c.size;
    }
  }
}

TEST_F(SetupLogTest, ANamedLogThatCannotBeOpenedHandsOverToTheDefaultOnce) {
  platform.open_errors[kNamed] = platform::kErrorBadNetPath;
  {
    SetupLog log(platform, console);
    log.Open(kNamed, kDefault);
    EXPECT_EQ(log.path(), kDefault);
    EXPECT_FALSE(log.named_in_use());
    log.Write(kLogPathInstall);
    log.Write(kLogPathNothing);
  }
  EXPECT_EQ(platform.output,
            "The log \\\\SERVER\\LOGS\\HOST1.LOG cannot be written (error 53); the default log "
            "is used instead.\n");
  EXPECT_EQ(platform.files[kDefault],
            "2001-02-03 04:05:00 Path: installation\r\n"
            "2001-02-03 04:05:01 The log \\\\SERVER\\LOGS\\HOST1.LOG cannot be written (error "
            "53); this log is used instead\r\n"
            "2001-02-03 04:05:02 Path: nothing to do (no driver to install for the devices "
            "found)\r\n");
  EXPECT_FALSE(platform.files.contains(kNamed));
}

TEST_F(SetupLogTest, ANamedLogThatFailsLaterHandsOverWithTheLineItLost) {
  const struct {
    const char* name;
    void (*fail)(LogFilePlatform&);
    const char* error;
  } cases[] = {
      {"a write that fails",
       [](LogFilePlatform& p) {
         p.write_errors[kNamed] = {0, platform::kErrorDiskFull};
       },
       "112"},
      {"a write that goes short", [](LogFilePlatform& p) { p.short_writes.insert(kNamed); }, "112"},
  };
  for (const auto& c : cases) {
    LogFilePlatform machine;
    Console out(machine, catalogue);
    {
      SetupLog log(machine, out);
      log.Open(kNamed, kDefault);
      EXPECT_TRUE(log.named_in_use()) << c.name;
      log.Write(kLogPathInstall);
      c.fail(machine);
      log.Write(kLogPathUpgrade);
      log.Write(kLogPathHandOver);
      EXPECT_EQ(log.path(), kDefault) << c.name;
    }
    EXPECT_EQ(machine.output, "The log \\\\SERVER\\LOGS\\HOST1.LOG cannot be written (error " +
                                  std::string(c.error) + "); the default log is used instead.\n")
        << c.name;
    EXPECT_TRUE(machine.files[kNamed].starts_with("2001-02-03 04:05:00 Path: installation\r\n"))
        << c.name;
    const std::string& fallback = machine.files[kDefault];
    EXPECT_NE(fallback.find(" Path: upgrade (older driver generation present)\r\n"),
              std::string::npos)
        << c.name;
    EXPECT_NE(fallback.find(" this log is used instead\r\n"), std::string::npos) << c.name;
    EXPECT_TRUE(fallback.ends_with(" Path: hand-over (no supported device present)\r\n")) << c.name;
  }
}

TEST_F(SetupLogTest, ALogThatCannotBeWrittenIsGivenUpQuietly) {
  const struct {
    const char* name;
    std::string named;
    void (*fail)(LogFilePlatform&);
    const char* printed;
  } cases[] = {
      {"a read-only default log", "", [](LogFilePlatform& p) { p.read_only.insert(kDefault); }, ""},
      {"a full disk", "",
       [](LogFilePlatform& p) {
         p.write_errors[kDefault] = {0, platform::kErrorDiskFull};
       },
       ""},
      {"both unwritable", kNamed,
       [](LogFilePlatform& p) {
         p.read_only.insert(kNamed);
         p.read_only.insert(kDefault);
       },
       "The log \\\\SERVER\\LOGS\\HOST1.LOG cannot be written (error 5); the default log is used "
       "instead.\n"},
  };
  for (const auto& c : cases) {
    LogFilePlatform machine;
    c.fail(machine);
    Console out(machine, catalogue);
    SetupLog log(machine, out);
    log.Open(c.named, kDefault);
    log.Write(kLogPathInstall);
    log.Write(kLogPathNothing);
    EXPECT_EQ(log.path(), "") << c.name;
    EXPECT_EQ(machine.output, c.printed) << c.name;
    EXPECT_LE(machine.writes, 1) << c.name;
    EXPECT_EQ(machine.files[kDefault], "") << c.name;
  }
}

TEST_F(SetupLogTest, WithoutAPlatformOrAPathNothingIsWritten) {
  SetupLog nowhere;
  nowhere.Open(kNamed, kDefault);
  nowhere.Write(kLogPathInstall);
  EXPECT_EQ(nowhere.path(), "");

  SetupLog no_path(platform, console);
  no_path.Open("", "");
  no_path.Write(kLogPathInstall);
  EXPECT_EQ(platform.writes, 0);
  EXPECT_TRUE(platform.files.empty());
}

TEST(SetupLogNames, OldLogDefaultLogAndErrors) {
  EXPECT_EQ(OldLogPath("C:\\WINNT\\ZOVSETUP.LOG"), "C:\\WINNT\\ZOVSETUP.OLD");
  EXPECT_EQ(OldLogPath("C:\\LOGS.D\\SETUP"), "C:\\LOGS.D\\SETUP.OLD");
  EXPECT_EQ(OldLogPath("\\\\S\\L\\A.B.TXT"), "\\\\S\\L\\A.B.OLD");
  EXPECT_EQ(OldLogPath("X.LOG"), "X.OLD");
  EXPECT_EQ(OldLogPath("C:X"), "C:X.OLD");

  EXPECT_EQ(DefaultLogPath("C:\\WINNT"), "C:\\WINNT\\ZOVSETUP.LOG");
  EXPECT_EQ(DefaultLogPath("C:\\"), "C:\\ZOVSETUP.LOG");
  EXPECT_EQ(DefaultLogPath(""), "");
  const std::string longest = "C:\\" + std::string(kMaxWindowsDirectory - 3, 'w');
  EXPECT_EQ(DefaultLogPath(longest), longest + "\\ZOVSETUP.LOG");
  EXPECT_EQ(DefaultLogPath(longest + "w"), "");

  EXPECT_EQ(LogError(5), "5");
  EXPECT_EQ(LogError(0xFFFF), "65535");
  EXPECT_EQ(LogError(0xE0000203), "0xE0000203");

  EXPECT_EQ(LogTime({2026, 12, 3, 9, 7, 5, 3, 999}), "2026-12-09 07:05:03");
}

}  // namespace
}  // namespace messages
