// What the fuzz targets share: reading a fuzz input piece by piece and failing loudly when a
// property does not hold. The platforms they run on are the one that answers nothing
// (platform/failing_platform.h) and the test doubles built on it (tests/support/).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

/// Reports a property that does not hold, then aborts, which libFuzzer records as a finding
/// (the input is saved as crash-...).
[[noreturn]] inline void Fail(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "\n*** fuzz property failed: %.*s\n", static_cast<int>(what.size()),
               what.data());
  if (!detail.empty()) {
    std::fprintf(stderr, "*** %.*s\n", static_cast<int>(detail.size()), detail.data());
  }
  std::abort();
}

inline void Check(bool holds, std::string_view what) {
  if (!holds) Fail(what);
}

/// Like Check, with `detail()` saying more; it is called only when the property fails, so that
/// a passing check costs no formatting.
template <typename Detail>
void Check(bool holds, std::string_view what, Detail&& detail) {
  if (!holds) Fail(what, detail());
}

/// Bytes shown with C escapes, for failure messages.
inline std::string Escaped(std::string_view bytes, std::size_t limit = 200) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte == '\\' || byte == '"') {
      out += '\\';
      out += static_cast<char>(byte);
    } else if (byte >= 0x20 && byte < 0x7F) {
      out += static_cast<char>(byte);
    } else {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    }
  }
  if (bytes.size() > limit) out += "...";
  return out + "\"";
}

/// Takes a fuzz input apart from the front. Every piece is defined for every input: when the
/// input runs out, numbers read as 0 and texts as empty.
class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size)
      : bytes_(reinterpret_cast<const char*>(data), size) {}

  bool empty() const { return bytes_.empty(); }
  std::size_t remaining() const { return bytes_.size(); }

  std::uint8_t Byte() {
    if (bytes_.empty()) return 0;
    const auto byte = static_cast<std::uint8_t>(bytes_.front());
    bytes_.remove_prefix(1);
    return byte;
  }
  std::uint16_t Uint16() {
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | (Byte() << 8));
  }
  std::uint32_t Uint32() {
    const std::uint32_t low = Uint16();
    return low | (static_cast<std::uint32_t>(Uint16()) << 16);
  }
  /// A text of up to `max_length` bytes, its length given by the next byte (or two).
  std::string_view Text(std::size_t max_length = 255) {
    const std::size_t wanted = max_length <= 255 ? Byte() : Uint16();
    return Take(wanted > max_length ? max_length : wanted);
  }
  /// The next `count` bytes, or all that are left.
  std::string_view Take(std::size_t count) {
    const std::string_view piece = bytes_.substr(0, count);
    bytes_.remove_prefix(piece.size());
    return piece;
  }
  /// Everything that is left.
  std::string_view Rest() { return Take(bytes_.size()); }

 private:
  std::string_view bytes_;
};

}  // namespace fuzz
