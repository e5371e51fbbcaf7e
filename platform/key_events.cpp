#include "platform/key_events.h"

namespace platform {

bool HasExtendedKeyCode(std::uint16_t virtual_key) {
  switch (virtual_key) {
    case vk::kPrior:
    case vk::kNext:
    case vk::kEnd:
    case vk::kHome:
    case vk::kLeft:
    case vk::kUp:
    case vk::kRight:
    case vk::kDown:
    case vk::kInsert:
    case vk::kDelete:
      return true;
    default:
      return virtual_key >= vk::kF1 && virtual_key <= vk::kF24;
  }
}

bool EndsKeyWait(const KeyEvent& event) {
  if (!event.is_key || !event.key_down) return false;
  if (event.character != 0) return true;
  // The cursor and editing keys end the wait from either block, so the enhanced flag does not
  // change the answer; modifier and lock keys have no extended key code.
  return HasExtendedKeyCode(event.virtual_key);
}

}  // namespace platform
