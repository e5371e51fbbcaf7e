// The console: printing catalogue messages safely, the yes/no/cancel question, the exit tail.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

#include "messages/catalogue.h"
#include "platform/platform.h"

namespace messages {

/// One argument of a message: a text for `%s` or a number for `%d`.
using Arg = std::variant<std::string_view, long long>;

/// Formats `format` with `args`, honouring only `%s`, `%d` and `%%`. When the conversions of
/// `format` are not exactly those of `reference` (the built-in text of the same entry), or do
/// not fit the arguments, `reference` is used instead; a catalogue text from a file can never
/// make the program read past its arguments.
std::string FormatMessage(std::string_view format, std::string_view reference,
                          std::initializer_list<Arg> args);

/// Question results.
enum Answer : int { kCancel = 0, kYes = 1, kNo = 2 };

/// An answer line is kept in a 1024-byte buffer: at most this many characters of it count.
inline constexpr std::size_t kMaxAnswerLine = 1023;

/// The first graphic character (0x21 to 0x7E) of `text`, or null when there is none.
const char* SkipToGraphic(const char* text);

/// Prints the messages of the current catalogue and talks to the user.
class Console {
 public:
  Console(platform::Platform& platform, const Catalogue& catalogue)
      : platform_(platform), catalogue_(catalogue) {}

  /// Prints catalogue entry `entry` with its arguments.
  void Print(int entry, std::initializer_list<Arg> args = {});
  /// The text of catalogue entry `entry` with its arguments, as Print would print it.
  std::string Format(int entry, std::initializer_list<Arg> args = {}) const;
  /// Prints a fixed text that is not a catalogue entry.
  void PrintText(std::string_view text);

  /// Asks the yes/no/cancel question with a complete prompt. Quiet mode answers yes at once.
  /// Once standard input is used up, the answer is no.
  int AskQuestion(std::string_view prompt, bool quiet);

  const Catalogue& catalogue() const { return catalogue_; }

 private:
  /// Reads one answer line; false at the end of input before any byte.
  bool ReadAnswerLine(std::string* line);

  platform::Platform& platform_;
  const Catalogue& catalogue_;
  bool input_ended_ = false;
};

/// The last step of every run that reaches a result: unless quiet, prints "Press any key to
/// exit." and waits for one key press on the console; then releases the current catalogue when
/// it was loaded from a file.
void RunExitTail(platform::Platform& platform, Console& console, Catalogue* current,
                 bool catalogue_loaded, bool quiet);

}  // namespace messages
