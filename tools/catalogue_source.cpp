#include "tools/catalogue_source.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <nlohmann/json.hpp>

#include "deploy/version_stamps.h"
#include "messages/builtin_catalogue.h"

namespace tools {
namespace {

/// One iconv conversion descriptor, closed when it goes.
class Converter {
 public:
  Converter(const std::string& to, const std::string& from)
      : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  /// Converts all of `in` into `*out`. On failure returns false with `*failed_at` the offset of
  /// the first input byte that could not be converted.
  bool Convert(std::string_view in, std::string* out, std::size_t* failed_at) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
    std::string input(in);
    char* in_ptr = input.data();
    std::size_t in_left = input.size();
    out->clear();
    char buffer[256];
    for (;;) {
      char* out_ptr = buffer;
      std::size_t out_left = sizeof buffer;
      const bool flushing = in_left == 0;
      const std::size_t rc = flushing ? iconv(cd_, nullptr, nullptr, &out_ptr, &out_left)
                                      : iconv(cd_, &in_ptr, &in_left, &out_ptr, &out_left);
      const int error = errno;
      out->append(buffer, static_cast<std::size_t>(out_ptr - buffer));
      if (rc != static_cast<std::size_t>(-1)) {
        if (flushing) return true;
        continue;  // all input taken; flush on the next pass
      }
      if (error == E2BIG) continue;
      *failed_at = static_cast<std::size_t>(in_ptr - input.data());
      return false;
    }
  }

 private:
  iconv_t cd_;
};

/// Decodes the UTF-8 character at `pos`. Returns its length in bytes, or 0 when the bytes there
/// are not a well-formed UTF-8 character.
std::size_t DecodeUtf8(std::string_view text, std::size_t pos, char32_t* code_point) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  std::size_t length;
  char32_t value;
  char32_t minimum;
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(pos + i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code_point = value;
  return length;
}

std::string CodePointName(char32_t code_point) {
  char name[16];
  std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(code_point));
  return name;
}

std::string HexBytes(std::string_view bytes) {
  std::string text;
  for (const char c : bytes) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%s0x%02X", text.empty() ? "" : " ",
                  static_cast<unsigned>(static_cast<unsigned char>(c)));
    text += hex;
  }
  return text;
}

/// "character U+00E9 "é"" for a printable character, without the glyph for a control one.
std::string CharacterName(std::string_view utf8, char32_t code_point) {
  std::string name = "character " + CodePointName(code_point);
  if (code_point >= 0x20 && code_point != 0x7F) name += " \"" + std::string(utf8) + "\"";
  return name;
}

std::string JoinConversions(const std::vector<std::string>& conversions) {
  if (conversions.empty()) return "none";
  std::string text;
  for (const std::string& conversion : conversions) {
    if (!text.empty()) text += ' ';
    text += conversion;
  }
  return text;
}

bool IsPlainConversion(const std::string& conversion) {
  return conversion == "%s" || conversion == "%d" || conversion == "%%";
}

std::string ConversionsProblem(const std::vector<std::string>& found,
                               const std::vector<std::string>& expected) {
  std::string what = "placeholders [" + JoinConversions(found) +
                     "] differ from the built-in entry's [" + JoinConversions(expected) + "]";
  for (const std::string& conversion : found) {
    if (!IsPlainConversion(conversion) &&
        std::find(expected.begin(), expected.end(), conversion) == expected.end()) {
      what += "; \"" + conversion + "\" is not one of %s, %d, %%";
      break;
    }
  }
  return what;
}

}  // namespace

std::optional<std::string> ConsoleCodePage(std::string_view language) {
  static constexpr struct {
    std::string_view language;
    std::string_view code_page;
  } kConsoleCodePages[] = {
      {"English", "ASCII"}, {"French", "CP850"},   {"German", "CP850"},
      {"Spanish", "CP850"}, {"Japanese", "CP932"},
  };
  for (const auto& entry : kConsoleCodePages) {
    if (entry.language == language) return std::string(entry.code_page);
  }
  return std::nullopt;
}

std::string Describe(const Problem& problem) {
  if (problem.entry == kWholeSource) return problem.what;
  return "entry " + std::to_string(problem.entry) + ": " + problem.what;
}

std::optional<CatalogueSource> ParseSource(std::string_view json_text,
                                           std::vector<Problem>* problems) {
  using nlohmann::json;
  const std::size_t problems_before = problems->size();
  json root;
  try {
    root = json::parse(json_text.begin(), json_text.end());
  } catch (const json::parse_error& error) {
    problems->push_back({kWholeSource, std::string("not valid JSON: ") + error.what()});
    return std::nullopt;
  }
  if (!root.is_object()) {
    problems->push_back({kWholeSource, "not a JSON object"});
    return std::nullopt;
  }
  CatalogueSource source;
  for (const auto& [key, value] : root.items()) {
    if (key == "language" || key == "encoding") {
      if (!value.is_string() || value.get_ref<const std::string&>().empty()) {
        problems->push_back({kWholeSource, "\"" + key + "\" is not a non-empty string"});
      } else {
        (key == "language" ? source.language : source.encoding) = value.get<std::string>();
      }
    } else if (key == "entries") {
      if (!value.is_array()) {
        problems->push_back({kWholeSource, "\"entries\" is not an array"});
        continue;
      }
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i].is_string()) {
          source.entries.push_back(value[i].get<std::string>());
        } else {
          problems->push_back({static_cast<int>(i), "not a string"});
          source.entries.emplace_back();
        }
      }
    } else {
      problems->push_back({kWholeSource, "unknown key \"" + key + "\""});
    }
  }
  for (const char* key : {"language", "encoding", "entries"}) {
    if (!root.contains(key)) problems->push_back({kWholeSource, std::string("no \"") + key + "\""});
  }
  if (problems->size() != problems_before) return std::nullopt;
  return source;
}

