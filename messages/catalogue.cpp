#include "messages/catalogue.h"

#include <algorithm>
#include <array>
#include <new>

namespace messages {

namespace {

/// The catalogue files, and the placeholder in sixth place.
constexpr std::array<std::string_view, 6> kLanguageFiles = {
    "\\nls\\english.nls", "\\nls\\french.nls",   "\\nls\\german.nls",
    "\\nls\\spanish.nls", "\\nls\\japanese.nls", kUnknownMessage,
};
/// Language index to position in kLanguageFiles.
constexpr std::array<int, 5> kLanguageFilePosition = {1, 2, 3, 4, 0};

/// The text block has this many bytes beyond the file's size.
constexpr std::size_t kTextBlockSlack = 20;

constexpr char kEndOfFileByte = 0x1A;

}  // namespace

std::string_view Catalogue::Entry(int index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= entries.size()) return kUnknownMessage;
  return entries[static_cast<std::size_t>(index)];
}

Catalogue BuiltinCatalogue() {
  Catalogue catalogue;
  catalogue.entries.assign(kBuiltinTexts.begin(), kBuiltinTexts.end());
  return catalogue;
}

int LanguageForLangId(platform::Word lang_id) {
  switch (lang_id) {
    case 0x0407:
    case 0x0807:
    case 0x0C07:
      return kGerman;
    case 0x040A:
    case 0x080A:
    case 0x0C0A:
      return kSpanish;
    case 0x040B:  // Finnish selects French too
    case 0x040C:
    case 0x080C:
    case 0x0C0C:
    case 0x100C:
      return kFrench;
    case 0x0411:
      return kJapanese;
    default:
      return kEnglish;
  }
}

int SelectLanguage(platform::Platform& platform) {
  return LanguageForLangId(platform.GetSystemDefaultLangID());
}

std::string CataloguePath(std::string_view source_root, int language) {
  if (language < kFrench || language > kEnglish) return {};
  std::string path(source_root);
  path += kLanguageFiles[static_cast<std::size_t>(kLanguageFilePosition[language])];
  return path;
}

std::string TextStreamBytes(std::string_view stored) {
  std::string delivered;
  delivered.reserve(stored.size());
  for (std::size_t i = 0; i < stored.size(); ++i) {
    const char byte = stored[i];
    if (byte == kEndOfFileByte) break;
    if (byte == '\r' && i + 1 < stored.size() && stored[i + 1] == '\n') continue;
    delivered += byte;
  }
  return delivered;
}

namespace {

/// Takes the texts of a catalogue from the data a text stream delivered after the count byte.
/// `block` holds the data and at least one zero byte past it, so a last text without its NUL
/// ends at the end of the data.
void TakeTexts(Catalogue* catalogue, const char* block, std::size_t data_size, int count,
               int entry_count) {
  catalogue->entries.assign(static_cast<std::size_t>(std::max(entry_count, count)),
                            kUnknownMessage);
  std::size_t position = 0;
  int taken = 0;
  while (taken < count && position < data_size) {
    const char* text = block + position;
    const std::size_t length = std::string_view(text, data_size - position).find('\0');
    const std::size_t text_length =
        length == std::string_view::npos ? data_size - position : length;
    catalogue->entries[static_cast<std::size_t>(taken)] = std::string_view(text, text_length);
    position += text_length + 1;
    ++taken;
  }
}

}  // namespace

Catalogue ParseCatalogue(std::string_view stored, int entry_count) {
  const std::string delivered = TextStreamBytes(stored);
  Catalogue catalogue;
  // The block is sized from the stored size; what the stream delivers is never longer.
  const std::size_t block_size = stored.size() + kTextBlockSlack;
  catalogue.text_block.reset(new char[block_size]());
  int count = 0;
  std::size_t data_size = 0;
  if (!delivered.empty()) {
    count = static_cast<signed char>(delivered[0]);
    data_size = delivered.size() - 1;
    std::copy(delivered.begin() + 1, delivered.end(), catalogue.text_block.get());
  }
  TakeTexts(&catalogue, catalogue.text_block.get(), data_size, count, entry_count);
  return catalogue;
}

int LoadCatalogue(platform::Platform& platform, std::string_view source_root, Catalogue* catalogue,
                  int entry_count, int language) {
  if (language < kFrench || language > kEnglish) return -1;
  const std::string path = CataloguePath(source_root, language);
  if (path.size() > kMaxCataloguePath) return -1;

  const std::optional<std::uint64_t> size = platform.GetFileSize(path);
  if (!size) return -1;
  if (*size > kMaxCatalogueFileBytes) {
    platform.WriteStandardOutput(kAllocationFailedText);
    return -1;
  }
  std::unique_ptr<char[]> stored(new (std::nothrow) char[static_cast<std::size_t>(*size) + 1]);
  if (!stored) {
    platform.WriteStandardOutput(kAllocationFailedText);
    return -1;
  }
  const std::optional<std::size_t> read =
      platform.ReadBinaryFile(path, std::span<char>(stored.get(), static_cast<std::size_t>(*size)));
  if (!read) return -1;

  *catalogue = ParseCatalogue(std::string_view(stored.get(), *read), entry_count);
  return 0;
}

void FreeCatalogue(Catalogue* catalogue) {
  catalogue->entries.clear();
  catalogue->text_block.reset();
}

}  // namespace messages
