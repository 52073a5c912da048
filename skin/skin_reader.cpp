#include "skin/skin_reader.h"

#include <strings.h>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QImageReader>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "skin/skin_resources.h"

namespace tessali::skin {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

int ParseInt(const char* text) {
    if (!text)
        return 0;
    while (IsBlank(*text)) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    // Accumulate in 64 bits and saturate, so an absurd value cannot overflow.
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > std::numeric_limits<int32_t>::max())
            value = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    return static_cast<int>(value);
}

Colour ParseColour(const char* text) {
    if (!text)
        return 0;
    while (IsBlank(*text)) ++text;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && HexDigit(text[2]) >= 0)
        text += 2;
    uint64_t value = 0;
    for (int d; (d = HexDigit(*text)) >= 0; ++text) {
        value = value * 16 + static_cast<unsigned>(d);
        if (value > 0xFFFFFFFFull)
            value = 0x100000000ull;  // saturates like an unsigned conversion
    }
    return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<Colour>(value);
}

double ParseReal(const char* text) {
    if (!text)
        return 0.0;
    while (IsBlank(*text)) ++text;
    if (*text == '+')
        ++text;
    // from_chars is independent of the process locale, unlike strtod.
    double value = 0.0;
    auto result = std::from_chars(text, text + std::strlen(text), value);
    if (result.ec != std::errc())
        return 0.0;
    return value;
}

QString ReadText(const char* name, const tinyxml2::XMLElement& e, const QString& def) {
    const char* v = e.Attribute(name);
    return v ? QString::fromUtf8(v) : def;
}

int ReadInt(const char* name, const tinyxml2::XMLElement& e, int def) {
    const char* v = e.Attribute(name);
    return v ? ParseInt(v) : def;
}

Colour ReadColour(const char* name, const tinyxml2::XMLElement& e, Colour def) {
    const char* v = e.Attribute(name);
    return v ? ParseColour(v) : def;
}

double ReadReal(const char* name, const tinyxml2::XMLElement& e, double def) {
    const char* v = e.Attribute(name);
    return v ? ParseReal(v) : def;
}

bool ReadShow(const tinyxml2::XMLElement& e) {
    const char* v = e.Attribute("show");
    if (!v)
        return true;
    return ParseInt(QString::fromUtf8(v).trimmed().toUtf8().constData()) > 0;
}

uint8_t HorizontalFlags(const QString& keyword) {
    if (keyword.compare(QLatin1String("right"), Qt::CaseInsensitive) == 0)
        return kAnchorRight;
    if (keyword.compare(QLatin1String("center"), Qt::CaseInsensitive) == 0)
        return kAnchorHCenter;
    if (keyword.compare(QLatin1String("stretch"), Qt::CaseInsensitive) == 0)
        return kAnchorHStretch;
    if (keyword.compare(QLatin1String("tiled"), Qt::CaseInsensitive) == 0)
        return kAnchorHTile;
    return 0;
}

uint8_t VerticalFlags(const QString& keyword) {
    if (keyword.compare(QLatin1String("bottom"), Qt::CaseInsensitive) == 0)
        return kAnchorBottom;
    if (keyword.compare(QLatin1String("center"), Qt::CaseInsensitive) == 0)
        return kAnchorVCenter;
    if (keyword.compare(QLatin1String("stretch"), Qt::CaseInsensitive) == 0)
        return kAnchorVStretch;
    if (keyword.compare(QLatin1String("tiled"), Qt::CaseInsensitive) == 0)
        return kAnchorVTile;
    return 0;
}

bool NameEquals(const char* a, const char* b) {
    if (!a || !b)
        return false;
    return QString::fromUtf8(a).compare(QString::fromUtf8(b), Qt::CaseInsensitive) == 0;
}

int KindOfElement(const char* name) {
    static const struct {
        const char* name;
        int kind;
    } kTable[] = {
        {"pic", kKindImage},
        {"gif", kKindGif},
        {"txt", kKindText},
        {"btn", kKindButton},
        {"pressbtn", kKindButton},
        {"selectbtn", kKindButton},
        {"coincideimage", kKindButton},
        {"txtbtn", kKindTxtBtn},
        {"pagebtn", kKindPageBtn},
        {"edit", kKindEdit},
        {"normaledit", kKindNormalEdit},
        {"searchedit", kKindSearchEdit},
        {"combobox", kKindComboBox},
        {"btnex", kKindButtonEx},
        {"subview", kKindWindow},
    };
    if (!name)
        return kKindNone;
    for (const auto& row : kTable) {
        if (strcasecmp(row.name, name) == 0)
            return row.kind;
    }
    return kKindNone;
}

