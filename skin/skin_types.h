// Shared vocabulary of the skin framework: colours, control kinds, anchoring flags and the values
// passed to SetProperty. Plain data; used on the GUI thread only.
#pragma once

#include <QImage>
#include <QRect>
#include <QString>
#include <cstdint>

namespace tessali::skin {

// 0xAARRGGBB, the same layout as QImage::Format_ARGB32 pixels.
using Colour = uint32_t;

// The kind code of a control; fixed when the control is created from its element name.
enum ControlKind : int {
    kKindMainWindow = 0,
    kKindWindow = 1,       // a skinned window, also when embedded as a subview
    kKindChildWindow = 2,  // embedded child window placed relative to its parent window
    kKindDialog = 3,
    kKindImage = 4,
    kKindGif = 5,
    kKindText = 6,
    kKindButton = 7,
    kKindTxtBtn = 8,
    kKindPageBtn = 9,
    kKindEdit = 10,
    kKindNormalEdit = 11,
    kKindSearchEdit = 12,
    kKindComboBox = 15,
    // Check boxes need a code of their own outside the window kinds and the picture kind, so that
    // they are drawn, owned and sized like the other buttons.
    kKindButtonEx = 16,
    kKindNone = -1,
};

// True for the kinds that child lists never own and window painting never draws.
inline bool IsEmbeddedWindowKind(int kind) {
    return kind == kKindWindow || kind == kKindChildWindow;
}

// One byte of anchoring flags; "horizontal" sets at most one of the low four horizontal bits,
// "vertical" at most one of the vertical ones.
enum AnchorFlags : uint8_t {
    kAnchorRight = 0x01,
    kAnchorBottom = 0x02,
    kAnchorHCenter = 0x04,
    kAnchorVCenter = 0x08,
    kAnchorHStretch = 0x10,
    kAnchorVStretch = 0x20,
    kAnchorHTile = 0x40,
    kAnchorVTile = 0x80,
};

// The three texts of a link picture's "source" / "imagepath" property: the image (a PNG resource
// name or a file path), the link address opened on click, and a second text kept with them.
struct CImageSource {
    QString image;
    QString link;
    QString text;
};

// A property value: an integer or flag, a text, a link-picture record or a bitmap, by property.
struct CSkinValue {
    CSkinValue(int v) : number(v) {}
    CSkinValue(long v) : number(v) {}
    CSkinValue(long long v) : number(static_cast<intptr_t>(v)) {}
    CSkinValue(const QString& v) : text(v) {}
    CSkinValue(const char* v) : text(QString::fromUtf8(v)) {}
    CSkinValue(const CImageSource& v) : source(v) {}
    CSkinValue(const QImage& v) : bitmap(v) {}

    intptr_t number = 0;
    QString text;
    CImageSource source;
    QImage bitmap;
};

// The one tooltip tool of a window: only the control under the mouse has a tool at any time.
struct CSkinTool {
    bool active = false;
    QRect rect;
    QString text;
};

}  // namespace tessali::skin
