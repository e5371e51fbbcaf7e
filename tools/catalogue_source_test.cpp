#include "tools/catalogue_source.h"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "deploy/version_stamps.h"
#include "messages/builtin_catalogue.h"
#include "messages/catalogue.h"
#include "tests/support/temp_machine.h"

namespace tools {
namespace {

namespace fs = std::filesystem;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

std::vector<std::string> BuiltinTexts() {
  return {messages::kBuiltinTexts.begin(), messages::kBuiltinTexts.end()};
}

/// The entries of every problem, in order.
std::vector<int> EntriesOf(const std::vector<Problem>& problems) {
  std::vector<int> entries;
  for (const Problem& problem : problems) entries.push_back(problem.entry);
  return entries;
}

/// The texts of a catalogue file's bytes: the count byte, then that many NUL-terminated texts.
/// A text without its NUL ends the list.
std::vector<std::string> StoredTexts(const std::string& stored) {
  std::vector<std::string> texts;
  if (stored.empty()) return texts;
  const int count = static_cast<unsigned char>(stored[0]);
  for (std::size_t pos = 1; static_cast<int>(texts.size()) < count;) {
    const std::size_t end = stored.find('\0', pos);
    if (end == std::string::npos) break;
    texts.push_back(stored.substr(pos, end - pos));
    pos = end + 1;
  }
  return texts;
}

/// What a program that reads the file as a text stream gets: CR LF becomes LF, and the first
/// 0x1A ends the data.
std::vector<std::string> ReadAsTextStream(const std::string& stored) {
  std::string data;
  for (std::size_t i = 0; i < stored.size() && stored[i] != '\x1A'; ++i) {
    if (stored[i] == '\r' && i + 1 < stored.size() && stored[i + 1] == '\n') continue;
    data += stored[i];
  }
  return StoredTexts(data);
}

/// Whether `text` holds `part`; when not, the failure shows the whole text.
::testing::AssertionResult Holds(std::string_view text, std::string_view part) {
  if (text.find(part) != std::string_view::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << text << "\" lacks \"" << part << "\"";
}

/// The built-in texts as an English source.
CatalogueSource English() {
  return {"English", "ASCII", BuiltinTexts()};
}

/// Checks that there is one problem, at `entry`, that says `reported`, and that its description
/// names the entry.
void ExpectOneProblem(const std::vector<Problem>& problems, int entry, std::string_view reported) {
  ASSERT_EQ(EntriesOf(problems), std::vector<int>{entry});
  EXPECT_TRUE(Holds(problems[0].what, reported));
  const std::string named = entry == kWholeSource ? "" : "entry " + std::to_string(entry) + ": ";
  EXPECT_EQ(Describe(problems[0]), named + problems[0].what);
}

/// Checks that a compilation was refused for one problem, at `entry`, that says `reported`.
void ExpectRefused(const Compiled& compiled, int entry, std::string_view reported) {
  ExpectOneProblem(compiled.problems, entry, reported);
  EXPECT_TRUE(compiled.bytes.empty());
}

std::string WithoutCrLf(std::string text) {
  for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
  return text;
}

// --- Conversions -------------------------------------------------------------------------

TEST(CatalogueConversions, ReadsEachConversionAsWritten) {
  const struct {
    const char* format;
    std::vector<std::string> conversions;
  } cases[] = {
      {"no conversions", {}},
      {"Copying %s to %s\n", {"%s", "%s"}},
      {"for %s: %d\n\n", {"%s", "%d"}},
      {"100%% done", {"%%"}},
      {"%-5d|%99999s|%.*s", {"%-5d", "%99999s", "%.*s"}},
      {"%ls %I64d %hhd", {"%ls", "%I64d", "%hhd"}},
      {"%n%x", {"%n", "%x"}},
      {"50 % off", {"% o"}},
      {"ends in %", {"%"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Conversions(c.format), c.conversions) << c.format;
}

// --- CheckEntries ------------------------------------------------------------------------

TEST(CatalogueCheck, TheBuiltInTextsPass) {
  // Entry 7 ("aborted\n\r\n\r") holds a CR LF pair; it is allowed and written as given.
  EXPECT_TRUE(CheckEntries(BuiltinTexts()).empty());
}

TEST(CatalogueCheck, RefusesAWrongEntryCountNamingTheFirstMissingOrSurplusEntry) {
  std::vector<std::string> texts = BuiltinTexts();
  texts.pop_back();
  ExpectOneProblem(CheckEntries(texts), 79, "79 entries");

  texts = BuiltinTexts();
  texts.push_back("extra");
  EXPECT_EQ(EntriesOf(CheckEntries(texts)), std::vector<int>{80});
  EXPECT_EQ(EntriesOf(CheckEntries({})), std::vector<int>{0});
}

TEST(CatalogueCheck, RefusesAnEntryThatBreaksItsPlaceholdersOrHoldsAForbiddenByte) {
  const struct {
    const char* what;
    int entry;
    std::string text;
    const char* reported;  // a part of the problem's text
  } cases[] = {
      {"swapped %s and %d", 24, "Service for %d not created: %s\n\n", "[%d %s]"},
      {"missing %s", 3, "Path or file does not exist\n\r", "[none]"},
      {"extra %d", 5, "File %s was not copied (%d).\n", "[%s %d]"},
      {"%n", 79, "Installing drivers for %n.\n", "\"%n\" is not one of"},
      {"a width", 79, "Installing drivers for %99999s.\n", "\"%99999s\" is not one of"},
      {"%% where there is none", 13, "Installation 100%% complete\n\r", "[%%]"},
      {"a lone %", 13, "Installation 100% complete\n\r", "\"% c\""},
      {"a 0x1A byte", 12, "Unable to update\x1A the AUTOEXEC.NCF file\n\r", "0x1A byte"},
      {"a NUL byte", 30, std::string("Invalid\0 source path\n\r", 23), "NUL byte at byte 7"},
      {"a stamp's start marker", 8, "ZOV !@#$ installation\n\r", "start marker \"!@#$\" at byte 4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> texts = BuiltinTexts();
    texts[c.entry] = c.text;
    ExpectOneProblem(CheckEntries(texts), c.entry, c.reported);
  }
}

// --- Encoding ----------------------------------------------------------------------------

TEST(CatalogueEncoding, ConvertsIntoTheAnsiCodePages) {
  std::string out, error;
  ASSERT_TRUE(EncodeText("Erreur d'écriture €", "CP1252", &out, &error)) << error;
  EXPECT_EQ(out,
            "Erreur d'\xE9"
            "criture \x80");
  // "ソ" is 0x83 0x5C in code page 932: a backslash as its trail byte.
  ASSERT_TRUE(EncodeText("ソフト %s\n\r", "CP932", &out, &error)) << error;
  EXPECT_EQ(out, "\x83\x5C\x83\x74\x83\x67 %s\n\r");
}

TEST(CatalogueEncoding, RefusesACharacterWithoutAFaithfulMapping) {
  const struct {
    const char* text;
    const char* encoding;
    const char* reported;
  } cases[] = {
      {"Zażółć", "CP1252", "U+017C \"ż\" at byte 2 has no mapping in CP1252"},
      {"café", "CP932", "U+00E9 \"é\" at byte 3 has no mapping in CP932"},
      // iconv maps these onto other characters: they would not read back as written.
      {"1〜9", "CP932", "U+301C \"〜\" at byte 1 does not come back unchanged"},
      {"¥100", "CP932", "U+00A5 \"¥\" at byte 0 does not come back unchanged"},
      {"bad \xC3(", "CP1252", "invalid UTF-8 byte 0xC3 at byte 4"},
      {"x", "NO-SUCH-ENCODING", "not known to iconv"},
  };
  for (const auto& c : cases) {
    std::string out, error;
    EXPECT_FALSE(EncodeText(c.text, c.encoding, &out, &error)) << c.text;
    EXPECT_TRUE(Holds(error, c.reported)) << c.text;
  }
}

TEST(CatalogueEncoding, DecodesFromACodePage) {
  std::string utf8, error;
  ASSERT_TRUE(DecodeText("Termin\x82 \x81\xA2", "CP850", &utf8, &error)) << error;
  EXPECT_EQ(utf8, "Terminé üó");
  EXPECT_FALSE(DecodeText("caf\xE9", "ASCII", &utf8, &error));
  EXPECT_TRUE(Holds(error, "byte 0xE9 at byte 3"));
}

TEST(CatalogueEncoding, TheConsoleCodePageOfEachLanguage) {
  const struct {
    const char* language;
    std::optional<std::string> code_page;
  } cases[] = {
      {"English", "ASCII"}, {"French", "CP850"},   {"German", "CP850"},
      {"Spanish", "CP850"}, {"Japanese", "CP932"}, {"Klingon", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ConsoleCodePage(c.language), c.code_page) << c.language;
}

// --- ParseSource and CompileSource -------------------------------------------------------

TEST(CatalogueSource, ParseRefusesAMalformedSource) {
  const struct {
    const char* json;
    int entry;
    const char* reported;
  } cases[] = {
      {R"({"language": "X", "encoding": "CP1252", "entries": ["n", 1]})", 1, "not a string"},
      {R"({"language": "X", "encoding": "CP1252", "entires": []})", kWholeSource,
       "unknown key \"entires\""},
      {R"({"language": "X", "entries": []})", kWholeSource, "no \"encoding\""},
      {R"(["n", "y"])", kWholeSource, "not a JSON object"},
      {R"({"language": "X",)", kWholeSource, "not valid JSON"},
  };
  for (const auto& c : cases) {
    std::vector<Problem> problems;
    EXPECT_FALSE(ParseSource(c.json, &problems).has_value()) << c.json;
    ASSERT_FALSE(problems.empty()) << c.json;
    EXPECT_EQ(problems[0].entry, c.entry) << c.json;
    EXPECT_TRUE(Holds(problems[0].what, c.reported));
  }
}

TEST(CatalogueSource, AGoodSourceRoundTripsThroughTheFileFormat) {
  std::vector<Problem> problems;
  const auto source = ParseSource(
      R"({"language": "Test", "encoding": "CP1252", "entries": ["n", "y\r\n", "é"]})", &problems);
  ASSERT_TRUE(source.has_value());
  EXPECT_EQ(source->language, "Test");
  EXPECT_EQ(source->entries, (std::vector<std::string>{"n", "y\r\n", "é"}));

  const Compiled compiled = CompileSource(English());
  ASSERT_TRUE(compiled.problems.empty()) << Describe(compiled.problems[0]);
  // The count byte, then each text with its NUL, and nothing after them.
  std::string expected = "\x50";
  for (const std::string& text : BuiltinTexts()) expected += text + '\0';
  EXPECT_EQ(compiled.bytes, expected);
}

TEST(CatalogueSource, CompileReportsEveryProblemInEntryOrder) {
  CatalogueSource source{"Japanese", "CP932", BuiltinTexts()};
  source.entries[40] = "AUTOEXEC.NCF ファイル ¥ 編集\n";
  source.entries[6] = "%s を %d にコピー\n";
  const Compiled compiled = CompileSource(source);
  EXPECT_EQ(EntriesOf(compiled.problems), (std::vector<int>{6, 40}));
  EXPECT_TRUE(compiled.bytes.empty());

  source.encoding = "NO-SUCH-ENCODING";
  EXPECT_EQ(EntriesOf(CompileSource(source).problems), std::vector<int>{kWholeSource});
}

TEST(CatalogueStamp, TheFileEndsWithTheStampWhichTheLoaderNeverReads) {
  const Compiled plain = CompileSource(English());
  const Compiled stamped = CompileSource(English(), "1.002.003");
  ASSERT_TRUE(stamped.problems.empty()) << Describe(stamped.problems[0]);
  EXPECT_EQ(stamped.bytes, plain.bytes + "!@#$1.002.003$#@!");

  // The deployment's own stamp search finds it; the loader takes the same texts as without it.
  EXPECT_EQ(deploy::FindStampText(stamped.bytes), "1.002.003");
  const messages::Catalogue loaded = messages::ParseCatalogue(stamped.bytes, messages::kEntryCount);
  EXPECT_EQ(loaded.entries, messages::ParseCatalogue(plain.bytes, messages::kEntryCount).entries);
  EXPECT_EQ(ReadAsTextStream(stamped.bytes), ReadAsTextStream(plain.bytes));
}

TEST(CatalogueStamp, RefusesAStampTheDeploymentCouldNotReadBack) {
  const struct {
    const char* what;
    std::string stamp_text;
    const char* reported;
  } cases[] = {
      {"256 bytes", std::string(256, '1'), "has 256 bytes; the deployment reads at most 255"},
      {"an end marker", "1.0$#@!0", "the marker \"$#@!\""},
      {"a start marker", "!@#$1.0", "the marker \"!@#$\""},
      {"a NUL byte", std::string{'1', '\0', '2'}, "NUL byte"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExpectRefused(CompileSource(English(), c.stamp_text), kWholeSource, c.reported);
  }
  EXPECT_TRUE(CompileSource(English(), std::string(255, '1')).problems.empty());
  EXPECT_TRUE(CompileSource(English(), "").problems.empty());

  // Texts so long that the stamp would end beyond the first 100000 bytes, the only ones the
  // deployment reads; one byte shorter and it ends on the last of them.
  std::vector<std::string> texts = BuiltinTexts();
  const std::size_t others = CatalogueFileBytes(texts).size() - texts[8].size();
  const std::string stamp = "1.002.003";
  texts[8] = std::string(deploy::kStampReadBytes - others - VersionStamp(stamp).size() + 1, 'x');
  ExpectRefused(CompileSource({"Test", "ASCII", texts}, stamp), kWholeSource,
                "would end at byte 100001");
  texts[8].pop_back();
  const Compiled within = CompileSource({"Test", "ASCII", texts}, stamp);
  ASSERT_TRUE(within.problems.empty()) << Describe(within.problems[0]);
  EXPECT_EQ(within.bytes.size(), deploy::kStampReadBytes);
  EXPECT_EQ(deploy::FindStampText(within.bytes), stamp);
}

TEST(CatalogueSource, RefusesACharacterTheConsoleCodePageLacksNamingEntryAndCharacter) {
  // Each is a character of code page 1252 that code page 850 lacks, or one that ASCII lacks.
  const struct {
    const char* language;
    const char* encoding;
    int entry;
    const char* text;
    const char* reported;
  } cases[] = {
      {"French", "CP850", 13, "Installation terminée à 100 € près\n\r",
       "U+20AC \"€\" at byte 30 has no mapping in CP850"},
      {"German", "CP850", 52, "%s ist älter als %s (‰).\n",
       "U+2030 \"‰\" at byte 22 has no mapping in CP850"},
      {"Spanish", "CP850", 33, "Pulse una tecla… para salir.",
       "U+2026 \"…\" at byte 15 has no mapping in CP850"},
      {"English", "ASCII", 13, "Installation complete – done\n\r",
       "U+2013 \"–\" at byte 22 has no mapping in ASCII"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    CatalogueSource source{c.language, c.encoding, BuiltinTexts()};
    source.entries[c.entry] = c.text;
    ExpectRefused(CompileSource(source), c.entry, c.reported);
  }
}

TEST(CatalogueSource, RefusesALanguageInAnotherCodePageThanItsConsoles) {
  const struct {
    const char* language;
    const char* encoding;
    const char* reported;
  } cases[] = {
      {"French", "CP1252", "must be \"CP850\", not \"CP1252\""},
      {"German", "CP437", "must be \"CP850\""},
      {"English", "CP1252", "must be \"ASCII\""},
      {"Japanese", "EUC-JP", "must be \"CP932\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.language);
    ExpectRefused(CompileSource({c.language, c.encoding, BuiltinTexts()}), kWholeSource,
                  c.reported);
  }
  // A language of its own may take any code page.
  EXPECT_TRUE(CompileSource({"Test", "CP1252", BuiltinTexts()}).problems.empty());
}

// --- The shipped sources -----------------------------------------------------------------

/// The line layout of a text: each run of line ends as it stands, each run of other characters
/// as "T", or "T " when it ends in a space.
std::string LineShape(std::string_view text) {
  std::string shape;
  for (std::size_t i = 0; i < text.size();) {
    const bool line_end = text[i] == '\n' || text[i] == '\r';
    std::size_t j = i;
    while (j < text.size() && (text[j] == '\n' || text[j] == '\r') == line_end) ++j;
    shape += line_end ? std::string(text.substr(i, j - i)) : text[j - 1] == ' ' ? "T " : "T";
    i = j;
  }
  return shape;
}

struct ShippedSource {
  const char* file;
  const char* catalogue;  // the compiled file, as a medium's \\nls\\ carries it
  const char* encoding;
  const char* answers[3];  // no, yes, cancel
};

// Each language in the code page in which a Windows console of that language shows it (the
// OEM code page: 850 on French, German and Spanish systems, 932 on Japanese ones).
const ShippedSource kShipped[] = {
    {"english.json", "ENGLISH.NLS", "ASCII", {"n", "y", "cancel"}},
    {"french.json", "FRENCH.NLS", "CP850", {"n", "o", "annuler"}},
    {"german.json", "GERMAN.NLS", "CP850", {"n", "j", "abbrechen"}},
    {"spanish.json", "SPANISH.NLS", "CP850", {"n", "s", "cancelar"}},
    {"japanese.json", "JAPANESE.NLS", "CP932", {"n", "y", "cancel"}},
};

std::optional<CatalogueSource> LoadShipped(const ShippedSource& shipped) {
  std::vector<Problem> problems;
  auto source = ParseSource(ReadHostFile(fs::path(CATALOGUE_SOURCE_DIR) / shipped.file), &problems);
  for (const Problem& problem : problems)
    ADD_FAILURE() << shipped.file << ": " << Describe(problem);
  return source;
}

TEST(ShippedCatalogues, CompileAndReadBackAsTextStreams) {
  for (const ShippedSource& shipped : kShipped) {
    SCOPED_TRACE(shipped.file);
    const auto source = LoadShipped(shipped);
    ASSERT_TRUE(source.has_value());
    EXPECT_EQ(source->encoding, shipped.encoding);
    const Compiled compiled = CompileSource(*source);
    for (const Problem& problem : compiled.problems) ADD_FAILURE() << Describe(problem);
    ASSERT_FALSE(compiled.bytes.empty());

    const std::vector<std::string> read = ReadAsTextStream(compiled.bytes);
    ASSERT_EQ(read.size(), static_cast<std::size_t>(messages::kEntryCount));
    for (int i = 0; i < messages::kEntryCount; ++i) {
      std::string encoded, error;
      ASSERT_TRUE(EncodeText(source->entries[i], shipped.encoding, &encoded, &error)) << error;
      EXPECT_EQ(read[i], WithoutCrLf(encoded)) << "entry " << i;
    }
  }
}

TEST(ShippedCatalogues, EnglishIsTheBuiltInCatalogue) {
  const auto source = LoadShipped(kShipped[0]);
  ASSERT_TRUE(source.has_value());
  EXPECT_EQ(source->entries, BuiltinTexts());
}

TEST(ShippedCatalogues, JapaneseIsWrittenInCodePage932) {
  const auto source = LoadShipped(kShipped[4]);
  ASSERT_TRUE(source.has_value());
  const Compiled compiled = CompileSource(*source);
  ASSERT_TRUE(compiled.problems.empty());
  // Entry 13 begins with "イン" (0x83 0x43 0x83 0x93) and ends in the built-in line end.
  const std::vector<std::string> texts = ReadAsTextStream(compiled.bytes);
  ASSERT_EQ(texts.size(), static_cast<std::size_t>(messages::kEntryCount));
  EXPECT_EQ(texts[13].substr(0, 4), "\x83\x43\x83\x93");
  EXPECT_TRUE(texts[13].ends_with("\n\r"));
}

TEST(ShippedCatalogues, TheBuiltFilesReadInTheConsoleCodePageAsTheSourcesSay) {
  for (const ShippedSource& shipped : kShipped) {
    SCOPED_TRACE(shipped.catalogue);
    const auto source = LoadShipped(shipped);
    ASSERT_TRUE(source.has_value());
    EXPECT_EQ(source->encoding, shipped.encoding) << "the source's code page";
    const fs::path built = fs::path(CATALOGUE_FILE_DIR) / shipped.catalogue;
    ASSERT_TRUE(fs::exists(built)) << built;
    const std::string stored = ReadHostFile(built);
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ(stored[0], '\x50');
    const std::vector<std::string> texts = StoredTexts(stored);
    ASSERT_EQ(texts.size(), static_cast<std::size_t>(messages::kEntryCount));
    std::size_t stored_size = 1;
    for (int i = 0; i < messages::kEntryCount; ++i) {
      std::string decoded, error;
      EXPECT_TRUE(DecodeText(texts[i], shipped.encoding, &decoded, &error))
          << "entry " << i << ": " << error;
      EXPECT_EQ(decoded, source->entries[i]) << "entry " << i;
      stored_size += texts[i].size() + 1;
    }
    // After the last text, the product's version stamp and nothing else; the loader takes the
    // texts as it would without it.
    EXPECT_EQ(stored.substr(stored_size), VersionStamp(CATALOGUE_STAMP_TEXT));
    EXPECT_EQ(deploy::FindStampText(stored), CATALOGUE_STAMP_TEXT);
    const Compiled plain = CompileSource(*source);
    ASSERT_TRUE(plain.problems.empty());
    EXPECT_EQ(messages::ParseCatalogue(stored, messages::kEntryCount).entries,
              messages::ParseCatalogue(plain.bytes, messages::kEntryCount).entries);
  }
}

TEST(ShippedCatalogues, AccentedLettersHaveTheirConsoleBytes) {
  // What a console of code page 850 shows as the letter, not what code page 1252 would.
  const struct {
    const char* catalogue;
    int entry;
    const char* bytes;
    const char* ansi_bytes;
  } cases[] = {
      {"FRENCH.NLS", 13,
       "Installation termin\x82"
       "e\n\r",
       "termin\xE9"
       "e"},
      {"GERMAN.NLS", 79, "Die Treiber f\x81r %s werden installiert.\n", "f\xFCr"},
      {"SPANISH.NLS", 13, "Instalaci\xA2n completada\n\r", "Instalaci\xF3n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.catalogue);
    const std::vector<std::string> texts =
        StoredTexts(ReadHostFile(fs::path(CATALOGUE_FILE_DIR) / c.catalogue));
    ASSERT_GT(texts.size(), static_cast<std::size_t>(c.entry));
    EXPECT_EQ(texts[c.entry], c.bytes);
    EXPECT_EQ(texts[c.entry].find(c.ansi_bytes), std::string::npos);
  }
  for (const char c : ReadHostFile(fs::path(CATALOGUE_FILE_DIR) / "ENGLISH.NLS")) {
    ASSERT_LT(static_cast<unsigned char>(c), 0x80) << "English is plain ASCII";
  }
}

TEST(ShippedCatalogues, TranslationsKeepTheBuiltInEntriesShape) {
  // Names the user must find as they are: products, files, keywords, commands.
  const char* const kKept[] = {"ZOV Service Processor",
                               "Shared Serial",
                               "ZOV Revalto",
                               "AUTOEXEC.NCF",
                               "CONFIG.SYS",
                               "SM.INI",
                               "ZOVKAF.SYS",
                               "\"load ZOVSPN\"",
                               "\"device=ZOVSPO\"",
                               "SMAddress",
                               "SMInterrupt",
                               "NetWare 4.10",
                               "SETUP XXX Y",
                               "SETUP UPGRADE",
                               "DLL"};
  for (const ShippedSource& shipped : kShipped) {
    SCOPED_TRACE(shipped.file);
    const auto source = LoadShipped(shipped);
    ASSERT_TRUE(source.has_value());
    ASSERT_EQ(source->entries.size(), static_cast<std::size_t>(messages::kEntryCount));
    for (int i = 0; i < messages::kEntryCount; ++i) {
      const std::string_view builtin = messages::kBuiltinTexts[i];
      const std::string& text = source->entries[i];
      EXPECT_EQ(LineShape(text), LineShape(builtin)) << "entry " << i << ": " << text;
      for (const char* kept : kKept) {
        if (builtin.find(kept) != std::string_view::npos) {
          EXPECT_NE(text.find(kept), std::string::npos) << "entry " << i << " lost " << kept;
        }
      }
      if (i >= 58 && i <= 67) {
        EXPECT_EQ(text, builtin) << "entry " << i;  // paths and file names
      }
    }
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(source->entries[i], shipped.answers[i]);
      for (const char c : source->entries[i]) EXPECT_TRUE(c > ' ' && c < '\x7F') << i;
    }
    const std::string yes_no =
        std::string("(") + shipped.answers[1] + "/" + shipped.answers[0] + ")";
    EXPECT_TRUE(Holds(source->entries[messages::kCopyAnyway], yes_no));
  }
}

// --- The tool ----------------------------------------------------------------------------

class CatalogueCompilerTool : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing_support::MakeTempFolder("catalogue-compiler-test"); }
  void TearDown() override { fs::remove_all(dir_); }

  /// Runs the tool (with `--stamp STAMP_TEXT` when there is one); returns its exit status and
  /// keeps its standard error in `stderr_`.
  int Run(const fs::path& source, const fs::path& output,
          std::optional<std::string> stamp_text = std::nullopt) {
    const fs::path errors = dir_ / "stderr.txt";
    const std::string stamp = stamp_text ? "--stamp '" + *stamp_text + "' " : "";
    const std::string command = std::string("'") + CATALOGUE_COMPILER + "' " + stamp + "'" +
                                source.string() + "' '" + output.string() + "' 2>'" +
                                errors.string() + "'";
    const int status = std::system(command.c_str());
    stderr_ = ReadHostFile(errors);
    return status;
  }

  /// Checks that the tool refuses `source` saying `reported`, and leaves no `output`.
  void ExpectRefuses(const fs::path& source, const fs::path& output, std::string_view reported,
                     std::optional<std::string> stamp_text = std::nullopt) {
    EXPECT_NE(Run(source, output, std::move(stamp_text)), 0);
    EXPECT_TRUE(Holds(stderr_, reported));
    EXPECT_FALSE(fs::exists(output));
  }

  fs::path dir_;
  std::string stderr_;
};

TEST_F(CatalogueCompilerTool, WritesTheCatalogueFile) {
  const fs::path output = dir_ / "GERMAN.NLS";
  ASSERT_EQ(Run(fs::path(CATALOGUE_SOURCE_DIR) / "german.json", output), 0) << stderr_;
  EXPECT_EQ(stderr_, "");
  const auto source = LoadShipped(kShipped[2]);
  ASSERT_TRUE(source.has_value());
  EXPECT_EQ(ReadHostFile(output), CompileSource(*source).bytes);
  EXPECT_FALSE(fs::exists(dir_ / "GERMAN.NLS.part"));
}

TEST_F(CatalogueCompilerTool, WritesTheStampAfterTheTexts) {
  const fs::path output = dir_ / "JAPANESE.NLS";
  ASSERT_EQ(Run(fs::path(CATALOGUE_SOURCE_DIR) / "japanese.json", output, "2.010.300"), 0)
      << stderr_;
  const auto source = LoadShipped(kShipped[4]);
  ASSERT_TRUE(source.has_value());
  EXPECT_EQ(ReadHostFile(output), CompileSource(*source).bytes + "!@#$2.010.300$#@!");

  const fs::path refused = dir_ / "ENGLISH.NLS";
  WriteHostFile(refused, "stale");
  ExpectRefuses(fs::path(CATALOGUE_SOURCE_DIR) / "english.json", refused, "the marker \"$#@!\"",
                "2$#@!0");
}

TEST_F(CatalogueCompilerTool, RefusesABadSourceAndLeavesNoOutput) {
  nlohmann::json json = {{"language", "Broken"}, {"encoding", "CP1252"}};
  std::vector<std::string> texts = BuiltinTexts();
  texts[52] = "%d is older than %s.\n";
  json["entries"] = texts;
  const fs::path source = dir_ / "broken.json";
  WriteHostFile(source, json.dump());
  const fs::path output = dir_ / "BROKEN.NLS";
  WriteHostFile(output, "stale");

  ExpectRefuses(source, output, "entry 52: placeholders [%d %s]");
}

TEST_F(CatalogueCompilerTool, RefusesAFrenchTextThatCodePage850CannotHold) {
  nlohmann::json json =
      nlohmann::json::parse(ReadHostFile(fs::path(CATALOGUE_SOURCE_DIR) / "french.json"));
  json["entries"][13] = "Installation terminée ‰\n\r";
  const fs::path source = dir_ / "french.json";
  WriteHostFile(source, json.dump());
  const fs::path output = dir_ / "FRENCH.NLS";

  ExpectRefuses(source, output,
                "entry 13: character U+2030 \"‰\" at byte 23 has no mapping in CP850");
}

}  // namespace
}  // namespace tools