std::vector<std::string> Conversions(std::string_view format) {
  std::vector<std::string> conversions;
  const std::size_t n = format.size();
  const auto at = [&](std::size_t i) { return i < n ? format[i] : '\0'; };
  const auto skip_digits = [&](std::size_t i) {
    while (at(i) >= '0' && at(i) <= '9') ++i;
    return i;
  };
  std::size_t i = 0;
  while ((i = format.find('%', i)) != std::string_view::npos) {
    std::size_t j = i + 1;
    if (at(j) == '%') {
      j += 1;
    } else {
      while (j < n && format[j] != '\0' && std::strchr("-+ #0'", format[j])) ++j;  // flags
      j = at(j) == '*' ? j + 1 : skip_digits(j);                                   // width
      if (at(j) == '.') j = at(j + 1) == '*' ? j + 2 : skip_digits(j + 1);         // precision
      for (const std::string_view length :
           {"I64", "I32", "hh", "ll", "h", "l", "L", "j", "z", "t", "q", "I", "w"}) {
        if (format.substr(std::min(j, n)).starts_with(length)) {
          j += length.size();
          break;
        }
      }
      if (j < n) ++j;  // the conversion character itself
    }
    conversions.emplace_back(format.substr(i, std::min(j, n) - i));
    i = j;
  }
  return conversions;
}

std::vector<Problem> CheckEntries(const std::vector<std::string>& texts) {
  std::vector<Problem> problems;
  const std::size_t checked = std::min<std::size_t>(texts.size(), messages::kEntryCount);
  for (std::size_t i = 0; i < checked; ++i) {
    const std::string& text = texts[i];
    const int entry = static_cast<int>(i);
    if (const std::size_t at = text.find('\0'); at != std::string::npos) {
      problems.push_back({entry, "a NUL byte at byte " + std::to_string(at) +
                                     " would end the text there and shift every later entry"});
    }
    if (const std::size_t at = text.find('\x1A'); at != std::string::npos) {
      problems.push_back({entry, "a 0x1A byte (Ctrl-Z) at byte " + std::to_string(at) +
                                     " would end the catalogue file when it is read as a text "
                                     "stream"});
    }
    if (const std::size_t at = text.find(deploy::kStartMarker); at != std::string::npos) {
      problems.push_back({entry, "the version stamp's start marker \"" +
                                     std::string(deploy::kStartMarker) + "\" at byte " +
                                     std::to_string(at) +
                                     " would be taken for the file's version stamp"});
    }
    const std::vector<std::string> found = Conversions(text);
    const std::vector<std::string> expected = Conversions(messages::kBuiltinTexts[i]);
    if (found != expected) problems.push_back({entry, ConversionsProblem(found, expected)});
  }
  const std::string have = "the source has " + std::to_string(texts.size()) +
                           " entries, the built-in catalogue " +
                           std::to_string(messages::kEntryCount);
  if (texts.size() < messages::kEntryCount) {
    problems.push_back({static_cast<int>(texts.size()), "missing: " + have});
  } else if (texts.size() > messages::kEntryCount) {
    problems.push_back({messages::kEntryCount, "one too many: " + have});
  }
  return problems;
}

bool EncodeText(std::string_view utf8, std::string_view encoding, std::string* out,
                std::string* error) {
  Converter forward{std::string(encoding), "UTF-8"};
  Converter back{"UTF-8", std::string(encoding)};
  if (!forward.ok() || !back.ok()) {
    *error = "the encoding \"" + std::string(encoding) + "\" is not known to iconv";
    return false;
  }
  // Find the first character that is malformed, unmapped, or lost on the way back.
  const auto first_bad_character = [&](std::size_t from) {
    for (std::size_t pos = from; pos < utf8.size();) {
      char32_t code_point = 0;
      const std::size_t length = DecodeUtf8(utf8, pos, &code_point);
      if (length == 0) {
        return "invalid UTF-8 byte " + HexBytes(utf8.substr(pos, 1)) + " at byte " +
               std::to_string(pos);
      }
      const std::string_view character = utf8.substr(pos, length);
      const std::string name = CharacterName(character, code_point);
      std::string encoded, decoded;
      std::size_t failed_at = 0;
      if (!forward.Convert(character, &encoded, &failed_at)) {
        return name + " at byte " + std::to_string(pos) + " has no mapping in " +
               std::string(encoding);
      }
      if (!back.Convert(encoded, &decoded, &failed_at) || decoded != character) {
        return name + " at byte " + std::to_string(pos) + " does not come back unchanged from " +
               std::string(encoding) + " (it would be written as " + HexBytes(encoded) + ")";
      }
      pos += length;
    }
    return std::string();
  };
  std::string encoded, decoded;
  std::size_t failed_at = 0;
  if (!forward.Convert(utf8, &encoded, &failed_at)) {
    *error = first_bad_character(failed_at);
    if (error->empty()) *error = "cannot be converted to " + std::string(encoding);
    return false;
  }
  if (!back.Convert(encoded, &decoded, &failed_at) || decoded != utf8) {
    *error = first_bad_character(0);
    if (error->empty()) *error = "does not come back unchanged from " + std::string(encoding);
    return false;
  }
  *out = std::move(encoded);
  return true;
}

