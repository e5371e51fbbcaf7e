// The marker search of the version stamps: Horspool's variant of Boyer-Moore.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace deploy {

/// The shift table: one entry per byte value 0 to 255 (unsigned), how far the window moves
/// when that byte is the window's last one.
using ShiftTable = std::array<std::size_t, 256>;

/// The shift table for `marker`: every entry m (the marker's length), then, for each marker
/// position j from 0 to m-2 in increasing order, the entry of the byte at j set to m-1-j. The
/// final byte sets no entry of its own.
ShiftTable MakeShiftTable(std::string_view marker);

/// The position of the first occurrence of `marker` in the `length` bytes at `data`, or
/// nothing. An empty marker is found at 0; a length smaller than the marker's (zero or
/// negative included) finds nothing, and `data` is then not read.
std::optional<std::size_t> FindMarker(std::string_view marker, const unsigned char* data,
                                      long long length);

}  // namespace deploy
