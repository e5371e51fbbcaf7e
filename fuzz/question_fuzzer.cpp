// The yes/no/cancel question on arbitrary standard input and arbitrary answer words.
//
// The input: a flags byte (0xFF: quiet mode), the answer words for no, yes and cancel (catalogue
// entries 0 to 2, each a length byte and its bytes), then standard input (the rest).
//
// Properties:
// - the answer is 0, 1 or 2, and it is the one a plain reading of the input gives: standard
//   input as a text stream (CR LF is LF, 0x1A ends it), one line per pass, at most 1023
//   characters of it kept, the answer from its first graphic character compared with the
//   cancel, yes and no words in that order (ASCII letters without regard to case), and no once
//   the input is used up;
// - the prompt is printed once per pass and nothing else is printed;
// - no byte of standard input is read twice, and nothing is read after the end of input (so
//   the question cannot hang on a finished input); quiet mode reads and prints nothing.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "messages/builtin_catalogue.h"
#include "messages/catalogue.h"
#include "messages/console.h"
#include "platform/failing_platform.h"

namespace {

constexpr std::string_view kPrompt = messages::kBuiltinTexts[messages::kCopyAnyway];

class InputPlatform final : public platform::FailingPlatform {
 public:
  explicit InputPlatform(std::string_view input) : input_(input) {}

  std::optional<unsigned char> ReadStandardInputByte() override {
    ++reads;
    // Every byte once, then one read that finds the end: more would be a question going round
    // for ever on a finished input.
    fuzz::Check(reads <= input_.size() + 1, "standard input is not read again after its end");
    if (position_ >= input_.size()) return std::nullopt;
    return static_cast<unsigned char>(input_[position_++]);
  }
  void WriteStandardOutput(std::string_view bytes) override {
    fuzz::Check(output.size() <= (input_.size() + 2) * kPrompt.size(),
                "the question prints its prompt at most once per line of input, and once more");
    FailingPlatform::WriteStandardOutput(bytes);
  }

  std::size_t reads = 0;

 private:
  std::string_view input_;
  std::size_t position_ = 0;
};

bool IsGraphic(char c) {
  return c > ' ' && c < 0x7F;
}
char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string_view UpToNul(std::string_view text) {
  return text.substr(0, text.find('\0'));
}
bool StartsWithWord(std::string_view answer, std::string_view word) {
  if (answer.size() < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (Lower(answer[i]) != Lower(word[i])) return false;
  }
  return true;
}

struct Expected {
  int answer;
  std::size_t prompts;
};

/// The answer and the number of passes by a plain reading of the input.
Expected PlainAnswer(std::string_view input, const std::string_view (&words)[3]) {
  std::string delivered;
  for (std::size_t i = 0; i < input.size(); ++i) {
    if (input[i] == '\x1A') break;
    if (input[i] == '\r' && i + 1 < input.size() && input[i + 1] == '\n') continue;
    delivered += input[i];
  }
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < delivered.size()) {
    std::size_t end = delivered.find('\n', at);
    if (end == std::string::npos) end = delivered.size();
    lines.push_back(delivered.substr(at, end - at));
    at = end + 1;
  }

  std::size_t prompts = 0;
  for (const std::string& whole_line : lines) {
    ++prompts;
    std::string_view line = UpToNul(std::string_view(whole_line).substr(0, 1023));
    while (!line.empty() && !IsGraphic(line.front())) line.remove_prefix(1);
    if (line.empty()) continue;
    if (StartsWithWord(line, UpToNul(words[messages::kAnswerCancel]))) {
      return {messages::kCancel, prompts};
    }
    if (StartsWithWord(line, UpToNul(words[messages::kAnswerYes]))) {
      return {messages::kYes, prompts};
    }
    if (StartsWithWord(line, UpToNul(words[messages::kAnswerNo]))) {
      return {messages::kNo, prompts};
    }
  }
  return {messages::kNo, prompts + 1};  // the input is used up
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::InputReader input(data, size);
  const bool quiet = input.Byte() == 0xFF;
  const std::string_view words[3] = {input.Text(), input.Text(), input.Text()};
  const std::string_view standard_input = input.Rest();

  messages::Catalogue catalogue = messages::BuiltinCatalogue();
  for (int i = 0; i < 3; ++i) catalogue.entries[static_cast<std::size_t>(i)] = words[i];
  InputPlatform platform(standard_input);
  messages::Console console(platform, catalogue);

  const int answer = console.AskQuestion(kPrompt, quiet);
  fuzz::Check(answer == messages::kCancel || answer == messages::kYes || answer == messages::kNo,
              "the answer is cancel, yes or no", [&] { return std::to_string(answer); });
  if (quiet) {
    fuzz::Check(answer == messages::kYes && platform.reads == 0 && platform.output.empty(),
                "quiet mode answers yes without printing or reading");
    return 0;
  }

  const Expected expected = PlainAnswer(standard_input, words);
  fuzz::Check(answer == expected.answer, "the answer is the one a plain reading gives", [&] {
    return std::to_string(answer) + " instead of " + std::to_string(expected.answer);
  });
  std::string prompts;
  for (std::size_t i = 0; i < expected.prompts; ++i) prompts += kPrompt;
  fuzz::Check(platform.output == prompts, "the prompt is printed once per pass", [&] {
    return std::to_string(platform.output.size() / kPrompt.size()) + " prompts instead of " +
           std::to_string(expected.prompts);
  });
  return 0;
}
