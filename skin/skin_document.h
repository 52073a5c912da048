// Skin documents: parsing a skin file or the built-in skin's bytes, and finding the element that
// describes one window. The document is read whole and released after the window has applied it.
#pragma once

#include <tinyxml2.h>
#include <QByteArray>
#include <QString>

namespace tessali::skin {

// False when the file does not exist (the parser is not asked) or does not parse.
bool ParseSkinFile(tinyxml2::XMLDocument& doc, const QString& path);
bool ParseSkinBytes(tinyxml2::XMLDocument& doc, const QByteArray& bytes);
// The first child of the document element whose name equals skinName without regard to letter
// case; later elements of the same name are ignored. Null when none matches.
const tinyxml2::XMLElement* FindWindowElement(const tinyxml2::XMLDocument& doc, const QString& skinName);

}  // namespace tessali::skin
