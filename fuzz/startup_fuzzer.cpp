// The source root on arbitrary program paths and drive numbers, and the option reading on
// arbitrary arguments.
//
// The input: the current drive number (one byte, read as signed), the program path (a length
// byte and its bytes), where the system says the program lies (two length bytes, low first, and
// its bytes), then the further arguments (the rest, split at NUL bytes).
//
// Properties:
// - the source root is the path's drive followed by the directory part above the last
//   "\win2000\" of the directory (any letter case; a directory of more than 255 characters is
//   not used), or the drive alone when the directory has no "\win2000\"; when that is empty,
//   the current drive's lower-case letter and a colon (drive numbers 1 to 26), else empty; it
//   never has more than 255 characters; a program path without drive, backslash or slash takes
//   that root from where the program lies instead, when that directory ends with "\win2000\"
//   and has at most 255 characters;
// - the options are those of a plain reading: arguments in order, in upper case, "/Q" and
//   "-Q" set quiet mode, "/R" and "-R" a restart run, "-F" followed by A, E, J, P, R or W
//   prints that code's message, any other "-F" ends the reading as an invalid force code, and
//   "/?", "-?", "/H", "-H" or "--HELP" ends it as the help option; "/L=PATH" or "-L=PATH"
//   names the log (the last one read counts), and "/L" or "/L=" alone ends the reading as an
//   invalid option; "/RESTARTEXITCODE=N" with N of decimal digits worth at most 4294967295 names
//   the restart exit code, and any other value (or none) ends the reading as an invalid option;
//   an invalid option or force code is named as it was read;
// - comparing paths without regard to case is symmetric and holds for a path and its
//   upper-case form.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "messages/builtin_catalogue.h"
#include "setup/startup.h"

namespace {

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
char Upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string_view PlainDrive(std::string_view path) {
  return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : std::string_view();
}

std::string_view PlainDirectory(std::string_view path) {
  const std::string_view after_drive = path.substr(PlainDrive(path).size());
  for (std::size_t i = after_drive.size(); i > 0; --i) {
    if (after_drive[i - 1] == '\\' || after_drive[i - 1] == '/') return after_drive.substr(0, i);
  }
  return {};
}

std::string PlainSourceRoot(std::string_view path, int drive_number) {
  const std::string_view directory = PlainDirectory(path);
  std::string root(PlainDrive(path));
  if (directory.size() <= 255) {
    std::string lowered;
    for (const char c : directory) lowered += Lower(c);
    const std::size_t medium = lowered.rfind("\\win2000\\");
    if (medium != std::string::npos) root += directory.substr(0, medium);
  }
  if (root.empty() && drive_number >= 1 && drive_number <= 26) {
    root = std::string(1, static_cast<char>('a' + drive_number - 1)) + ":";
  }
  return root;
}

/// The root of a run started as `path`, where the system says the program lies at `module`.
std::string PlainRunSourceRoot(std::string_view path, int drive_number, std::string_view module) {
  const bool bare = path.find(':') == std::string_view::npos &&
                    path.find('\\') == std::string_view::npos &&
                    path.find('/') == std::string_view::npos;
  std::string directory(PlainDirectory(module));
  for (char& c : directory) c = Lower(c);
  if (bare && directory.size() <= 255 && directory.size() >= 9 &&
      directory.compare(directory.size() - 9, 9, "\\win2000\\") == 0) {
    return PlainSourceRoot(module, drive_number);
  }
  return PlainSourceRoot(path, drive_number);
}

setup::Options PlainOptions(const std::vector<std::string>& args) {
  setup::Options options;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string arg;
    for (const char c : args[i]) arg += Upper(c);
    if (arg == "/?" || arg == "-?" || arg == "/H" || arg == "-H" || arg == "--HELP") {
      options.help = true;
      break;
    }
    if (arg == "/Q" || arg == "-Q") options.quiet = true;
    if (arg == "/R" || arg == "-R") options.restart_run = true;
    if (arg.size() >= 2 && arg[0] == '-' && arg[1] == 'F') {
      const std::string_view codes = "AEJPRW";
      const std::size_t code = arg.size() > 2 ? codes.find(arg[2]) : std::string_view::npos;
      if (code == std::string_view::npos) {
        options.invalid_force_code = true;
        options.invalid_option = arg;
        break;
      }
      options.force_messages.push_back(messages::kForceCodeTexts[code].text);
    }
    const bool slash = !arg.empty() && (arg[0] == '/' || arg[0] == '-');
    const std::string name = slash ? arg.substr(1) : std::string();
    if (name == "L" || name == "L=") {
      options.invalid_option = arg;
      break;
    }
    if (name.starts_with("L=")) options.log_path = name.substr(2);
    if (name == "RESTARTEXITCODE" || name.starts_with("RESTARTEXITCODE=")) {
      const std::string value = name.substr(std::min(name.size(), std::size_t{16}));
      // Leading zeros do not count towards the size.
      const std::size_t first = std::min(value.find_first_not_of('0'), value.size());
      const std::string digits = value.substr(first);
      const bool decimal =
          !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
      const bool fits = digits.size() < 10 || (digits.size() == 10 && digits <= "4294967295");
      if (!decimal || !fits) {
        options.invalid_option = arg;
        break;
      }
      options.restart_exit_code =
          static_cast<std::uint32_t>(std::stoull(digits.empty() ? "0" : digits));
    }
  }
  return options;
}

std::string Shown(const std::vector<std::string>& args) {
  std::string shown;
  for (const std::string& arg : args) shown += fuzz::Escaped(arg) + " ";
  return shown;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::InputReader input(data, size);
  const int drive_number = static_cast<signed char>(input.Byte());
  const std::string_view program_path = input.Text();
  const std::string_view module_path = input.Text(600);
  std::vector<std::string> args = {std::string(program_path)};
  const std::string_view rest = input.Rest();
  for (std::size_t at = 0; at < rest.size();) {
    std::size_t end = rest.find('\0', at);
    if (end == std::string_view::npos) end = rest.size();
    args.emplace_back(rest.substr(at, end - at));
    at = end + 1;
  }

  const std::string root = setup::SourceRoot(program_path, drive_number, module_path);
  const std::string plain_root = PlainRunSourceRoot(program_path, drive_number, module_path);
  fuzz::Check(root == plain_root, "the source root is the drive and the directory above win2000",
              [&] {
                return fuzz::Escaped(program_path) + " at " + fuzz::Escaped(module_path) +
                       " on drive " + std::to_string(drive_number) + ": " + fuzz::Escaped(root) +
                       " instead of " + fuzz::Escaped(plain_root);
              });
  fuzz::Check(root.size() <= 255, "the source root fits its 256-byte buffer");

  const setup::Options options = setup::ReadOptions(args);
  const setup::Options plain = PlainOptions(args);
  fuzz::Check(options.quiet == plain.quiet && options.restart_run == plain.restart_run &&
                  options.force_messages == plain.force_messages &&
                  options.invalid_force_code == plain.invalid_force_code &&
                  options.help == plain.help && options.log_path == plain.log_path &&
                  options.restart_exit_code == plain.restart_exit_code &&
                  options.invalid_option == plain.invalid_option,
              "the options are those of a plain reading", [&] { return Shown(args); });

  std::string upper(program_path);
  for (char& c : upper) c = Upper(c);
  fuzz::Check(setup::SamePathIgnoringCase(program_path, upper),
              "a path is the same as its upper-case form");
  fuzz::Check(setup::SamePathIgnoringCase(root, program_path) ==
                  setup::SamePathIgnoringCase(program_path, root),
              "comparing paths is symmetric");
  return 0;
}
