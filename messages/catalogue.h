// The message catalogue: language selection, loading a catalogue file, releasing it.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "messages/builtin_catalogue.h"
#include "platform/platform.h"

namespace messages {

/// A table of texts by index. The built-in catalogue refers to constant texts; a loaded one
/// refers into its own text block, which it owns until FreeCatalogue.
struct Catalogue {
  std::vector<std::string_view> entries;
  std::unique_ptr<char[]> text_block;  // null for the built-in catalogue

  /// The entry at `index`, or the placeholder text for an index the table does not have.
  std::string_view Entry(int index) const;
};

/// The built-in English catalogue.
Catalogue BuiltinCatalogue();

/// Language indices.
enum Language : int { kFrench = 0, kGerman = 1, kSpanish = 2, kJapanese = 3, kEnglish = 4 };

/// The language index for a system default language identifier.
int LanguageForLangId(platform::Word lang_id);
/// Asks the system for its default language and maps it.
int SelectLanguage(platform::Platform& platform);

/// A catalogue path is composed in a 256-byte buffer: at most this many characters.
inline constexpr std::size_t kMaxCataloguePath = 255;
/// A catalogue file larger than this cannot be taken into memory; the load fails as an
/// allocation failure does.
inline constexpr std::uint64_t kMaxCatalogueFileBytes = 16u << 20;

/// The catalogue file's path for a language under the source root ("" when the index is
/// outside 0 to 4).
std::string CataloguePath(std::string_view source_root, int language);

/// What a text stream delivers of a file's bytes: CR LF becomes LF, and the first 0x1A ends
/// the data.
std::string TextStreamBytes(std::string_view stored);

/// Builds a catalogue from a catalogue file's bytes as stored (the count byte first).
Catalogue ParseCatalogue(std::string_view stored, int entry_count);

/// Loads the catalogue file of `language` under `source_root` into `*catalogue`. Returns 0 on
/// success and -1 on failure, in which case `*catalogue` is not touched.
int LoadCatalogue(platform::Platform& platform, std::string_view source_root, Catalogue* catalogue,
                  int entry_count, int language);

/// Releases a catalogue that LoadCatalogue produced.
void FreeCatalogue(Catalogue* catalogue);

}  // namespace messages
