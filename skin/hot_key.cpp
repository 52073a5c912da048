#include "skin/hot_key.h"

#include <QKeyEvent>

namespace tessali::skin {

QString HotKeyName(int vk) {
    switch (vk) {
        case kVkReturn:
            return QStringLiteral("Enter");
        case kVkEscape:
            return QStringLiteral("Esc");
        case kVkSpace:
            return QStringLiteral("Space");
        case kVkPrior:
            return QStringLiteral("PageUp");
        case kVkNext:
            return QStringLiteral("PageDown");
        case kVkLeft:
            return QStringLiteral("←");
        case kVkUp:
            return QStringLiteral("↑");
        case kVkRight:
            return QStringLiteral("→");
        case kVkDown:
            return QStringLiteral("↓");
        default:
            break;
    }
    if (vk >= kVkNumpad0 && vk <= kVkNumpad0 + 9)
        return QStringLiteral("Num %1").arg(vk - kVkNumpad0);
    if (vk >= kVkF1 && vk <= kVkF1 + 11)
        return QStringLiteral("F%1").arg(vk - kVkF1 + 1);
    if ((vk >= '0' && vk <= '9') || (vk >= 'A' && vk <= 'Z'))
        return QString(QChar(vk));
    return QString();
}

QString HotKeyText(int modifiers, int& vk) {
    QString text;
    if (modifiers & kHotKeyAlt)
        text += QStringLiteral("ALT + ");
    if (modifiers & kHotKeyControl)
        text += QStringLiteral("CTRL + ");
    if (modifiers & kHotKeyShift)
        text += QStringLiteral("SHIFT + ");
    if (text.isEmpty()) {
        vk = 0;
        return QStringLiteral("无");
    }
    const QString name = HotKeyName(vk);
    if (name.isEmpty())
        vk = 0;
    return text + name;
}

int VirtualKeyOf(const QKeyEvent& event) {
    const int key = event.key();
    const bool keypad = event.modifiers() & Qt::KeypadModifier;
    if (key >= Qt::Key_0 && key <= Qt::Key_9)
        return keypad ? kVkNumpad0 + (key - Qt::Key_0) : '0' + (key - Qt::Key_0);
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return 'A' + (key - Qt::Key_A);
    if (key >= Qt::Key_F1 && key <= Qt::Key_F12)
        return kVkF1 + (key - Qt::Key_F1);
    switch (key) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return kVkReturn;
        case Qt::Key_Escape:
            return kVkEscape;
        case Qt::Key_Space:
            return kVkSpace;
        case Qt::Key_PageUp:
            return kVkPrior;
        case Qt::Key_PageDown:
            return kVkNext;
        case Qt::Key_Left:
            return kVkLeft;
        case Qt::Key_Up:
            return kVkUp;
        case Qt::Key_Right:
            return kVkRight;
        case Qt::Key_Down:
            return kVkDown;
        case Qt::Key_Shift:
            return kVkShift;
        case Qt::Key_Control:
            return kVkControl;
        case Qt::Key_Alt:
            return kVkMenu;
        default:
            return 0;
    }
}

int HotKeyModifiersOf(const QKeyEvent& event) {
    const Qt::KeyboardModifiers m = event.modifiers();
    int bits = 0;
    if (m & Qt::AltModifier)
        bits |= kHotKeyAlt;
    if (m & Qt::ControlModifier)
        bits |= kHotKeyControl;
    if (m & Qt::ShiftModifier)
        bits |= kHotKeyShift;
    return bits;
}

}  // namespace tessali::skin
