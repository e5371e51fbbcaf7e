#include "deploy/marker_search.h"

namespace deploy {

namespace {

/// Long data is searched in this many ranges side by side: independent chains of table
/// look-ups that the processor overlaps, where a single chain waits on every look-up.
constexpr std::size_t kLanes = 4;
/// Data with fewer windows per range than this is searched in one range.
constexpr std::size_t kMinWindowsPerLane = 64;

/// Whether the window whose last byte is `last` holds the m bytes of `marker`, compared from
/// the last byte backwards.
bool WindowHolds(const unsigned char* marker, std::size_t m, const unsigned char* last) {
  for (std::size_t k = 0; k < m; ++k) {
    if (*(last - k) != marker[m - 1 - k]) return false;
  }
  return true;
}

/// The search over the windows whose last byte lies at an index from `pos` up to `end`: the
/// index of the first match's last byte, or `end` when there is none. Every shift is 1 to m,
/// so no shift skips a match.
std::size_t Walk(const unsigned char* marker, std::size_t m, const ShiftTable& shift,
                 const unsigned char* data, std::size_t pos, std::size_t end) {
  for (; pos < end; pos += shift[data[pos]]) {
    if (WindowHolds(marker, m, data + pos)) return pos;
  }
  return end;
}

}  // namespace

ShiftTable MakeShiftTable(std::string_view marker) {
  const std::size_t m = marker.size();
  ShiftTable table;
  table.fill(m);
  for (std::size_t j = 0; j + 1 < m; ++j) {
    table[static_cast<unsigned char>(marker[j])] = m - 1 - j;
  }
  return table;
}

std::optional<std::size_t> FindMarker(std::string_view marker, const unsigned char* data,
                                      long long length) {
  const std::size_t m = marker.size();
  if (m == 0) return 0;
  if (length < 0 || static_cast<unsigned long long>(length) < m) return std::nullopt;
  const auto n = static_cast<std::size_t>(length);
  const ShiftTable shift = MakeShiftTable(marker);
  const auto* bytes = reinterpret_cast<const unsigned char*>(marker.data());

  // The windows' last bytes lie at the indices m-1 to n-1.
  const std::size_t windows = n - (m - 1);
  if (windows < kLanes * kMinWindowsPerLane) {
    const std::size_t found = Walk(bytes, m, shift, data, m - 1, n);
    if (found == n) return std::nullopt;
    return found - (m - 1);
  }

  // Those indices are split into consecutive ranges, and each range is walked from its start as
  // the search walks the whole data, so the first range with a match holds the first
  // occurrence. The walks go in lockstep while no window begins with the marker's first byte
  // and ends with its final one; the windows that do are compared in full, and a match or a
  // finished range ends the lockstep. Every walk stays below its range's end plus m, so nothing
  // past the data is read.
  std::size_t pos[kLanes];
  std::size_t end[kLanes];
  for (std::size_t k = 0; k < kLanes; ++k) {
    pos[k] = m - 1 + windows / kLanes * k;
    end[k] = k + 1 == kLanes ? n : m - 1 + windows / kLanes * (k + 1);
  }
  const unsigned char first_byte = bytes[0];
  const unsigned char final_byte = bytes[m - 1];
  for (;;) {
    bool look = false;
    for (std::size_t k = 0; k < kLanes; ++k) {
      look |=
          pos[k] >= end[k] || (data[pos[k]] == final_byte && data[pos[k] - (m - 1)] == first_byte);
    }
    if (look) {
      bool stop = false;
      for (std::size_t k = 0; k < kLanes; ++k) {
        stop |= pos[k] >= end[k] || WindowHolds(bytes, m, data + pos[k]);
      }
      if (stop) break;
    }
    for (std::size_t k = 0; k < kLanes; ++k) pos[k] += shift[data[pos[k]]];
  }
  // Each range's rest, in order.
  for (std::size_t k = 0; k < kLanes; ++k) {
    const std::size_t found = Walk(bytes, m, shift, data, pos[k], end[k]);
    if (found != end[k]) return found - (m - 1);
  }
  return std::nullopt;
}

}  // namespace deploy
