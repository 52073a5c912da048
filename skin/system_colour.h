// System colour values: the 0x00BBGGRR layout that text-input windows and their lists take their
// colours in (red in the low byte), as opposed to the skin's 0xAARRGGBB. Pure functions.
#pragma once

#include <QColor>

#include "skin/skin_types.h"

namespace tessali::skin {

// The opaque colour of a 0x00BBGGRR value; the top byte is not alpha and is ignored.
inline QColor SystemColour(Colour bgr) {
    return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                  static_cast<int>((bgr >> 16) & 0xFF));
}

// The 0xAARRGGBB pixel an opaque drawing of that value gives.
inline Colour SystemColourPixel(Colour bgr) {
    return 0xFF000000u | ((bgr & 0xFF) << 16) | (bgr & 0xFF00) | ((bgr >> 16) & 0xFF);
}

}  // namespace tessali::skin
