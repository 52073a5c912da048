#include "app/window/texts.h"

namespace tessali::app {

QString FormatSize(int64_t bytes) {
    const double v = static_cast<double>(bytes);
    if (bytes >= (int64_t{1} << 30))
        return QString::asprintf("%.2lf%s", v / (1 << 30), "GB");
    if (bytes >= (int64_t{1} << 20))
        return QString::asprintf("%.2lf%s", v / (1 << 20), "MB");
    if (bytes >= (int64_t{1} << 10))
        return QString::asprintf("%.2lf%s", v / (1 << 10), "KB");
    return QString::asprintf("%.2lf%s", v, "Byte");
}

QString FormatDialogSize(int64_t bytes) {
    const double v = static_cast<double>(bytes);
    if (bytes < 1024)
        return QString::asprintf("%0.1f%s", v, "B");
    if (bytes < (int64_t{1} << 20))
        return QString::asprintf("%0.1f%s", v / 1024, "KB");
    if (bytes < (int64_t{1} << 30))
        return QString::asprintf("%0.1f%s", v / (1 << 20), "MB");
    return QString::asprintf("%0.2f%s", v / (1 << 30), "GB");
}

QString DisplayName(const QString& fileName, bool complete) {
    qsizetype at = fileName.indexOf(QStringLiteral(".rar"));
    if (at < 0)
        at = fileName.indexOf(QStringLiteral(".exe"));
    if (at < 0 || at != fileName.size() - 4)
        return fileName;
    QString name = fileName.left(at);
    if (complete)
        name += QStringLiteral("(推荐)");
    return name;
}

QString Shorten(const QString& name, int limit, int keep) {
    if (name.size() <= limit)
        return name;
    return name.left(keep) + QStringLiteral("...");
}

}  // namespace tessali::app
