#include "messages/console.h"

#include <cstring>
#include <optional>
#include <vector>

namespace messages {

namespace {

constexpr unsigned char kEndOfInputByte = 0x1A;

/// The conversions of a print format in order ('s', 'd'); nothing when it holds any other
/// conversion, a flag, a width, a precision or a lone '%'.
std::optional<std::vector<char>> Conversions(std::string_view format) {
  std::vector<char> conversions;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') continue;
    if (i + 1 >= format.size()) return std::nullopt;
    const char conversion = format[++i];
    if (conversion == '%') continue;
    if (conversion != 's' && conversion != 'd') return std::nullopt;
    conversions.push_back(conversion);
  }
  return conversions;
}

bool Fits(const std::vector<char>& conversions, std::initializer_list<Arg> args) {
  if (conversions.size() != args.size()) return false;
  std::size_t i = 0;
  for (const Arg& arg : args) {
    const bool is_text = std::holds_alternative<std::string_view>(arg);
    if ((conversions[i++] == 's') != is_text) return false;
  }
  return true;
}

/// Fills a format whose conversions are known to fit the arguments.
std::string Render(std::string_view format, std::initializer_list<Arg> args) {
  std::string out;
  out.reserve(format.size());
  const Arg* next = args.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out += format[i];
      continue;
    }
    const char conversion = format[++i];
    if (conversion == '%') {
      out += '%';
    } else if (conversion == 's') {
      out += std::get<std::string_view>(*next++);
    } else {
      out += std::to_string(std::get<long long>(*next++));
    }
  }
  return out;
}

bool IsGraphic(unsigned char byte) {
  return byte >= 0x21 && byte <= 0x7E;
}

unsigned char AsciiLower(unsigned char byte) {
  return (byte >= 'A' && byte <= 'Z') ? static_cast<unsigned char>(byte - 'A' + 'a') : byte;
}

/// Whether `answer` begins with `word`, ASCII letters compared without regard to case.
bool BeginsWithWord(std::string_view answer, std::string_view word) {
  if (answer.size() < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (AsciiLower(static_cast<unsigned char>(answer[i])) !=
        AsciiLower(static_cast<unsigned char>(word[i]))) {
      return false;
    }
  }
  return true;
}

/// A catalogue text up to its first NUL, as a C string would end it.
std::string_view CText(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

}  // namespace

std::string FormatMessage(std::string_view format, std::string_view reference,
                          std::initializer_list<Arg> args) {
  const auto reference_conversions = Conversions(reference);
  const auto format_conversions = Conversions(format);
  if (format_conversions && reference_conversions &&
      *format_conversions == *reference_conversions && Fits(*format_conversions, args)) {
    return Render(format, args);
  }
  if (reference_conversions && Fits(*reference_conversions, args)) return Render(reference, args);
  return std::string(reference);
}

const char* SkipToGraphic(const char* text) {
  if (text == nullptr) return nullptr;
  while (*text != '\0' && !IsGraphic(static_cast<unsigned char>(*text))) ++text;
  return *text != '\0' ? text : nullptr;
}

std::string Console::Format(int entry, std::initializer_list<Arg> args) const {
  const std::string_view reference = entry >= 0 && entry < kEntryCount
                                         ? kBuiltinTexts[static_cast<std::size_t>(entry)]
                                         : kUnknownMessage;
  return FormatMessage(CText(catalogue_.Entry(entry)), reference, args);
}

void Console::Print(int entry, std::initializer_list<Arg> args) {
  platform_.WriteStandardOutput(Format(entry, args));
}

void Console::PrintText(std::string_view text) {
  platform_.WriteStandardOutput(text);
}

bool Console::ReadAnswerLine(std::string* line) {
  line->clear();
  if (input_ended_) return false;
  bool any_byte = false;
  bool pending_cr = false;  // a CR is held back until we know whether LF follows
  auto keep = [line](char byte) {
    if (line->size() < kMaxAnswerLine) *line += byte;
  };
  for (;;) {
    const std::optional<unsigned char> byte = platform_.ReadStandardInputByte();
    if (!byte || *byte == kEndOfInputByte) {
      input_ended_ = true;
      if (pending_cr) keep('\r');
      return any_byte;
    }
    any_byte = true;
    if (*byte == '\n') return true;  // a CR right before it is dropped: CR LF is one line end
    if (pending_cr) keep('\r');
    pending_cr = *byte == '\r';
    if (!pending_cr) keep(static_cast<char>(*byte));
  }
}

int Console::AskQuestion(std::string_view prompt, bool quiet) {
  if (quiet) return kYes;
  std::string line;
  for (;;) {
    platform_.WriteStandardOutput(prompt);
    if (!ReadAnswerLine(&line)) {
      // Input is used up: nothing more can be typed, so nothing is overwritten.
      if (input_ended_) return kNo;
      continue;
    }
    const char* answer = SkipToGraphic(line.c_str());
    if (answer == nullptr) continue;
    const std::string_view answer_text(answer);
    if (BeginsWithWord(answer_text, CText(catalogue_.Entry(kAnswerCancel)))) return kCancel;
    if (BeginsWithWord(answer_text, CText(catalogue_.Entry(kAnswerYes)))) return kYes;
    if (BeginsWithWord(answer_text, CText(catalogue_.Entry(kAnswerNo)))) return kNo;
  }
}

void RunExitTail(platform::Platform& platform, Console& console, Catalogue* current,
                 bool catalogue_loaded, bool quiet) {
  if (!quiet) {
    console.Print(kPressAnyKey);
    platform.WaitForKeyPress();
  }
  if (catalogue_loaded) FreeCatalogue(current);
}

}  // namespace messages
