#include "deploy/marker_search.h"

namespace deploy {

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
  std::size_t pos = m - 1;  // the index of the window's last byte
  while (pos < n) {
    std::size_t k = 0;  // bytes that agree, from the window's last byte backwards
    while (k < m && data[pos - k] == static_cast<unsigned char>(marker[m - 1 - k])) ++k;
    if (k == m) return pos - (m - 1);
    // Every entry is 1 to m: no shift skips a match, and pos stays below n + m.
    pos += shift[data[pos]];
  }
  return std::nullopt;
}

}  // namespace deploy
