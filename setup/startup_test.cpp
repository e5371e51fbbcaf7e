#include "setup/startup.h"

#include <gtest/gtest.h>

#include <optional>

#include "setup/main_flow.h"

namespace setup {
namespace {

TEST(SourceRoot, TakesTheDriveAndTheDirectoryAboveWin2000) {
  const struct {
    const char* program_path;
    int drive_number;
    const char* source_root;
  } cases[] = {
      {"D:\\pkg\\win2000\\SETUP.EXE", 3, "D:\\pkg"},
      {"C:\\WINNT\\system32\\drivers\\orvan\\win2000\\SETUP.EXE", 3,
       "C:\\WINNT\\system32\\drivers\\orvan"},
      {"D:\\PKG\\WIN2000\\SETUP.EXE", 3, "D:\\PKG"},
      {"D:\\win2000\\SETUP.EXE", 3, "D:"},
      {"E:\\tools\\SETUP.EXE", 3, "E:"},
      {"\\pkg\\win2000\\SETUP.EXE", 3, "\\pkg"},
      {"SETUP", 3, "c:"},
      {"SETUP", 1, "a:"},
      {"SETUP.EXE", 26, "z:"},
      // Slashes end the directory too, but the medium directory is named with backslashes.
      {"D:/pkg/win2000/SETUP.EXE", 3, "D:"},
      {"D:\\pkg/Win2000/SETUP.EXE", 3, "D:"},
      {"D:\\pkg\\Win2000/SETUP.EXE", 3, "D:"},
      {"D:SETUP.EXE", 3, "D:"},
      {"", 3, "c:"},
      // The medium directory elsewhere than at the end: the root lies above its last place.
      {"D:\\pkg\\win2000\\tools\\SETUP.EXE", 3, "D:\\pkg"},
      {"D:\\a\\win2000\\b\\win2000\\c\\SETUP.EXE", 3, "D:\\a\\win2000\\b"},
      {"D:\\win2000x\\SETUP.EXE", 3, "D:"},
      // No drive and no letter for the current directory: the root stays empty.
      {"SETUP", 0, ""},
      {"\\pkg\\SETUP", 0, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SourceRoot(c.program_path, c.drive_number), c.source_root) << c.program_path;
  }
}

TEST(SourceRoot, ABareNameTakesTheMediumFromWhereTheProgramLies) {
  const std::string long_folder = "E:\\" + std::string(246, 'p') + "\\win2000\\SETUP.EXE";
  const struct {
    const char* program_path;
    std::string module_path;
    const char* source_root;
  } cases[] = {
      {"SETUP", "E:\\Driver Disk\\win2000\\SETUP.EXE", "E:\\Driver Disk"},
      {"setup.exe", "E:\\Driver Disk\\WIN2000\\setup.exe", "E:\\Driver Disk"},
      {"SETUP", "E:\\win2000\\SETUP.EXE", "E:"},
      // Not in a medium folder, or nothing known: the current drive, as for any bare name.
      {"SETUP", "C:\\tools\\SETUP.EXE", "c:"},
      {"SETUP", "E:\\win2000\\tools\\SETUP.EXE", "c:"},
      {"SETUP", "", "c:"},
      {"SETUP", long_folder, "c:"},
      // A path that names a folder keeps its own rule, wherever the program lies.
      {"D:\\win2000\\SETUP.EXE", "E:\\x\\win2000\\SETUP.EXE", "D:"},
      {"E:SETUP", "E:\\x\\win2000\\SETUP.EXE", "E:"},
      {"win2000\\SETUP", "E:\\x\\win2000\\SETUP.EXE", "c:"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SourceRoot(c.program_path, 3, c.module_path), c.source_root)
        << c.program_path << " at " << c.module_path;
  }
  const std::string fits = "E:\\" + std::string(245, 'p') + "\\win2000\\SETUP.EXE";
  EXPECT_EQ(SourceRoot("SETUP", 3, fits), "E:\\" + std::string(245, 'p'));
}

TEST(SourceRoot, DoesNotUseADirectoryTooLongForItsBuffer) {
  const std::string fits = "D:\\" + std::string(245, 'p') + "\\win2000\\SETUP.EXE";
  EXPECT_EQ(SourceRoot(fits, 3), "D:\\" + std::string(245, 'p'));
  const std::string too_long = "D:\\" + std::string(246, 'p') + "\\win2000\\SETUP.EXE";
  EXPECT_EQ(SourceRoot(too_long, 3), "D:");
}

TEST(ReadOptions, ReadsQuietRestartAndForceCodes) {
  const auto force = [](int code) { return messages::kForceCodeTexts[code].text; };  // A E J P R W
  const struct {
    std::vector<std::string> args;
    bool quiet = false;
    bool restart_run = false;
    std::vector<std::string_view> force = {};
    bool invalid = false;
    bool help = false;
  } cases[] = {
      {.args = {"SETUP"}},
      {.args = {"SETUP", "/q"}, .quiet = true},
      {.args = {"SETUP", "-Q"}, .quiet = true},
      {.args = {"SETUP", "/r"}, .restart_run = true},
      {.args = {"SETUP", "-r", "/Q", "-R", "/q"}, .quiet = true, .restart_run = true},
      {.args = {"SETUP", "/quiet", "Q", "/F", "-", "/FA"}},
      {.args = {"SETUP", "-fa"}, .force = {force(0)}},
      {.args = {"SETUP", "-FAXYZ", "/Q"}, .quiet = true, .force = {force(0)}},
      {.args = {"SETUP", "-FE", "-fj", "-FP", "-Fr", "-FW"},
       .force = {force(1), force(2), force(3), force(4), force(5)}},
      {.args = {"SETUP", "-F"}, .invalid = true},
      {.args = {"SETUP", "-FX", "/Q"}, .invalid = true},  // the /Q after it is never read
      {.args = {"SETUP", "/Q", "-fx"}, .quiet = true, .invalid = true},
      {.args = {"SETUP", "-FA", "-F1", "-R"}, .force = {force(0)}, .invalid = true},
      // The help option, in any of its forms, ends the reading at once.
      {.args = {"SETUP", "/?"}, .help = true},
      {.args = {"SETUP", "-?", "/Q"}, .help = true},
      {.args = {"SETUP", "/h"}, .help = true},
      {.args = {"SETUP", "-H"}, .help = true},
      {.args = {"SETUP", "--help", "-FX"}, .help = true},
      {.args = {"SETUP", "/Q", "-fa", "/?", "/R"},
       .quiet = true,
       .force = {force(0)},
       .help = true},
      {.args = {"SETUP", "-FX", "/?"}, .invalid = true},
      {.args = {"SETUP", "/help", "-help", "/??", "?", "-h1"}},
  };
  for (const auto& c : cases) {
    const Options options = ReadOptions(c.args);
    const std::string where = c.args.size() > 1 ? c.args[1] : "(none)";
    EXPECT_EQ(options.quiet, c.quiet) << where;
    EXPECT_EQ(options.restart_run, c.restart_run) << where;
    EXPECT_EQ(options.force_messages, c.force) << where;
    EXPECT_EQ(options.invalid_force_code, c.invalid) << where;
    EXPECT_EQ(options.help, c.help) << where;
  }
}

TEST(ReadOptions, ReadsTheLogAndTheRestartExitCode) {
  const std::string_view bad_log = messages::kInvalidLogOptionText;
  const std::string_view bad_code = messages::kInvalidRestartExitCodeText;
  const struct {
    std::vector<std::string> args;
    std::string log_path = {};
    std::optional<std::uint32_t> restart_exit_code = {};
    std::string invalid = {};
    std::string_view invalid_text = {};
    bool quiet = false;
  } cases[] = {
      {.args = {"SETUP", "/L=C:\\Logs\\run.log"}, .log_path = "C:\\LOGS\\RUN.LOG"},
      {.args = {"SETUP", "-l=\\\\server\\logs\\host1.log", "/q"},
       .log_path = "\\\\SERVER\\LOGS\\HOST1.LOG",
       .quiet = true},
      {.args = {"SETUP", "/L=first.log", "/L=..\\second log.txt"},
       .log_path = "..\\SECOND LOG.TXT"},
      {.args = {"SETUP", "/L=x=y"}, .log_path = "X=Y"},
      {.args = {"SETUP", "/L"}, .invalid = "/L", .invalid_text = bad_log},
      {.args = {"SETUP", "-l=", "/Q"}, .invalid = "-L=", .invalid_text = bad_log},
      {.args = {"SETUP", "/Q", "/L="}, .invalid = "/L=", .invalid_text = bad_log, .quiet = true},
      // Names that only begin like the log option are other, unknown arguments.
      {.args = {"SETUP", "/LOG=x", "/LX", "L=x", "--L=x"}},
      {.args = {"SETUP", "/RESTARTEXITCODE=3010"}, .restart_exit_code = 3010},
      {.args = {"SETUP", "-restartexitcode=0"}, .restart_exit_code = 0},
      {.args = {"SETUP", "/RestartExitCode=4294967295"}, .restart_exit_code = 4294967295u},
      {.args = {"SETUP", "/RESTARTEXITCODE=0003010"}, .restart_exit_code = 3010},
      {.args = {"SETUP", "/RESTARTEXITCODE=1", "/RESTARTEXITCODE=1641"}, .restart_exit_code = 1641},
      {.args = {"SETUP", "/RESTARTEXITCODE"},
       .invalid = "/RESTARTEXITCODE",
       .invalid_text = bad_code},
      {.args = {"SETUP", "/RESTARTEXITCODE=", "/Q"},
       .invalid = "/RESTARTEXITCODE=",
       .invalid_text = bad_code},
      {.args = {"SETUP", "/RESTARTEXITCODE=4294967296"},
       .invalid = "/RESTARTEXITCODE=4294967296",
       .invalid_text = bad_code},
      {.args = {"SETUP", "/RESTARTEXITCODE=99999999999999999999"},
       .invalid = "/RESTARTEXITCODE=99999999999999999999",
       .invalid_text = bad_code},
      {.args = {"SETUP", "/RESTARTEXITCODE=-1"},
       .invalid = "/RESTARTEXITCODE=-1",
       .invalid_text = bad_code},
      {.args = {"SETUP", "/RESTARTEXITCODE=+5"},
       .invalid = "/RESTARTEXITCODE=+5",
       .invalid_text = bad_code},
      {.args = {"SETUP", "/RESTARTEXITCODE=0X10"},
       .invalid = "/RESTARTEXITCODE=0X10",
       .invalid_text = bad_code},
      {.args = {"SETUP", "/RESTARTEXITCODE= 5"},
       .invalid = "/RESTARTEXITCODE= 5",
       .invalid_text = bad_code},
      // An invalid force code ends the reading too, and names itself.
      {.args = {"SETUP", "-FX", "/L"}, .invalid = "-FX"},
      {.args = {"SETUP", "/L", "-FX"}, .invalid = "/L", .invalid_text = bad_log},
  };
  for (const auto& c : cases) {
    const Options options = ReadOptions(c.args);
    const std::string where = c.args.back();
    EXPECT_EQ(options.log_path, c.log_path) << where;
    EXPECT_EQ(options.restart_exit_code, c.restart_exit_code) << where;
    EXPECT_EQ(options.invalid_option, c.invalid) << where;
    EXPECT_EQ(options.invalid_option_text, c.invalid_text) << where;
    EXPECT_EQ(options.quiet, c.quiet) << where;
  }
}

TEST(SamePathIgnoringCase, ComparesAsciiLettersWithoutCase) {
  EXPECT_TRUE(SamePathIgnoringCase("c:\\winnt\\SYSTEM32\\drivers\\orvan",
                                   "C:\\WINNT\\system32\\drivers\\orvan"));
  EXPECT_FALSE(SamePathIgnoringCase("D:", "C:\\WINNT\\system32\\drivers\\orvan"));
  EXPECT_FALSE(SamePathIgnoringCase("C:\\WINNT\\system32\\drivers\\orvan\\",
                                    "C:\\WINNT\\system32\\drivers\\orvan"));
  EXPECT_FALSE(SamePathIgnoringCase("\xe9", "\xc9"));  // only ASCII letters fold
}

TEST(QuotedProgramPath, QuotesOnlyAPathWithASpace) {
  EXPECT_EQ(QuotedProgramPath("D:\\nt\\KVLSETUP.EXE"), "D:\\nt\\KVLSETUP.EXE");
  EXPECT_EQ(QuotedProgramPath("D:\\My Medium\\nt\\KVLSETUP.EXE"),
            "\"D:\\My Medium\\nt\\KVLSETUP.EXE\"");
}

}  // namespace
}  // namespace setup
