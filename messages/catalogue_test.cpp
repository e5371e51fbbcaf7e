#include "messages/catalogue.h"

#include <gtest/gtest.h>

#include "tests/support/temp_machine.h"

namespace messages {
namespace {

using testing_support::TempMachine;

TEST(SelectLanguage, MapsTheWholeIdentifier) {
  const struct {
    platform::Word lang_id;
    int language;
  } cases[] = {
      {0x0407, kGerman},  {0x0807, kGerman},  {0x0C07, kGerman},   {0x1007, kEnglish},
      {0x040A, kSpanish}, {0x080A, kSpanish}, {0x0C0A, kSpanish},  {0x100A, kEnglish},
      {0x040B, kFrench},  {0x040C, kFrench},  {0x080C, kFrench},   {0x0C0C, kFrench},
      {0x100C, kFrench},  {0x140C, kEnglish}, {0x0411, kJapanese}, {0x0409, kEnglish},
      {0x0809, kEnglish}, {0x0000, kEnglish}, {0xFFFF, kEnglish},  {0x0011, kEnglish},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LanguageForLangId(c.lang_id), c.language) << std::hex << c.lang_id;
  }
}

TEST(CataloguePath, JoinsTheSourceRootAndTheLanguageFile) {
  EXPECT_EQ(CataloguePath("d:", kGerman), "d:\\nls\\german.nls");
  EXPECT_EQ(CataloguePath("D:\\pkg", kEnglish), "D:\\pkg\\nls\\english.nls");
  EXPECT_EQ(CataloguePath("c:", kFrench), "c:\\nls\\french.nls");
  EXPECT_EQ(CataloguePath("c:", kSpanish), "c:\\nls\\spanish.nls");
  EXPECT_EQ(CataloguePath("c:", kJapanese), "c:\\nls\\japanese.nls");
  EXPECT_EQ(CataloguePath("c:", 5), "");
  EXPECT_EQ(CataloguePath("c:", -1), "");
}

/// A catalogue file: the count byte, then the texts each with its NUL.
std::string File(int count, const std::vector<std::string>& texts) {
  std::string bytes(1, static_cast<char>(count));
  for (const std::string& text : texts) bytes += text + '\0';
  return bytes;
}

/// The texts "text 0", "text 1", ... of a test file.
std::vector<std::string> Texts(int n) {
  std::vector<std::string> texts;
  for (int i = 0; i < n; ++i) texts.push_back("text " + std::to_string(i));
  return texts;
}

/// The first `taken` entries hold their file texts; the rest up to 80 are the placeholder.
void ExpectTaken(const Catalogue& catalogue, int taken) {
  for (int i = 0; i < kEntryCount; ++i) {
    if (i < taken) {
      EXPECT_EQ(catalogue.Entry(i), "text " + std::to_string(i)) << i;
    } else {
      EXPECT_EQ(catalogue.Entry(i), kUnknownMessage) << i;
    }
  }
}

TEST(ParseCatalogue, TakesTextsUpToTheCountAndFillsTheRest) {
  const struct {
    const char* name;
    std::string file;
    int taken;
    std::size_t table_size;
  } cases[] = {
      {"complete", File(80, Texts(80)), 80, 80},
      {"three texts", File(3, Texts(3)), 3, 80},
      {"count 80 with ten texts", File(80, Texts(10)), 10, 80},
      {"surplus texts are ignored", File(80, Texts(90)), 80, 80},
      {"count 100 with 100 texts", File(100, Texts(100)), 80, 100},
      {"negative count 0x90", File(0x90, Texts(80)), 0, 80},
      {"count 0xFF", File(0xFF, Texts(80)), 0, 80},
      {"empty file", std::string(), 0, 80},
      {"starts with end of file", std::string("\x1A") + File(80, Texts(80)), 0, 80},
      // A catalogue file ends with its version stamp, which is never read as a text.
      {"a version stamp after the texts", File(80, Texts(80)) + "!@#$1.002.003$#@!", 80, 80},
      {"three texts and a version stamp", File(3, Texts(3)) + "!@#$1.002.003$#@!", 3, 80},
      {"a stamp with a line end and 0x1A", File(80, Texts(80)) + "!@#$1\r\n\x1A$#@!", 80, 80},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Catalogue catalogue = ParseCatalogue(c.file, kEntryCount);
    ExpectTaken(catalogue, c.taken);
    EXPECT_EQ(catalogue.entries.size(), c.table_size);
  }
}

TEST(ParseCatalogue, AppliesTheTextStreamRules) {
  // CR LF inside a text arrives as LF; a lone CR stays.
  Catalogue crlf = ParseCatalogue(File(2, {"a\r\nb", "c\rd"}), kEntryCount);
  EXPECT_EQ(crlf.Entry(0), "a\nb");
  EXPECT_EQ(crlf.Entry(1), "c\rd");

  // Entry 7 of the built-in texts loses its middle CR LF pair.
  Catalogue aborted = ParseCatalogue(File(1, {"aborted\n\r\n\r"}), kEntryCount);
  EXPECT_EQ(aborted.Entry(0), "aborted\n\n\r");

  // 0x1A right after entry 20's NUL ends the data.
  std::string file = File(80, Texts(21));
  file += '\x1A';
  for (const std::string& text : Texts(59)) file += text + '\0';
  ExpectTaken(ParseCatalogue(file, kEntryCount), 21);

  // A first CR LF pair is the count: 10.
  std::string ten = "\r\n";
  for (const std::string& text : Texts(12)) ten += text + '\0';
  ExpectTaken(ParseCatalogue(ten, kEntryCount), 10);
}

TEST(ParseCatalogue, EndsALastTextWithoutItsNulAtTheEndOfTheData) {
  const Catalogue catalogue =
      ParseCatalogue(std::string("\x03") + "n" + '\0' + "y" + '\0' + "canc", kEntryCount);
  EXPECT_EQ(catalogue.Entry(0), "n");
  EXPECT_EQ(catalogue.Entry(1), "y");
  EXPECT_EQ(catalogue.Entry(2), "canc");
  EXPECT_EQ(catalogue.Entry(3), kUnknownMessage);
}

TEST(LoadCatalogue, LoadsTheLanguageFileUnderTheSourceRoot) {
  TempMachine m;
  m.WriteFile("D:\\pkg\\NLS\\GERMAN.NLS", File(3, {"n", "j", "abbrechen"}));
  Catalogue catalogue = BuiltinCatalogue();
  ASSERT_EQ(LoadCatalogue(m.platform(), "D:\\pkg", &catalogue, kEntryCount, kGerman), 0);
  EXPECT_EQ(catalogue.Entry(1), "j");
  EXPECT_EQ(catalogue.Entry(8), kUnknownMessage);
  EXPECT_NE(catalogue.text_block, nullptr);
  FreeCatalogue(&catalogue);
  EXPECT_TRUE(catalogue.entries.empty());
  EXPECT_EQ(m.output, "");
}

TEST(LoadCatalogue, FailsWithoutTouchingTheCatalogue) {
  TempMachine m;
  m.WriteFile("D:\\nls\\english.nls", File(1, {"x"}));
  const std::string long_root = "D:\\" + std::string(240, 'a');
  m.WriteFile(long_root + "\\nls\\english.nls", File(1, {"x"}));
  const struct {
    const char* name;
    std::string root;
    int language;
  } cases[] = {
      {"no file for the language", "D:", kFrench},
      {"no nls directory", "C:", kEnglish},
      {"language above 4", "D:", 5},
      {"language below 0", "D:", -1},
      {"path longer than 255 characters", long_root, kEnglish},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Catalogue catalogue = BuiltinCatalogue();
    EXPECT_EQ(LoadCatalogue(m.platform(), c.root, &catalogue, kEntryCount, c.language), -1);
    EXPECT_EQ(catalogue.Entry(8), kBuiltinTexts[8]);
    EXPECT_EQ(catalogue.text_block, nullptr);
  }
  EXPECT_EQ(m.output, "");
}

TEST(LoadCatalogue, ReportsAFileTooLargeToTakeIn) {
  TempMachine m;
  m.WriteFile("D:\\nls\\english.nls", "x");
  std::filesystem::resize_file(m.Host("D:\\nls\\english.nls"), kMaxCatalogueFileBytes + 1);
  Catalogue catalogue = BuiltinCatalogue();
  EXPECT_EQ(LoadCatalogue(m.platform(), "D:", &catalogue, kEntryCount, kEnglish), -1);
  EXPECT_EQ(m.output, kAllocationFailedText);
}

}  // namespace
}  // namespace messages
