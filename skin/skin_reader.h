// Reading a skin element: the attribute readers every control and window uses, element name to
// control kind, anchoring keywords, skin folder paths and the images a skin names. GUI thread only
// (the skin folder setting and the resource lookups are not locked).
#pragma once

#include <tinyxml2.h>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QString>

#include "skin/skin_types.h"

namespace tessali::skin {

// Text of the attribute, or def when the element has no such attribute.
QString ReadText(const char* name, const tinyxml2::XMLElement& e, const QString& def = QString());
// Decimal integer: leading blanks skipped, optional sign, stops at the first non-digit ("12px" is
// 12, "px" is 0).
int ReadInt(const char* name, const tinyxml2::XMLElement& e, int def = 0);
// Unsigned hexadecimal 0xAARRGGBB, "0x" optional, any letter case, stops at the first non-digit.
Colour ReadColour(const char* name, const tinyxml2::XMLElement& e, Colour def = 0);
// Decimal real number, stopping at the first character that does not belong to a number.
double ReadReal(const char* name, const tinyxml2::XMLElement& e, double def = 0.0);
// "show": blanks trimmed; a value above 0 shows, anything else hides; absent shows.
bool ReadShow(const tinyxml2::XMLElement& e);

// The conversions behind the readers, for values that do not come from an attribute.
int ParseInt(const char* text);
Colour ParseColour(const char* text);
double ParseReal(const char* text);

// Anchoring flags of a "horizontal" or "vertical" keyword (letter case free); 0 for left/top.
uint8_t HorizontalFlags(const QString& keyword);
uint8_t VerticalFlags(const QString& keyword);

// The kind an element name creates (letter case free), kKindNone for names that create nothing.
int KindOfElement(const char* name);

// Element names are compared without regard to letter case.
bool NameEquals(const char* a, const char* b);

// Where skin files live: "<app folder>skin/<skin name>.xml" and "<app folder>skin/<skin name>/<file>".
// The application folder defaults to the program's folder; tests point it elsewhere.
class CSkinPaths {
public:
    static CSkinPaths& Instance();
    QString AppFolder() const;  // with a trailing '/'
    void SetAppFolder(const QString& folder);
    QString SkinName() const { return m_skinName; }
    QString SkinDocument() const;
    QString SkinFile(const QString& file) const;

private:
    QString m_appFolder;
    QString m_skinName = QStringLiteral("DefaultSkin");
};

// A PNG resource compiled into the program, looked up by name without regard to letter case (as
// program resources are). A null image when the name does not resolve or does not decode; the image
// is always Format_ARGB32 and owns its pixels.
QImage LoadPngResource(const QString& name);
// An image file at a path, Format_ARGB32; null when missing or undecodable.
QImage LoadImageFile(const QString& path);

// Pictures for screens of twice the density: the resource "<name>@2x", or the file "<base>@2x.<ext>"
// beside the 1x file. Null unless it is exactly twice the size of the 1x picture, as a picture of
// another size would misplace the frames and tiles cut from it.
QImage LoadPngResource2x(const QString& name, const QImage& base);
QImage LoadImageFile2x(const QString& path, const QImage& base);

// Device pixels per logical pixel of the surface a painter draws on (1 when it has none).
qreal SurfaceRatio(const QPainter& g);
// The picture to draw from on a surface: the 2x one when the surface has more than one device
// pixel per logical pixel and the control has one, else the 1x one. Source rectangles are given in
// the 1x picture's pixels and multiplied by scale.
struct CArt {
    const QImage& image;
    int scale;
};
CArt PickArt(const QImage& base, const QImage& art2x, const QPainter& g);

// The skin's font: a family (the generic sans-serif family when the family is unknown), a size in
// points at 96 dots per inch, bold or underline.
QFont MakeSkinFont(const QString& family, double points, bool bold, bool underline);

}  // namespace tessali::skin
