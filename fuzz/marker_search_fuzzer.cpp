// The marker search against a plain search, on arbitrary markers and data.
//
// The input: the marker's length (one byte) and bytes, a length byte, then the data (the rest).
// The length byte chooses the length passed: below 0xF0 the whole data, 0xF0 to 0xF7 the data
// less 1 to 8 bytes (at least -8 in all), 0xF8 to 0xFF a negative length of -1 to -8.
//
// The marker and the data lie in heap blocks of exactly their size (the data of exactly the
// length passed), so that a read past either is caught.
//
// Properties: both searches find the same first position, or both find nothing; the shift
// table is the one the marker defines.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "deploy/marker_search.h"
#include "fuzz/fuzz_support.h"

namespace {

std::optional<std::size_t> PlainSearch(std::string_view marker, std::string_view data,
                                       long long length) {
  if (marker.empty()) return 0;
  if (length < static_cast<long long>(marker.size())) return std::nullopt;
  const std::string_view searched = data.substr(0, static_cast<std::size_t>(length));
  for (std::size_t at = 0; at + marker.size() <= searched.size(); ++at) {
    if (searched.substr(at, marker.size()) == marker) return at;
  }
  return std::nullopt;
}

std::string Shown(std::optional<std::size_t> position) {
  return position ? std::to_string(*position) : std::string("none");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::InputReader input(data, size);
  const std::string_view marker_bytes = input.Text();
  const std::uint8_t length_byte = input.Byte();
  const std::string_view data_bytes = input.Rest();

  long long length = static_cast<long long>(data_bytes.size());
  if (length_byte >= 0xF8) {
    length = -(length_byte - 0xF7);
  } else if (length_byte >= 0xF0) {
    length -= length_byte - 0xEF;
  }
  const std::size_t held = length > 0 ? static_cast<std::size_t>(length) : 0;

  const std::unique_ptr<char[]> marker_block(new char[marker_bytes.size()]);
  marker_bytes.copy(marker_block.get(), marker_bytes.size());
  const std::string_view marker(marker_block.get(), marker_bytes.size());
  const std::unique_ptr<unsigned char[]> data_block(new unsigned char[held]);
  data_bytes.copy(reinterpret_cast<char*>(data_block.get()), held);

  const std::optional<std::size_t> found = deploy::FindMarker(marker, data_block.get(), length);
  const std::optional<std::size_t> expected = PlainSearch(marker, data_bytes, length);
  fuzz::Check(found == expected, "the marker search finds the first occurrence", [&] {
    return "marker " + fuzz::Escaped(marker) + ", data " + fuzz::Escaped(data_bytes) + ", length " +
           std::to_string(length) + ": " + Shown(found) + " instead of " + Shown(expected);
  });

  // Each byte's shift is its distance from the marker's end at its last place before the
  // final byte, or the marker's length when it has none there.
  const deploy::ShiftTable table = deploy::MakeShiftTable(marker);
  const std::size_t m = marker.size();
  std::size_t expected_shift[256];
  bool placed[256] = {};
  for (std::size_t distance = 1; distance < m; ++distance) {
    const auto byte = static_cast<unsigned char>(marker[m - 1 - distance]);
    if (!placed[byte]) expected_shift[byte] = distance;
    placed[byte] = true;
  }
  for (std::size_t byte = 0; byte < 256; ++byte) {
    const std::size_t shift = placed[byte] ? expected_shift[byte] : m;
    fuzz::Check(table[byte] == shift, "the shift table is the marker's", [&] {
      return "byte " + std::to_string(byte) + ": " + std::to_string(table[byte]) + " instead of " +
             std::to_string(shift);
    });
  }
  return 0;
}
