// The catalogue loader on arbitrary catalogue file bytes, then every entry printed the way the
// program prints it: text arguments for %s, numbers for %d, by the conversions of the built-in
// entry.
//
// Properties:
// - the table has max(80, N) entries; entries taken from the file are exactly the texts that a
//   plain reading of the file gives (CR LF delivered as LF, data ending at the first 0x1A, texts
//   ending at their NUL or at the end of the data), every other entry is "Unknown Message";
// - every taken entry lies inside the catalogue's own text block;
// - printing an entry gives the entry with its arguments filled in when its conversions are
//   exactly those of the built-in entry (only %s, %d and %% honoured), and the built-in text
//   with its arguments otherwise.
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

using messages::Arg;

/// The texts of a catalogue file as a plain reading gives them, and its count.
struct PlainReading {
  int count = 0;
  std::vector<std::string> texts;  // at most `count`
};

PlainReading ReadPlainly(std::string_view stored) {
  std::string data;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (stored[i] == '\x1A') break;
    if (stored[i] == '\r' && i + 1 < stored.size() && stored[i + 1] == '\n') continue;
    data += stored[i];
  }
  PlainReading reading;
  if (data.empty()) return reading;
  reading.count = static_cast<signed char>(data[0]);
  std::size_t at = 1;
  while (static_cast<int>(reading.texts.size()) < reading.count && at < data.size()) {
    std::size_t end = data.find('\0', at);
    if (end == std::string::npos) end = data.size();
    reading.texts.push_back(data.substr(at, end - at));
    at = end + 1;
  }
  return reading;
}

/// The conversions of a format in order, or nothing when it holds anything but %s, %d and %%.
std::optional<std::string> ConversionsOf(std::string_view format) {
  std::string conversions;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') continue;
    if (++i == format.size()) return std::nullopt;
    if (format[i] == 's' || format[i] == 'd') {
      conversions += format[i];
    } else if (format[i] != '%') {
      return std::nullopt;
    }
  }
  return conversions;
}

/// The arguments a caller passes, by conversion.
constexpr std::string_view kTextArgs[] = {"D:\\win2000\\ORVAN.INF", "%s%d%n%%"};
constexpr long long kNumberArgs[] = {-2147483647LL - 1, 3758096907LL};  // 0xE000020B

std::string Filled(std::string_view format) {
  std::string out;
  std::size_t texts = 0;
  std::size_t numbers = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out += format[i];
      continue;
    }
    const char conversion = format[++i];
    if (conversion == 's') {
      out += kTextArgs[texts++];
    } else if (conversion == 'd') {
      out += std::to_string(kNumberArgs[numbers++]);
    } else {
      out += '%';
    }
  }
  return out;
}

/// Prints entry `entry` with the arguments its built-in conversions call for.
void PrintWithCallersArgs(messages::Console& console, int entry, std::string_view conversions) {
  if (conversions.empty()) return console.Print(entry);
  if (conversions == "s") return console.Print(entry, {kTextArgs[0]});
  if (conversions == "d") return console.Print(entry, {kNumberArgs[0]});
  if (conversions == "ss") return console.Print(entry, {kTextArgs[0], kTextArgs[1]});
  if (conversions == "sd") return console.Print(entry, {kTextArgs[0], kNumberArgs[0]});
  fuzz::Fail("a built-in entry has conversions that no caller passes",
             std::to_string(entry) + ": " + std::string(conversions));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view stored(reinterpret_cast<const char*>(data), size);
  const messages::Catalogue catalogue = messages::ParseCatalogue(stored, messages::kEntryCount);
  const PlainReading plain = ReadPlainly(stored);

  const std::size_t table_size = static_cast<std::size_t>(
      plain.count > messages::kEntryCount ? plain.count : messages::kEntryCount);
  fuzz::Check(catalogue.entries.size() == table_size, "the table has max(80, N) entries", [&] {
    return std::to_string(catalogue.entries.size()) +
           " entries for N = " + std::to_string(plain.count);
  });
  const char* block = catalogue.text_block.get();
  fuzz::Check(block != nullptr, "a parsed catalogue owns a text block");
  for (std::size_t i = 0; i < messages::kEntryCount; ++i) {
    const std::string_view entry = catalogue.entries[i];
    if (i < plain.texts.size()) {
      fuzz::Check(entry == plain.texts[i], "an entry taken from the file is the file's text", [&] {
        return "entry " + std::to_string(i) + ": " + fuzz::Escaped(entry) + " instead of " +
               fuzz::Escaped(plain.texts[i]);
      });
      fuzz::Check(entry.data() >= block && entry.data() + entry.size() <= block + size + 20,
                  "a taken entry lies inside the text block", [&] { return std::to_string(i); });
    } else {
      fuzz::Check(entry == messages::kUnknownMessage,
                  "an entry the file does not supply is the placeholder",
                  [&] { return "entry " + std::to_string(i) + ": " + fuzz::Escaped(entry); });
    }
  }

  // The built-in entries' conversions and their texts with the callers' arguments, once.
  struct Builtin {
    std::string conversions;
    std::string filled;
  };
  static const std::vector<Builtin> builtins = [] {
    std::vector<Builtin> all;
    for (const std::string_view text : messages::kBuiltinTexts) {
      const std::optional<std::string> conversions = ConversionsOf(text);
      fuzz::Check(conversions.has_value(), "every built-in entry is a sound format");
      all.push_back({*conversions, Filled(text)});
    }
    return all;
  }();

  platform::FailingPlatform platform;  // standard output kept
  messages::Console console(platform, catalogue);
  for (int i = 0; i < messages::kEntryCount; ++i) {
    const Builtin& builtin = builtins[static_cast<std::size_t>(i)];
    std::string_view text = catalogue.Entry(i);
    text = text.substr(0, text.find('\0'));
    const std::optional<std::string> conversions = ConversionsOf(text);
    const std::string expected =
        conversions && *conversions == builtin.conversions ? Filled(text) : builtin.filled;

    platform.output.clear();
    PrintWithCallersArgs(console, i, builtin.conversions);
    fuzz::Check(platform.output == expected, "an entry prints with its arguments filled in", [&] {
      return "entry " + std::to_string(i) + ": " + fuzz::Escaped(platform.output) + " instead of " +
             fuzz::Escaped(expected);
    });
  }
  return 0;
}
