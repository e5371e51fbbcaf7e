#include "deploy/marker_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace deploy {
namespace {

const unsigned char* Bytes(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

/// The plain search that the skipping search must agree with.
std::optional<std::size_t> ReferenceFind(std::string_view marker, std::string_view data,
                                         long long length) {
  if (marker.empty()) return 0;
  if (length < 0) return std::nullopt;
  const std::size_t found = data.substr(0, static_cast<std::size_t>(length)).find(marker);
  if (found == std::string_view::npos) return std::nullopt;
  return found;
}

TEST(FindMarkerTest, AgreesWithAPlainSearchOnGeneratedInputs) {
  // Small alphabets make matches, overlaps and near misses frequent; the last one has bytes
  // above 0x7F and NUL, which must index the shift table as unsigned values.
  const std::vector<std::string> alphabets = {
      "a", "ab", "abc", "!@#$", std::string("\x00\x80\xff!", 4), "$#@!x"};
  std::mt19937 random(20240611);
  auto pick = [&](int below) { return std::uniform_int_distribution<int>(0, below - 1)(random); };

  int matches = 0;
  int runs = 0;
  for (const std::string& alphabet : alphabets) {
    for (int round = 0; round < 4000; ++round) {
      const int size = pick(41);
      std::string data;
      for (int i = 0; i < size; ++i) data += alphabet[pick(static_cast<int>(alphabet.size()))];
      std::string marker;
      const int marker_size = pick(7);
      if (size >= marker_size && pick(3) == 0) {
        // A marker cut from the data itself, so that there is at least one match.
        marker = data.substr(pick(size - marker_size + 1), marker_size);
      } else {
        for (int i = 0; i < marker_size; ++i) {
          marker += alphabet[pick(static_cast<int>(alphabet.size()))];
        }
      }
      // Every length from -2 to the whole data, so that a match across the end is cut off.
      for (long long length = -2; length <= size; ++length) {
        const auto expected = ReferenceFind(marker, data, length);
        ASSERT_EQ(FindMarker(marker, Bytes(data), length), expected)
            << "marker \"" << marker << "\" data \"" << data << "\" length " << length;
        ++runs;
        if (expected && !marker.empty()) ++matches;
      }
    }
  }
  EXPECT_GT(matches, runs / 10);  // the inputs really do exercise matches
}

struct FindCase {
  const char* name;
  std::string marker;
  std::string data;
  long long length;
  std::optional<std::size_t> expected;
  friend void PrintTo(const FindCase& c, std::ostream* os) { *os << c.name; }
};

class FindMarkerCaseTest : public testing::TestWithParam<FindCase> {};

TEST_P(FindMarkerCaseTest, FindsTheFirstOccurrence) {
  const FindCase& c = GetParam();
  EXPECT_EQ(FindMarker(c.marker, Bytes(c.data), c.length), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindMarkerCaseTest,
    testing::Values(FindCase{"EmptyMarkerAtStart", "", "abc", 3, 0},
                    FindCase{"EmptyMarkerEmptyData", "", "", 0, 0},
                    FindCase{"EmptyMarkerNegativeLength", "", "", -1, 0},  // step 1 comes first
                    FindCase{"ZeroLength", "!@#$", "!@#$", 0, std::nullopt},
                    FindCase{"NegativeLength", "!@#$", "!@#$", -4, std::nullopt},
                    FindCase{"LengthBelowMarker", "!@#$", "!@#$", 3, std::nullopt},
                    FindCase{"WholeData", "!@#$", "!@#$", 4, 0},
                    FindCase{"AtTheEnd", "!@#$", "xxxxx!@#$", 9, 5},
                    FindCase{"CutOffByLength", "!@#$", "xxxxx!@#$", 8, std::nullopt},
                    FindCase{"FirstOfTwo", "!@#$", "a!@#$b!@#$", 10, 1},
                    FindCase{"OverlappingOccurrences", "aba", "xababa", 6, 1},
                    FindCase{"NearMissThenMatch", "!@#$", "!@#!@#$", 7, 3},
                    FindCase{"RepeatedByte", "aaa", "aabaaa", 6, 3},
                    FindCase{"HighBytes", "\xff\x80", "\x80\xff\xff\x80", 4, 2},
                    FindCase{"NulInData", std::string("a\0b", 3), std::string("xa\0b", 4), 4, 1}),
    [](const testing::TestParamInfo<FindCase>& info) { return std::string(info.param.name); });

TEST(FindMarkerTest, AgreesWithAPlainSearchOnLongData) {
  // Long data is searched in several ranges at once: matches placed anywhere, and above all
  // where one range ends and the next begins, must still give the first occurrence. Each
  // buffer is allocated to its exact length so that a read past it shows under the sanitizers.
  std::mt19937 random(7);
  auto pick = [&](std::size_t below) {
    return std::uniform_int_distribution<std::size_t>(0, below - 1)(random);
  };
  const std::vector<std::string> markers = {"!@#$", "$#@!", "aab", "x", "abcabcab"};
  int matches = 0;
  for (int round = 0; round < 3000; ++round) {
    const std::string& marker = markers[pick(markers.size())];
    const std::size_t size = 200 + pick(3000);
    std::vector<unsigned char> data(size);
    const std::string alphabet = "abc!@#$";
    for (unsigned char& byte : data) byte = static_cast<unsigned char>(alphabet[pick(7)]);
    // A few copies of the marker, some near the quarter points of the data.
    for (int copies = static_cast<int>(pick(3)); copies > 0 && size >= marker.size(); --copies) {
      const std::size_t windows = size - marker.size() + 1;
      std::size_t at = pick(windows);
      if (pick(2) == 0)
        at = std::min(windows - 1,
                      windows / 4 * (1 + pick(3)) - pick(2 * marker.size() + 1) + marker.size());
      std::copy(marker.begin(), marker.end(), data.begin() + static_cast<std::ptrdiff_t>(at));
    }
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    const auto expected = ReferenceFind(marker, text, static_cast<long long>(size));
    ASSERT_EQ(FindMarker(marker, data.data(), static_cast<long long>(size)), expected)
        << "marker \"" << marker << "\" size " << size << " round " << round;
    if (expected) ++matches;
  }
  EXPECT_GT(matches, 1000) << "the inputs should hold matches often";
}

TEST(FindMarkerTest, ReadsNothingWhenTheLengthIsTooShort) {
  EXPECT_EQ(FindMarker("!@#$", nullptr, 0), std::nullopt);
  EXPECT_EQ(FindMarker("!@#$", nullptr, -1), std::nullopt);
  EXPECT_EQ(FindMarker("", nullptr, 0), std::optional<std::size_t>(0));
}

TEST(ShiftTableTest, HoldsHowFarEachBytesLastPlaceBeforeTheFinalByteLiesFromTheEnd) {
  const struct {
    const char* name;
    std::string marker;
    std::map<unsigned char, std::size_t> shifts;  // the bytes of the marker but its final one
    std::size_t others;                           // every other byte
  } cases[] = {
      // The final byte sets no entry of its own.
      {"start marker", "!@#$", {{'!', 3}, {'@', 2}, {'#', 1}}, 4},
      // A repeated byte keeps its last place before the final byte: a at 0 and 3, b at 1.
      {"repeated bytes", "abcab", {{'a', 1}, {'b', 3}, {'c', 2}}, 5},
      {"one byte repeated", "aaaa", {{'a', 1}}, 4},
      {"indexed by unsigned byte value", "\xff\x80z", {{0xFF, 2}, {0x80, 1}}, 3},
      {"single byte", "x", {}, 1},
      {"empty", "", {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ShiftTable table = MakeShiftTable(c.marker);
    for (int byte = 0; byte < 256; ++byte) {
      const auto shift = c.shifts.find(static_cast<unsigned char>(byte));
      EXPECT_EQ(table[byte], shift == c.shifts.end() ? c.others : shift->second) << byte;
    }
  }
}

TEST(ShiftTableTest, NoEntryExceedsTheMarkerOrIsZero) {
  // So that a shift is never 0 (no endless loop) and never skips a match.
  for (std::string_view marker : {"!@#$", "$#@!", "abcab", "zz", "q"}) {
    for (std::size_t entry : MakeShiftTable(marker)) {
      EXPECT_GE(entry, 1u);
      EXPECT_LE(entry, marker.size());
    }
  }
}

}  // namespace
}  // namespace deploy
