#include "skin/skin_resources.h"

#include <QFile>

// Q_INIT_RESOURCE must be used outside any namespace.
static void InitSkinQrc() {
    Q_INIT_RESOURCE(skin);
}

namespace tessali::skin {

void EnsureSkinResources() {
    static const bool done = [] {
        InitSkinQrc();
        return true;
    }();
    (void)done;
}

QByteArray BuiltinSkinBytes() {
    EnsureSkinResources();
    QFile file(QStringLiteral(":/xml/156"));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

}  // namespace tessali::skin
