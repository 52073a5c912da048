// The text a hot-key edit shows for a key combination: the modifier words followed by the key's
// name, built from Win32-style virtual-key codes so that a stored combination means the same key on
// every platform. Also the translation of a Qt key event into that code. Pure functions.
#pragma once

#include <QString>

class QKeyEvent;

namespace tessali::skin {

// Modifier bits of a hot-key combination, in the order their words are written.
enum HotKeyModifier : int {
    kHotKeyAlt = 1,
    kHotKeyControl = 2,
    kHotKeyShift = 4,
};

// The virtual-key codes that have names.
enum VirtualKey : int {
    kVkReturn = 0x0D,
    kVkShift = 0x10,
    kVkControl = 0x11,
    kVkMenu = 0x12,  // Alt
    kVkEscape = 0x1B,
    kVkSpace = 0x20,
    kVkPrior = 0x21,  // Page Up
    kVkNext = 0x22,   // Page Down
    kVkLeft = 0x25,
    kVkUp = 0x26,
    kVkRight = 0x27,
    kVkDown = 0x28,
    kVkNumpad0 = 0x60,
    kVkF1 = 0x70,
};

// The key's name, or an empty text when the key has none.
QString HotKeyName(int virtualKey);

// The shown text of a combination. With no modifier the text is "无" and the key is cleared; a key
// without a name is cleared too (the modifier words stay).
QString HotKeyText(int modifiers, int& virtualKey);

// The virtual-key code of a Qt key event (0 when it has no equivalent); keypad digits are the
// numeric pad's codes.
int VirtualKeyOf(const QKeyEvent& event);
// The HotKeyModifier bits of a Qt key event.
int HotKeyModifiersOf(const QKeyEvent& event);

}  // namespace tessali::skin
