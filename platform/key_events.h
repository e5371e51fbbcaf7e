// Which console key event ends the exit tail's key wait. Pure: no system header, so the rule is
// tested on every build; the Windows backend feeds it the events it reads from the console.
#pragma once

#include <cstdint>

namespace platform {

/// Virtual-key codes of the Windows console, by their Windows names.
namespace vk {
inline constexpr std::uint16_t kBack = 0x08;
inline constexpr std::uint16_t kTab = 0x09;
inline constexpr std::uint16_t kClear = 0x0C;  // keypad 5 with Num Lock off
inline constexpr std::uint16_t kReturn = 0x0D;
inline constexpr std::uint16_t kShift = 0x10;
inline constexpr std::uint16_t kControl = 0x11;
inline constexpr std::uint16_t kMenu = 0x12;  // Alt
inline constexpr std::uint16_t kPause = 0x13;
inline constexpr std::uint16_t kCapital = 0x14;  // Caps Lock
inline constexpr std::uint16_t kEscape = 0x1B;
inline constexpr std::uint16_t kSpace = 0x20;
inline constexpr std::uint16_t kPrior = 0x21;  // Page Up
inline constexpr std::uint16_t kNext = 0x22;   // Page Down
inline constexpr std::uint16_t kEnd = 0x23;
inline constexpr std::uint16_t kHome = 0x24;
inline constexpr std::uint16_t kLeft = 0x25;
inline constexpr std::uint16_t kUp = 0x26;
inline constexpr std::uint16_t kRight = 0x27;
inline constexpr std::uint16_t kDown = 0x28;
inline constexpr std::uint16_t kSnapshot = 0x2C;  // Print Screen
inline constexpr std::uint16_t kInsert = 0x2D;
inline constexpr std::uint16_t kDelete = 0x2E;
inline constexpr std::uint16_t kKeyA = 0x41;
inline constexpr std::uint16_t kKeyC = 0x43;
inline constexpr std::uint16_t kLWin = 0x5B;
inline constexpr std::uint16_t kRWin = 0x5C;
inline constexpr std::uint16_t kApps = 0x5D;
inline constexpr std::uint16_t kF1 = 0x70;
inline constexpr std::uint16_t kF12 = 0x7B;
inline constexpr std::uint16_t kF24 = 0x87;
inline constexpr std::uint16_t kNumLock = 0x90;
inline constexpr std::uint16_t kScroll = 0x91;  // Scroll Lock
inline constexpr std::uint16_t kLShift = 0xA0;
inline constexpr std::uint16_t kRShift = 0xA1;
inline constexpr std::uint16_t kLControl = 0xA2;
inline constexpr std::uint16_t kRControl = 0xA3;
inline constexpr std::uint16_t kLMenu = 0xA4;
inline constexpr std::uint16_t kRMenu = 0xA5;
}  // namespace vk

/// One console input event, as far as the key wait looks at it. Events that are not key events
/// (mouse, menu, focus, buffer size) are passed as `is_key = false`.
struct KeyEvent {
  bool is_key = true;
  bool key_down = false;
  /// The character the key yields in the console's code page; 0 when it yields none.
  unsigned char character = 0;
  std::uint16_t virtual_key = 0;
  /// The console's enhanced-key flag: a key of the grey cursor and editing block (or right
  /// Ctrl/Alt, keypad Enter and /) rather than its keypad twin.
  bool enhanced = false;
};

/// Whether the key has an extended key code: a function key (F1 to F24) or a cursor or editing
/// key (arrows, Home, End, Page Up, Page Down, Insert, Delete), from the grey block or from the
/// keypad with Num Lock off, with or without Shift, Ctrl or Alt held.
bool HasExtendedKeyCode(std::uint16_t virtual_key);

/// Whether the event ends the key wait: a key press that yields a character, or a key press
/// without one whose key has an extended key code. Modifier keys (Shift, Ctrl, Alt) and lock
/// keys (Caps Lock, Num Lock, Scroll Lock) alone, key releases and non-key events never do.
bool EndsKeyWait(const KeyEvent& event);

}  // namespace platform
