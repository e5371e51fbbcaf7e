// Version stamps: "!@#$", a stamp text, "$#@!" within a file's first 100000 bytes,
// and the comparison of two files by the version numbers of their stamps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "messages/console.h"
#include "platform/platform.h"

namespace deploy {

/// Only this many bytes from the start of a file are read and examined.
inline constexpr std::size_t kStampReadBytes = 100000;
/// A stamp text is kept in a 256-byte buffer: at most this many bytes of it count (the first
/// ones; a longer stamp text is cut to them).
inline constexpr std::size_t kMaxStampText = 255;

inline constexpr std::string_view kStartMarker = "!@#$";
inline constexpr std::string_view kEndMarker = "$#@!";

/// Results of the comparison.
inline constexpr int kSameVersion = 0;
inline constexpr int kSourceOlder = -1;
/// The source's version number is higher, or the comparison failed.
inline constexpr int kSourceNewerOrFailed = 1;

/// The stamp text within the bytes read from a file: nothing when no start marker lies wholly
/// within them. Otherwise the bytes between the first start marker and the first end marker
/// after it, searched in the text that runs from there to the first NUL byte or the end of the
/// bytes; empty when that text holds no end marker; at most kMaxStampText bytes.
std::optional<std::string> FindStampText(std::span<const char> bytes);

/// The version number of a stamp text: its digits 0 to 9 joined in order, everything else left
/// out, accumulated as value * 10 + digit modulo 2^32 and read as a signed 32-bit number.
std::int32_t VersionNumber(std::string_view stamp_text);

/// How two files compare by their stamps, telling a file that could not be read apart from one
/// that has no stamp.
enum class StampOrder { kSame, kSourceOlder, kSourceNewer, kNoStamp, kUnreadable };

/// Compares the stamps as CompareVersionStamps does, reading the destination first.
StampOrder OrderVersionStamps(platform::Platform& platform, messages::Console& console,
                              std::string_view source_path, std::string_view destination_path);

/// Compares the version stamps of the file on the medium (`source_path`) and its deployed copy
/// (`destination_path`), reading the destination first: kSameVersion, kSourceOlder, or
/// kSourceNewerOrFailed. Prints catalogue entry 51 when the read buffer cannot be allocated,
/// and nothing else.
int CompareVersionStamps(platform::Platform& platform, messages::Console& console,
                         std::string_view source_path, std::string_view destination_path);

namespace detail {
/// The comparison with a read buffer of kStampReadBytes bytes that the caller owns; a null
/// `buffer` stands for an allocation that failed.
StampOrder OrderVersionStampsInBuffer(platform::Platform& platform, messages::Console& console,
                                      std::string_view source_path,
                                      std::string_view destination_path, char* buffer);
/// The same, as CompareVersionStamps answers.
int CompareVersionStampsInBuffer(platform::Platform& platform, messages::Console& console,
                                 std::string_view source_path, std::string_view destination_path,
                                 char* buffer);
}  // namespace detail

}  // namespace deploy
