#include "platform/key_events.h"

#include <gtest/gtest.h>

#include <string>

namespace platform {
namespace {

struct KeyCase {
  std::string name;
  KeyEvent event;
  bool ends;
};

KeyEvent Down(std::uint16_t virtual_key, unsigned char character = 0, bool enhanced = false) {
  return KeyEvent{.is_key = true,
                  .key_down = true,
                  .character = character,
                  .virtual_key = virtual_key,
                  .enhanced = enhanced};
}

KeyEvent Up(std::uint16_t virtual_key, unsigned char character = 0, bool enhanced = false) {
  KeyEvent event = Down(virtual_key, character, enhanced);
  event.key_down = false;
  return event;
}

class KeyWaitTest : public testing::TestWithParam<KeyCase> {};

TEST_P(KeyWaitTest, EndsOnlyOnAKeyThatYieldsSomething) {
  const KeyCase& c = GetParam();
  EXPECT_EQ(EndsKeyWait(c.event), c.ends) << c.name;
}

const KeyCase kKeyCases[] = {
    // Keys that yield a character.
    {"letter_a", Down(vk::kKeyA, 'a'), true},
    {"shifted_letter_A", Down(vk::kKeyA, 'A'), true},
    {"ctrl_c_is_an_ordinary_key", Down(vk::kKeyC, 3), true},
    {"space", Down(vk::kSpace, ' '), true},
    {"enter", Down(vk::kReturn, '\r'), true},
    {"keypad_enter", Down(vk::kReturn, '\r', true), true},
    {"escape", Down(vk::kEscape, 0x1B), true},
    {"tab", Down(vk::kTab, '\t'), true},
    {"backspace", Down(vk::kBack, 0x08), true},
    {"code_page_character", Down(0xDE, 0xE4), true},
    // Keys without a character but with an extended key code.
    {"f1", Down(vk::kF1), true},
    {"f12", Down(vk::kF12), true},
    {"f24", Down(vk::kF24), true},
    {"left", Down(vk::kLeft, 0, true), true},
    {"up", Down(vk::kUp, 0, true), true},
    {"right", Down(vk::kRight, 0, true), true},
    {"down", Down(vk::kDown, 0, true), true},
    {"keypad_down_num_lock_off", Down(vk::kDown), true},
    {"home", Down(vk::kHome, 0, true), true},
    {"end", Down(vk::kEnd, 0, true), true},
    {"page_up", Down(vk::kPrior, 0, true), true},
    {"page_down", Down(vk::kNext, 0, true), true},
    {"insert", Down(vk::kInsert, 0, true), true},
    {"delete", Down(vk::kDelete, 0, true), true},
    {"keypad_delete_num_lock_off", Down(vk::kDelete), true},
    // Modifier and lock keys alone, and other keys without a character or an extended code.
    {"shift", Down(vk::kShift), false},
    {"left_shift", Down(vk::kLShift), false},
    {"right_shift", Down(vk::kRShift), false},
    {"ctrl", Down(vk::kControl), false},
    {"right_ctrl", Down(vk::kControl, 0, true), false},
    {"left_ctrl_code", Down(vk::kLControl), false},
    {"right_ctrl_code", Down(vk::kRControl, 0, true), false},
    {"alt", Down(vk::kMenu), false},
    {"right_alt", Down(vk::kMenu, 0, true), false},
    {"left_alt_code", Down(vk::kLMenu), false},
    {"right_alt_code", Down(vk::kRMenu, 0, true), false},
    {"caps_lock", Down(vk::kCapital), false},
    {"num_lock", Down(vk::kNumLock, 0, true), false},
    {"scroll_lock", Down(vk::kScroll), false},
    {"pause", Down(vk::kPause), false},
    {"keypad_5_num_lock_off", Down(vk::kClear), false},
    {"windows_key", Down(vk::kLWin, 0, true), false},
    {"menu_key", Down(vk::kApps, 0, true), false},
    {"no_key_code", Down(0), false},
    // Key releases never end the wait, whatever the key.
    {"release_letter", Up(vk::kKeyA, 'a'), false},
    {"release_enter", Up(vk::kReturn, '\r'), false},
    {"release_f1", Up(vk::kF1), false},
    {"release_left", Up(vk::kLeft, 0, true), false},
    {"release_shift", Up(vk::kShift), false},
    // Mouse, focus, menu and size events are not key events.
    {"not_a_key_event",
     KeyEvent{.is_key = false,
              .key_down = true,
              .character = 'a',
              .virtual_key = vk::kKeyA,
              .enhanced = false},
     false},
};

INSTANTIATE_TEST_SUITE_P(Keys, KeyWaitTest, testing::ValuesIn(kKeyCases),
                         [](const testing::TestParamInfo<KeyCase>& info) {
                           return info.param.name;
                         });

TEST(ExtendedKeyCode, CoversEveryFunctionKeyAndNothingBeyond) {
  for (std::uint16_t key = vk::kF1; key <= vk::kF24; ++key) {
    EXPECT_TRUE(HasExtendedKeyCode(key)) << "key 0x" << std::hex << key;
  }
  EXPECT_FALSE(HasExtendedKeyCode(vk::kF1 - 1));
  EXPECT_FALSE(HasExtendedKeyCode(vk::kF24 + 1));
  EXPECT_FALSE(HasExtendedKeyCode(vk::kSnapshot));
}

}  // namespace
}  // namespace platform
