#include "skin/skin_document.h"

#include <QFile>
#include <QFileInfo>

#include "skin/skin_reader.h"

namespace tessali::skin {

bool ParseSkinFile(tinyxml2::XMLDocument& doc, const QString& path) {
    if (!QFileInfo::exists(path))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return ParseSkinBytes(doc, file.readAll());
}

bool ParseSkinBytes(tinyxml2::XMLDocument& doc, const QByteArray& bytes) {
    if (bytes.isEmpty())
        return false;
    return doc.Parse(bytes.constData(), static_cast<size_t>(bytes.size())) == tinyxml2::XML_SUCCESS;
}

const tinyxml2::XMLElement* FindWindowElement(const tinyxml2::XMLDocument& doc, const QString& skinName) {
    const tinyxml2::XMLElement* root = doc.RootElement();
    if (!root)
        return nullptr;
    const QByteArray name = skinName.toUtf8();
    for (const tinyxml2::XMLElement* e = root->FirstChildElement(); e; e = e->NextSiblingElement()) {
        if (NameEquals(e->Name(), name.constData()))
            return e;
    }
    return nullptr;
}

}  // namespace tessali::skin