bool DecodeText(std::string_view bytes, std::string_view encoding, std::string* utf8,
                std::string* error) {
  Converter converter{"UTF-8", std::string(encoding)};
  if (!converter.ok()) {
    *error = "the encoding \"" + std::string(encoding) + "\" is not known to iconv";
    return false;
  }
  std::size_t failed_at = 0;
  if (!converter.Convert(bytes, utf8, &failed_at)) {
    *error = failed_at < bytes.size()
                 ? "byte " + HexBytes(bytes.substr(failed_at, 1)) + " at byte " +
                       std::to_string(failed_at) + " is no character of " + std::string(encoding)
                 : "the text ends inside a character of " + std::string(encoding);
    return false;
  }
  return true;
}

std::string CatalogueFileBytes(const std::vector<std::string>& texts) {
  std::string bytes(1, static_cast<char>(texts.size()));
  for (const std::string& text : texts) {
    bytes += text;
    bytes += '\0';
  }
  return bytes;
}

std::optional<std::string> StampTextProblem(std::string_view stamp_text) {
  if (stamp_text.size() > deploy::kMaxStampText) {
    return "the version stamp text has " + std::to_string(stamp_text.size()) +
           " bytes; the deployment reads at most " + std::to_string(deploy::kMaxStampText);
  }
  if (stamp_text.find('\0') != std::string_view::npos) {
    return "the version stamp text holds a NUL byte, which would hide its end marker";
  }
  for (const std::string_view marker : {deploy::kStartMarker, deploy::kEndMarker}) {
    if (stamp_text.find(marker) != std::string_view::npos) {
      return "the version stamp text holds the marker \"" + std::string(marker) + "\"";
    }
  }
  return std::nullopt;
}

std::string VersionStamp(std::string_view stamp_text) {
  std::string stamp(deploy::kStartMarker);
  stamp += stamp_text;
  stamp += deploy::kEndMarker;
  return stamp;
}

Compiled CompileSource(const CatalogueSource& source, std::optional<std::string_view> stamp_text) {
  Compiled result;
  if (stamp_text) {
    if (auto problem = StampTextProblem(*stamp_text)) {
      result.problems.push_back({kWholeSource, std::move(*problem)});
      return result;
    }
  }
  if (!Converter(source.encoding, "UTF-8").ok() || !Converter("UTF-8", source.encoding).ok()) {
    result.problems.push_back(
        {kWholeSource, "the encoding \"" + source.encoding + "\" is not known to iconv"});
    return result;
  }
  if (const auto console = ConsoleCodePage(source.language);
      console.has_value() && *console != source.encoding) {
    result.problems.push_back({kWholeSource, "a Windows console shows " + source.language + " in " +
                                                 *console + ", so \"encoding\" must be \"" +
                                                 *console + "\", not \"" + source.encoding + "\""});
    return result;
  }
  std::vector<std::string> texts;
  texts.reserve(source.entries.size());
  for (std::size_t i = 0; i < source.entries.size(); ++i) {
    std::string encoded, error;
    if (EncodeText(source.entries[i], source.encoding, &encoded, &error)) {
      texts.push_back(std::move(encoded));
    } else {
      result.problems.push_back({static_cast<int>(i), error});
      texts.push_back(source.entries[i]);  // still checked, as written
    }
  }
  for (Problem& problem : CheckEntries(texts)) result.problems.push_back(std::move(problem));
  std::stable_sort(result.problems.begin(), result.problems.end(),
                   [](const Problem& a, const Problem& b) { return a.entry < b.entry; });
  if (!result.problems.empty()) return result;
  std::string bytes = CatalogueFileBytes(texts);
  if (stamp_text) {
    bytes += VersionStamp(*stamp_text);
    if (bytes.size() > deploy::kStampReadBytes) {
      result.problems.push_back(
          {kWholeSource, "the version stamp would end at byte " + std::to_string(bytes.size()) +
                             ", beyond the first " + std::to_string(deploy::kStampReadBytes) +
                             " bytes, where the deployment looks for it"});
      return result;
    }
  }
  result.bytes = std::move(bytes);
  return result;
}

}  // namespace tools
