#include "messages/console.h"

#include <gtest/gtest.h>

#include "tests/support/temp_machine.h"

namespace messages {
namespace {

using testing_support::TempMachine;

TEST(FormatMessage, HonoursOnlyTheConversionsOfTheBuiltInText) {
  const std::string_view older = kBuiltinTexts[kIsOlderThan];  // "%s is older than %s.\n"
  const struct {
    const char* name;
    std::string_view format;
    std::string expected;
  } cases[] = {
      {"translation with the same conversions", "%s ist aelter als %s.\n", "A ist aelter als B.\n"},
      {"a percent sign", "%s ist 100%% aelter als %s.\n", "A ist 100% aelter als B.\n"},
      {"%n is never honoured", "%s%n is older than %s.\n", "A is older than B.\n"},
      {"%d where %s stands", "%d is older than %s.\n", "A is older than B.\n"},
      {"more conversions than arguments", "%s %s %s\n", "A is older than B.\n"},
      {"fewer conversions", "%s only\n", "A is older than B.\n"},
      {"a huge width", "%99999999s is older than %s.\n", "A is older than B.\n"},
      {"a lone percent at the end", "%s is older than %s%", "A is older than B.\n"},
      {"swapped order of kinds is still two texts", "%s < %s\n", "A < B\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatMessage(c.format, older, {"A", "B"}), c.expected) << c.name;
  }
  EXPECT_EQ(FormatMessage("Fehler: %d\n\n", kBuiltinTexts[kFileSystemError], {-2147483647LL}),
            "Fehler: -2147483647\n\n");
  EXPECT_EQ(FormatMessage("Fehler: %s\n\n", kBuiltinTexts[kFileSystemError], {2LL}),
            "File system error: 2\n\n");
}

TEST(SkipToGraphic, FindsTheFirstPrintableCharacterOtherThanSpace) {
  EXPECT_EQ(SkipToGraphic(nullptr), nullptr);
  EXPECT_EQ(SkipToGraphic(""), nullptr);
  EXPECT_EQ(SkipToGraphic(" \t\r\x7f\x80\xff"), nullptr);
  const char* text = "  \t yes";
  EXPECT_EQ(SkipToGraphic(text), text + 4);
  const char* bang = "\x01!";
  EXPECT_EQ(SkipToGraphic(bang), bang + 1);
  const char* tilde = "\x1f~";
  EXPECT_EQ(SkipToGraphic(tilde), tilde + 1);
}

constexpr std::string_view kPrompt = "Do you want to copy anyway? (y/n):\n";

struct AskCase {
  const char* input;
  int answer;
  int prompts;  // how many times the prompt was printed
};

void ExpectAnswers(const Catalogue& catalogue, const std::vector<AskCase>& cases) {
  for (const AskCase& c : cases) {
    TempMachine m(std::string(c.input));
    Console console(m.platform(), catalogue);
    EXPECT_EQ(console.AskQuestion(kPrompt, false), c.answer) << '"' << c.input << '"';
    std::string expected;
    for (int i = 0; i < c.prompts; ++i) expected += kPrompt;
    EXPECT_EQ(m.output, expected) << '"' << c.input << '"';
  }
}

TEST(AskQuestion, ReadsTheBuiltInAnswerWords) {
  ExpectAnswers(BuiltinCatalogue(),
                {
                    {"y\n", kYes, 1},
                    {"Y\n", kYes, 1},
                    {"yes\n", kYes, 1},
                    {"YES\n", kYes, 1},
                    {"  yes\n", kYes, 1},
                    {"\tyes\r\n", kYes, 1},
                    {"n\n", kNo, 1},
                    {"No\n", kNo, 1},
                    {"nope\n", kNo, 1},
                    {"cancel\n", kCancel, 1},
                    {"CANCEL\n", kCancel, 1},
                    {"cancelled\n", kCancel, 1},
                    {"c\ny\n", kYes, 2},
                    {"x\nokay\n\n   \nn\n", kNo, 5},
                    {"y", kYes, 1},            // a last line without its line feed
                    {"", kNo, 1},              // input used up: no, never a loop
                    {"maybe\n", kNo, 2},       // an unusable answer, then no more input
                    {"\x1Ay\n", kNo, 1},       // Ctrl-Z reads as end of input
                    {"\r\n\ry\n", kYes, 2},    // CR LF is a line end; a lone CR is a blank
                    {"\x80\xffy\n", kYes, 1},  // high bytes are not graphic: skipped
                });
}

TEST(AskQuestion, JudgesALongLineByItsFirst1023Characters) {
  const std::string padding(kMaxAnswerLine - 1, ' ');
  ExpectAnswers(BuiltinCatalogue(),
                {
                    {(padding + "y" + std::string(5000, 'z') + "\n").c_str(), kYes, 1},
                    {(padding + " y\nn\n").c_str(), kNo, 2},  // the y lies past 1023: dropped
                });
}

TEST(AskQuestion, UsesTheCatalogueWordsInTheOrderCancelYesNo) {
  Catalogue translated = BuiltinCatalogue();
  translated.entries[kAnswerNo] = "n";
  translated.entries[kAnswerYes] = "j";
  translated.entries[kAnswerCancel] = "ja-nicht";  // begins with the yes word
  ExpectAnswers(translated, {{"ja-nicht\n", kCancel, 1}, {"ja\n", kYes, 1}, {"y\nn\n", kNo, 2}});

  Catalogue empty_cancel = BuiltinCatalogue();
  empty_cancel.entries[kAnswerCancel] = "";
  ExpectAnswers(empty_cancel, {{"y\n", kCancel, 1}, {"   \n!\n", kCancel, 2}});
}

TEST(AskQuestion, QuietModeAnswersYesWithoutAWord) {
  TempMachine m(std::string("n\n"));
  const Catalogue builtin = BuiltinCatalogue();
  Console quiet_console(m.platform(), builtin);
  EXPECT_EQ(quiet_console.AskQuestion(kPrompt, true), kYes);
  EXPECT_EQ(m.output, "");
  // Nothing was read: the "n" is still there for the next question.
  EXPECT_EQ(quiet_console.AskQuestion(kPrompt, false), kNo);
}

TEST(ExitTail, PromptsWaitsAndReleases) {
  for (bool quiet : {false, true}) {
    TempMachine m;
    Catalogue catalogue = ParseCatalogue(std::string("\x01") + "n" + '\0', kEntryCount);
    catalogue.entries[kPressAnyKey] = "Taste druecken.";
    Console console(m.platform(), catalogue);
    RunExitTail(m.platform(), console, &catalogue, /*catalogue_loaded=*/true, quiet);
    EXPECT_EQ(m.output, quiet ? "" : "Taste druecken.");
    EXPECT_EQ(m.journal.size(), quiet ? 0u : 1u);
    if (!quiet) {
      EXPECT_EQ(m.journal[0]["op"], "KeyWait");
    }
    EXPECT_EQ(catalogue.text_block, nullptr) << "released in quiet mode too";
  }
}

}  // namespace
}  // namespace messages
