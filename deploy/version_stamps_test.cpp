#include "deploy/version_stamps.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "messages/catalogue.h"
#include "messages/console.h"
#include "tests/support/fake_file_platform.h"

namespace deploy {
namespace {

using testing_support::FakeFilePlatform;

constexpr const char* kSource = "D:\\win2000\\ORVAN.INF";
constexpr const char* kDestination = "C:\\WINNT\\system32\\drivers\\orvan\\win2000\\ORVAN.INF";

/// A file whose bytes hold one stamp with `text` between the markers, amid other bytes.
std::string Stamped(std::string_view text) {
  return "[Version]\r\nDriverVer=!@#$" + std::string(text) + "$#@!\r\n";
}

/// A file of at least `size` bytes with `insert` at `offset` and filler everywhere else.
std::string FileWith(std::size_t size, std::size_t offset, std::string_view insert) {
  std::string bytes(std::max(size, offset + insert.size()), 'x');
  bytes.replace(offset, insert.size(), insert);
  return bytes;
}

/// A file on the medium and its deployed copy on a fake platform (nothing: a file that cannot
/// be opened), with a console that prints there.
struct StampFiles {
  StampFiles(const std::optional<std::string>& source,
             const std::optional<std::string>& destination) {
    if (source) platform.files[kSource] = *source;
    if (destination) platform.files[kDestination] = *destination;
  }
  FakeFilePlatform platform;
  messages::Catalogue catalogue = messages::BuiltinCatalogue();
  messages::Console console{platform, catalogue};
};

/// Names each case of a parameterised test after its `name`.
constexpr auto kCaseName = [](const auto& info) { return std::string(info.param.name); };

// --- The stamp text of the bytes read --------------------------------------------------------

struct StampCase {
  const char* name;
  std::string bytes;
  std::optional<std::string> expected;
  friend void PrintTo(const StampCase& c, std::ostream* os) { *os << c.name; }
};

class FindStampTextTest : public testing::TestWithParam<StampCase> {};

TEST_P(FindStampTextTest, FindsTheStampText) {
  const StampCase& c = GetParam();
  EXPECT_EQ(FindStampText(c.bytes), c.expected);
}

const StampCase kStampCases[] = {
    {"Plain", Stamped("1.02"), "1.02"},
    {"NoStartMarker", "1.02$#@!", std::nullopt},
    {"NoBytes", "", std::nullopt},
    {"StartMarkerCutOff", "xx!@#", std::nullopt},
    {"StartMarkerOnly", "!@#$", ""},
    {"EmptyStamp", "!@#$$#@!", ""},
    {"SevenByteOverlap", "!@#$#@!", ""},
    {"NoEndMarker", "!@#$1.5 and more", ""},
    {"NulBetweenMarkers", std::string("!@#$1.5\0$#@!", 12), ""},
    {"NulAfterEndMarker", std::string("!@#$1.5$#@!\0", 12), "1.5"},
    {"NulBeforeStartMarker", std::string("\0!@#$1.5$#@!", 12), "1.5"},
    {"TwoStamps", "!@#$5$#@! !@#$9$#@!", "5"},
    {"FirstEndMarkerCounts", "!@#$5$#@!9$#@!", "5"},
    {"EndMarkerBeforeStartMarker", "$#@!!@#$5$#@!", "5"},
    {"StartMarkerInsideStamp", "!@#$1!@#$2$#@!", "1!@#$2"},
    {"HighBytesKept",
     "!@#$\xe9\xff"
     "3$#@!",
     "\xe9\xff"
     "3"},
    {"StampOf255Bytes", "!@#$" + std::string(255, '7') + "$#@!", std::string(255, '7')},
    {"StampOf256BytesKeepsTheFirst255", "!@#$" + std::string(255, '7') + "8$#@!",
     std::string(255, '7')},
    {"StampOf300BytesKeepsTheFirst255",
     "!@#$" + std::string(255, 'v') + std::string(45, '9') + "$#@!", std::string(255, 'v')},
};

INSTANTIATE_TEST_SUITE_P(Cases, FindStampTextTest, testing::ValuesIn(kStampCases), kCaseName);

// --- The version number of a stamp text ------------------------------------------------------

struct NumberCase {
  const char* name;
  std::string stamp;
  std::int32_t expected;
  friend void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.name; }
};

class VersionNumberTest : public testing::TestWithParam<NumberCase> {};

TEST_P(VersionNumberTest, JoinsTheDigits) {
  EXPECT_EQ(VersionNumber(GetParam().stamp), GetParam().expected);
}

const NumberCase kNumberCases[] = {
    {"Dotted", "1.02", 102},
    {"Dashed", "1-0-2", 102},
    {"TwoPointZero", "2.0", 20},
    {"OnePointTen", "1.10", 110},
    {"LeadingZeros", "007", 7},
    {"NoDigits", "beta", 0},
    {"Empty", "", 0},
    {"MinusSignIgnored", "-5", 5},
    {"Mixed", "v3.1 build 42", 3142},
    {"HighBytesIgnored",
     "\xb2\xb3"
     "4",
     4},
    {"Largest", "2147483647", 2147483647},
    {"WrapsToNegative", "2147483648", -2147483647 - 1},
    {"WrapsToMinusOne", "4294967295", -1},
    {"WrapsToZero", "4294967296", 0},
    {"WrapsToOne", "4294967297", 1},
    // 10^20 mod 2^32 = 1661992960.
    {"TwentyOneDigits", "100000000000000000000", 1661992960},
    {"ManyNines", std::string(255, '9'),
     // (10^255 - 1) mod 2^32, read as signed.
     static_cast<std::int32_t>([] {
       std::uint32_t v = 0;
       for (int i = 0; i < 255; ++i) v = v * 10u + 9u;
       return v;
     }())},
};

INSTANTIATE_TEST_SUITE_P(Cases, VersionNumberTest, testing::ValuesIn(kNumberCases), kCaseName);

// --- The comparison --------------------------------------------------------------------------

struct CompareCase {
  const char* name;
  std::optional<std::string> source;       // nothing: the file cannot be opened
  std::optional<std::string> destination;  // nothing: the file cannot be opened
  int expected;
  bool source_read = true;  // whether the source file is opened at all
  friend void PrintTo(const CompareCase& c, std::ostream* os) { *os << c.name; }
};

class CompareVersionStampsTest : public testing::TestWithParam<CompareCase> {};

TEST_P(CompareVersionStampsTest, Compares) {
  const CompareCase& c = GetParam();
  StampFiles files(c.source, c.destination);
  FakeFilePlatform& platform = files.platform;

  EXPECT_EQ(CompareVersionStamps(platform, files.console, kSource, kDestination), c.expected);

  std::vector<std::string> expected_reads = {kDestination};
  if (c.source_read) expected_reads.push_back(kSource);
  EXPECT_EQ(platform.reads, expected_reads);  // destination first, each read once
  EXPECT_EQ(platform.output, "");             // the comparison prints nothing of its own
}

const std::size_t kLast = kStampReadBytes;  // the first byte that is no longer examined

const CompareCase kCompareCases[] = {
    {"JoinedDigitsEqual", Stamped("1.02"), Stamped("1-0-2"), kSameVersion},
    {"DigitsJoinedNotDotted", Stamped("2.0"), Stamped("1.10"), kSourceOlder},
    {"SourceNewer", Stamped("1.10"), Stamped("2.0"), kSourceNewerOrFailed},
    {"LeadingZeros", Stamped("007"), Stamped("7"), kSameVersion},
    {"NoDigitsAgainstZero", Stamped("none"), Stamped("0"), kSameVersion},
    {"EmptyStampAgainstZero", "!@#$$#@!", Stamped("0"), kSameVersion},
    {"EmptyStampIsOlder", "!@#$$#@!", Stamped("1"), kSourceOlder},
    {"SevenByteOverlapIsEmpty", "!@#$#@!", Stamped("5"), kSourceOlder},
    {"MissingEndMarkerIsOlder", "!@#$9.9", Stamped("1"), kSourceOlder},
    {"NulHidesTheEndMarker", std::string("!@#$9\0$#@!", 10), Stamped("0"), kSameVersion},
    {"NulHidesTheDestinationsEndMarker", Stamped("0"), std::string("!@#$9\0$#@!", 10),
     kSameVersion},
    {"OnlyTheFirstStampCounts", Stamped("7"), "!@#$5$#@! !@#$9$#@!", kSourceNewerOrFailed},
    {"WrapAroundMakesTheSourceOlder", Stamped("2147483648"), Stamped("1"), kSourceOlder},
    {"WrapAroundMakesTheDestinationOlder", Stamped("2147483647"), Stamped("2147483648"),
     kSourceNewerOrFailed},
    {"WrapAroundToEqual", Stamped("4294967297"), Stamped("1"), kSameVersion},
    {"StampOf300BytesKeepsTheFirst255", Stamped(std::string(255, 'v') + "5" + std::string(44, 'v')),
     Stamped("0"), kSameVersion},
    {"StartMarkerWhollyWithinTheFirst100000Bytes", Stamped("0"),
     FileWith(kLast + 10, kLast - 4, "!@#$5$#@!"), kSameVersion},
    {"StartMarkerBeginningInTheLastThreeBytes", Stamped("0"),
     FileWith(kLast + 10, kLast - 3, "!@#$5$#@!"), kSourceNewerOrFailed,
     /*source_read=*/false},
    {"SourceStartMarkerBeginningInTheLastByte", FileWith(kLast + 10, kLast - 1, "!@#$0$#@!"),
     Stamped("5"), kSourceNewerOrFailed},
    {"EndMarkerBeyondTheFirst100000Bytes", Stamped("0"),
     FileWith(kLast + 10, kLast - 6, "!@#$5$#@!"), kSameVersion},
    {"StampBeyondTheFirst100000Bytes", Stamped("0"), FileWith(kLast + 10, kLast, "!@#$5$#@!"),
     kSourceNewerOrFailed,
     /*source_read=*/false},
    {"DestinationCannotBeOpened", Stamped("1"), std::nullopt, kSourceNewerOrFailed,
     /*source_read=*/false},
    {"DestinationEmpty", Stamped("1"), "", kSourceNewerOrFailed,
     /*source_read=*/false},
    {"DestinationWithoutStartMarker", Stamped("1"), "no stamp here", kSourceNewerOrFailed,
     /*source_read=*/false},
    {"SourceCannotBeOpened", std::nullopt, Stamped("5"), kSourceNewerOrFailed},
    {"SourceEmpty", "", Stamped("5"), kSourceNewerOrFailed},
    {"SourceWithoutStartMarker", "no stamp here", Stamped("5"), kSourceNewerOrFailed},
};

INSTANTIATE_TEST_SUITE_P(Cases, CompareVersionStampsTest, testing::ValuesIn(kCompareCases),
                         kCaseName);

// The order tells the two failures apart that the comparison folds into "source newer": a
// file that cannot be read, and one without a stamp; the copy keeps a deployed file whose
// version cannot be learnt only in the first case.
TEST(OrderVersionStampsTest, TellsAnUnreadableFileFromOneWithoutAStamp) {
  const struct {
    const char* name;
    std::optional<std::string> source;
    std::optional<std::string> destination;
    StampOrder expected;
  } cases[] = {
      {"same", Stamped("1.2"), Stamped("12"), StampOrder::kSame},
      {"source older", Stamped("1"), Stamped("2"), StampOrder::kSourceOlder},
      {"source newer", Stamped("3"), Stamped("2"), StampOrder::kSourceNewer},
      {"destination unreadable", Stamped("1"), std::nullopt, StampOrder::kUnreadable},
      {"destination empty", Stamped("1"), "", StampOrder::kNoStamp},
      {"destination without a stamp", Stamped("1"), "no stamp", StampOrder::kNoStamp},
      {"source unreadable", std::nullopt, Stamped("1"), StampOrder::kUnreadable},
      {"source without a stamp", "no stamp", Stamped("1"), StampOrder::kNoStamp},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StampFiles files(c.source, c.destination);
    FakeFilePlatform& platform = files.platform;
    messages::Console& console = files.console;
    EXPECT_EQ(OrderVersionStamps(platform, console, kSource, kDestination), c.expected);
    // The comparison answers the same files as the order, folded into its three results.
    const int folded = c.expected == StampOrder::kSame          ? kSameVersion
                       : c.expected == StampOrder::kSourceOlder ? kSourceOlder
                                                                : kSourceNewerOrFailed;
    EXPECT_EQ(CompareVersionStamps(platform, console, kSource, kDestination), folded);
    EXPECT_EQ(platform.output, "");
  }
}

TEST(CompareVersionStampsAllocationTest, FailedAllocationPrintsEntry51AndReadsNothing) {
  StampFiles files(Stamped("1"), Stamped("2"));

  EXPECT_EQ(detail::CompareVersionStampsInBuffer(files.platform, files.console, kSource,
                                                 kDestination, /*buffer=*/nullptr),
            kSourceNewerOrFailed);
  EXPECT_EQ(files.platform.output, "Cannot allocate memory.\n");
  EXPECT_TRUE(files.platform.reads.empty());
}

TEST(CompareVersionStampsAllocationTest, TheBufferIsSharedByBothFiles) {
  // A shorter second read leaves the first file's bytes behind it in the buffer; they must not
  // count for the second file.
  // The source has no end marker of its own: an empty stamp, number 0.
  StampFiles files(/*source=*/"!@#$3", /*destination=*/"0123456789!@#$5$#@!");
  std::vector<char> buffer(kStampReadBytes, 'z');

  EXPECT_EQ(detail::CompareVersionStampsInBuffer(files.platform, files.console, kSource,
                                                 kDestination, buffer.data()),
            kSourceOlder);
}

}  // namespace
}  // namespace deploy