CSkinPaths& CSkinPaths::Instance() {
    static CSkinPaths paths;
    return paths;
}

QString CSkinPaths::AppFolder() const {
    if (!m_appFolder.isEmpty())
        return m_appFolder;
    QString dir = QCoreApplication::applicationDirPath();
    return dir.endsWith('/') ? dir : dir + '/';
}

void CSkinPaths::SetAppFolder(const QString& folder) {
    m_appFolder = folder.isEmpty() || folder.endsWith('/') ? folder : folder + '/';
}

QString CSkinPaths::SkinDocument() const {
    return AppFolder() + "skin/" + m_skinName + ".xml";
}

QString CSkinPaths::SkinFile(const QString& file) const {
    return AppFolder() + "skin/" + m_skinName + '/' + file;
}

QImage LoadPngResource(const QString& name) {
    if (name.isEmpty())
        return QImage();
    EnsureSkinResources();
    // Resources are stored under upper-case names; the lookup ignores letter case.
    QFile file(QStringLiteral(":/png/") + name.toUpper());
    if (!file.open(QIODevice::ReadOnly))
        return QImage();
    QImage image;
    if (!image.loadFromData(file.readAll(), "PNG"))
        return QImage();
    return image.convertToFormat(QImage::Format_ARGB32);
}

QImage LoadImageFile(const QString& path) {
    if (path.isEmpty())
        return QImage();
    QImageReader reader(path);
    QImage image = reader.read();
    if (image.isNull())
        return QImage();
    return image.convertToFormat(QImage::Format_ARGB32);
}

namespace {

QImage KeepIfDouble(QImage art, const QImage& base) {
    if (base.isNull() || art.isNull() || art.size() != base.size() * 2)
        return QImage();
    return art;
}

}  // namespace

QImage LoadPngResource2x(const QString& name, const QImage& base) {
    if (name.isEmpty() || base.isNull())
        return QImage();
    return KeepIfDouble(LoadPngResource(name + QStringLiteral("@2x")), base);
}

QImage LoadImageFile2x(const QString& path, const QImage& base) {
    if (path.isEmpty() || base.isNull())
        return QImage();
    const QFileInfo info(path);
    const QString suffix = info.suffix();
    QString name = info.completeBaseName() + QStringLiteral("@2x");
    if (!suffix.isEmpty())
        name += '.' + suffix;
    const QString art = info.dir().filePath(name);
    if (!QFileInfo::exists(art))
        return QImage();
    return KeepIfDouble(LoadImageFile(art), base);
}

qreal SurfaceRatio(const QPainter& g) {
    const QPaintDevice* device = g.device();
    return device ? device->devicePixelRatioF() : 1.0;
}

CArt PickArt(const QImage& base, const QImage& art2x, const QPainter& g) {
    if (!art2x.isNull() && SurfaceRatio(g) > 1.0)
        return {art2x, 2};
    return {base, 1};
}

QFont MakeSkinFont(const QString& family, double points, bool bold, bool underline) {
    static const bool substitutes = [] {
        // Skins written for Chinese systems ask for SimSun by its Chinese name; any installed CJK
        // family draws it better than a Latin-only fallback.
        QStringList cjk = {QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"),
                           QStringLiteral("Droid Sans Fallback")};
        QFont::insertSubstitutions(QStringLiteral("宋体"), cjk);
        QFont::insertSubstitutions(QStringLiteral("SimSun"), cjk);
        return true;
    }();
    (void)substitutes;
    QFont font(family.isEmpty() ? QStringLiteral("sans-serif") : family);
    font.setStyleHint(QFont::SansSerif);
    // Sizes are points on a 96 dpi surface, as the skins were drawn for.
    int pixels = static_cast<int>(std::lround((points > 0 ? points : 9.0) * 96.0 / 72.0));
    font.setPixelSize(pixels > 0 ? pixels : 1);
    font.setBold(bold);
    font.setUnderline(!bold && underline);
    return font;
}

}  // namespace tessali::skin
