// Catalogue sources: the readable form of a catalogue file (JSON, texts in UTF-8), the checks
// that keep a translation usable by the program, and the encoding into the catalogue file
// format (a count byte, then each text followed by a NUL byte, in the language's code page),
// followed by the product's version stamp.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tools {

/// A catalogue source as read: the texts in UTF-8, in entry order, and the code page (an
/// iconv name such as "CP850" or "CP932") that the catalogue file is written in.
///
/// The program converts nothing: it prints a catalogue's bytes as they are, and a Windows
/// console shows them in its own code page, the OEM code page of the system's language. So a
/// catalogue file is written in that code page (ConsoleCodePage), not in the ANSI one.
struct CatalogueSource {
  std::string language;
  std::string encoding;
  std::vector<std::string> entries;
};

/// The `entry` of a problem that concerns the source as a whole rather than one entry.
inline constexpr int kWholeSource = -1;

/// One thing wrong with a source: the entry's index (or kWholeSource) and what is wrong.
struct Problem {
  int entry;
  std::string what;
};

/// "entry 24: ..." or, for the whole source, the text alone.
std::string Describe(const Problem& problem);

/// The code page in which a Windows console of `language` (a source's "language", such as
/// "French") shows text: "CP850" for French, German and Spanish, "CP932" for Japanese, and
/// plain "ASCII" for English, which every console shows alike. Nothing for another language.
std::optional<std::string> ConsoleCodePage(std::string_view language);

/// Reads a source's JSON text: an object with the strings "language" and "encoding" and the
/// array of strings "entries", and nothing else. Returns no source when it is malformed, and
/// says why in `problems`.
std::optional<CatalogueSource> ParseSource(std::string_view json_text,
                                           std::vector<Problem>* problems);

/// The conversions of a printf format in the order they stand, each as written: "%s", "%d",
/// "%%", or a longer text such as "%-5d", "%99999s", "%ls" or "%n"; a '%' at the very end of
/// the text is "%".
std::vector<std::string> Conversions(std::string_view format);

/// Checks a catalogue's texts against the built-in catalogue: the number of entries, each
/// entry's conversions (the same sequence as the built-in entry's, written the same way), no
/// NUL or 0x1A byte in any text, and no version stamp start marker "!@#$" (the deployment would
/// take the first one in the file for the file's stamp). Returns every problem found, in entry
/// order.
std::vector<Problem> CheckEntries(const std::vector<std::string>& texts);

/// Converts a UTF-8 text into `encoding`. Fails, and says which character and why in `error`,
/// when the text is not valid UTF-8, when the encoding has no mapping for a character, or when a
/// character does not come back unchanged from the encoding (a lossy best-fit mapping).
bool EncodeText(std::string_view utf8, std::string_view encoding, std::string* out,
                std::string* error);

/// The catalogue file's bytes: the number of texts as one byte, then each text and its NUL.
/// `texts` holds at most 127 texts.
std::string CatalogueFileBytes(const std::vector<std::string>& texts);

/// What is wrong with a version stamp text for a catalogue file, or nothing: a text the
/// deployment would not read back whole (longer than 255 bytes, or holding a NUL byte or one of
/// the two markers).
std::optional<std::string> StampTextProblem(std::string_view stamp_text);

/// The version stamp as a catalogue file carries it after its last text: "!@#$", the stamp
/// text, "$#@!". The loader takes only the count's texts, so these bytes are never read as a
/// text; the deployment's version check reads them.
std::string VersionStamp(std::string_view stamp_text);

/// The result of compiling a source: the catalogue file's bytes, or the problems found.
struct Compiled {
  std::string bytes;              // empty when there are problems
  std::vector<Problem> problems;  // empty on success
};

/// Converts a text in `encoding` into UTF-8. Fails, and says where in `error`, when a byte
/// sequence has no character in the encoding.
bool DecodeText(std::string_view bytes, std::string_view encoding, std::string* utf8,
                std::string* error);

/// Encodes every entry of `source` into its encoding, checks the encoded texts (CheckEntries)
/// and builds the catalogue file, which ends with the version stamp of `stamp_text` when there
/// is one. A source of a language that ConsoleCodePage knows must be written in that code page.
/// A stamp text with a problem (StampTextProblem), or a stamp that would end beyond the first
/// 100000 bytes of the file, where the deployment looks for it, is a problem of the whole source.
Compiled CompileSource(const CatalogueSource& source,
                       std::optional<std::string_view> stamp_text = std::nullopt);

}  // namespace tools
