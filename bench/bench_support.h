// What the benchmarks share: scratch folders, file helpers and the test inputs.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace bench {

/// A fresh folder under the system's temporary folder, removed with everything in it when the
/// object goes.
class ScratchFolder {
 public:
  explicit ScratchFolder(std::string_view prefix = "setup-bench");
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::string ReadHostFile(const std::filesystem::path& path);
void WriteHostFile(const std::filesystem::path& path, std::string_view bytes);

/// Text such as an INF file holds (section headers, keys, hardware IDs), repeated to `size`
/// bytes. It holds none of the marker bytes '!', '@', '#' and '$'.
std::string TextFiller(std::size_t size);

/// A version stamp "!@#$<text>$#@!" written over the last bytes of `bytes`.
void StampAtEnd(std::string* bytes, std::string_view stamp_text);

}  // namespace bench
