// The version stamp comparison on two arbitrary files of an in-memory machine, as
// CompareVersionStamps answers (same, source older, source newer or failed) and as
// OrderVersionStamps answers (which also tells a file that cannot be read from one without a
// stamp).
//
// The input: a flags byte (bits 0 and 1: the destination, the source cannot be opened; bits 2 to
// 6 all set: the read buffer is missing; bit 7: OrderVersionStamps instead of
// CompareVersionStamps), one padding byte per file (128 or more puts the file's bytes that many
// bytes, less 128, before the end of the first 100000, behind filler), the destination's length
// (two bytes) and bytes, and the source's bytes (the rest).
//
// Properties: the answer, the files read (destination first, the source only when the
// destination has a stamp) and the output are those of a plain reading of the two files:
// the first start marker wholly within the first 100000 bytes, the text after it up to the
// first NUL or the end, the first end marker in that text, at most 255 bytes of stamp text, its
// digits joined modulo 2^32 and read as signed.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "deploy/version_stamps.h"
#include "fuzz/fuzz_support.h"
#include "messages/builtin_catalogue.h"
#include "messages/catalogue.h"
#include "messages/console.h"
#include "tests/support/fake_file_platform.h"

namespace {

constexpr const char* kSource = "D:\\win2000\\ZOVKAF.SYS";
constexpr const char* kDestination = "C:\\WINNT\\system32\\drivers\\orvan\\win2000\\ZOVKAF.SYS";
constexpr std::size_t kExamined = 100000;

std::string Padded(std::string_view bytes, std::uint8_t padding) {
  if (padding < 128) return std::string(bytes);
  std::string file(kExamined - (padding - 128u), 'x');
  file += bytes;
  return file;
}

/// The stamp text of a file by a plain reading; nothing when the comparison must fail on it.
std::optional<std::string> PlainStamp(std::string_view file) {
  const std::string_view examined = file.substr(0, kExamined);
  if (examined.empty()) return std::nullopt;
  const std::size_t start = examined.find("!@#$");
  if (start == std::string_view::npos) return std::nullopt;
  std::string_view rest = examined.substr(start + 4);
  rest = rest.substr(0, rest.find('\0'));
  const std::size_t end = rest.find("$#@!");
  if (end == std::string_view::npos) return std::string();
  return std::string(rest.substr(0, end < 255 ? end : 255));
}

std::int32_t PlainNumber(std::string_view stamp) {
  std::uint32_t value = 0;
  for (const char c : stamp) {
    if (c >= '0' && c <= '9') value = value * 10u + static_cast<std::uint32_t>(c - '0');
  }
  return static_cast<std::int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::InputReader input(data, size);
  const std::uint8_t flags = input.Byte();
  const bool destination_exists = (flags & 1) == 0;
  const bool source_exists = (flags & 2) == 0;
  const bool no_buffer = (flags & 0x7C) == 0x7C;
  const bool order = (flags & 0x80) != 0;
  const std::uint8_t destination_padding = input.Byte();
  const std::uint8_t source_padding = input.Byte();
  const std::string destination = Padded(input.Text(0xFFFF), destination_padding);
  const std::string source = Padded(input.Rest(), source_padding);

  testing_support::FakeFilePlatform platform;
  if (destination_exists) platform.files[kDestination] = destination;
  if (source_exists) platform.files[kSource] = source;
  const messages::Catalogue catalogue = messages::BuiltinCatalogue();
  messages::Console console(platform, catalogue);

  // What a plain reading expects.
  using deploy::StampOrder;
  StampOrder expected = StampOrder::kSourceNewer;
  std::vector<std::string> expected_reads;
  std::string expected_output;
  if (no_buffer) {
    expected_output = messages::kBuiltinTexts[messages::kCannotAllocateMemory];
  } else {
    expected_reads.push_back(kDestination);
    const auto destination_stamp =
        destination_exists ? PlainStamp(destination) : std::optional<std::string>();
    if (!destination_exists) {
      expected = StampOrder::kUnreadable;
    } else if (!destination_stamp) {
      expected = StampOrder::kNoStamp;
    } else {
      expected_reads.push_back(kSource);
      const auto source_stamp = source_exists ? PlainStamp(source) : std::optional<std::string>();
      if (!source_exists) {
        expected = StampOrder::kUnreadable;
      } else if (!source_stamp) {
        expected = StampOrder::kNoStamp;
      } else {
        const std::int32_t source_number = PlainNumber(*source_stamp);
        const std::int32_t destination_number = PlainNumber(*destination_stamp);
        expected = source_number == destination_number  ? StampOrder::kSame
                   : source_number < destination_number ? StampOrder::kSourceOlder
                                                        : StampOrder::kSourceNewer;
      }
    }
  }

  if (order) {
    const StampOrder answer =
        no_buffer ? deploy::detail::OrderVersionStampsInBuffer(platform, console, kSource,
                                                               kDestination, nullptr)
                  : deploy::OrderVersionStamps(platform, console, kSource, kDestination);
    fuzz::Check(answer == expected, "the order agrees with a plain reading of the stamps", [&] {
      return std::to_string(static_cast<int>(answer)) + " instead of " +
             std::to_string(static_cast<int>(expected));
    });
  } else {
    const int expected_result = expected == StampOrder::kSame ? deploy::kSameVersion
                                : expected == StampOrder::kSourceOlder
                                    ? deploy::kSourceOlder
                                    : deploy::kSourceNewerOrFailed;
    const int result = no_buffer
                           ? deploy::detail::CompareVersionStampsInBuffer(
                                 platform, console, kSource, kDestination, nullptr)
                           : deploy::CompareVersionStamps(platform, console, kSource, kDestination);
    fuzz::Check(
        result == expected_result, "the comparison agrees with a plain reading of the stamps",
        [&] { return std::to_string(result) + " instead of " + std::to_string(expected_result); });
  }
  fuzz::Check(platform.reads == expected_reads,
              "the destination is read first, and the source only after a destination stamp");
  fuzz::Check(platform.output == expected_output, "the comparison prints only entry 51",
              [&] { return fuzz::Escaped(platform.output); });

  // The stamp text of each file on its own, as the comparison sees it.
  for (const std::string* file : {&destination, &source}) {
    const std::string_view examined = std::string_view(*file).substr(0, kExamined);
    const std::vector<char> exact(examined.begin(), examined.end());  // no slack to read into
    const std::optional<std::string> found = deploy::FindStampText(exact);
    const std::optional<std::string> plain = PlainStamp(examined);
    fuzz::Check(found == plain, "the stamp text is the one a plain reading finds", [&] {
      return (found ? fuzz::Escaped(*found) : std::string("none")) + " instead of " +
             (plain ? fuzz::Escaped(*plain) : std::string("none"));
    });
    if (found) {
      fuzz::Check(deploy::VersionNumber(*found) == PlainNumber(*found),
                  "the version number is the stamp's digits joined");
    }
  }
  return 0;
}
