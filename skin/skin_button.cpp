#include "skin/skin_button.h"

#include <QDesktopServices>
#include <QFontMetrics>
#include <QUrl>

#include "skin/skin_reader.h"
#include "skin/skin_tables.h"

namespace tessali::skin {

namespace {

CSkinCoincideImage::LinkOpener& Opener() {
    static CSkinCoincideImage::LinkOpener opener = [](const QString& link) {
        QDesktopServices::openUrl(QUrl::fromUserInput(link));
    };
    return opener;
}

const QColor ToQColor(Colour c) {
    return QColor::fromRgba(c);
}

}  // namespace

// ---- CSkinButton ----

int CSkinButton::LoadFromNode(const tinyxml2::XMLElement& e, IMirtCallBack* owner) {
    if (!CSkinCtrl::LoadFromNode(e, owner))
        return 0;
    const int frames = ReadInt("imagenum", e, 0);
    if (frames > 0)
        m_frames = frames;
    return 1;
}

int CSkinButton::CurrentFrame() const {
    if (!m_enabled)
        return m_frames == 4 ? 3 : 0;
    if (m_hover && m_pressed) {
        if (m_frames >= 3)
            return 2;
        return m_frames == 2 ? 1 : 0;
    }
    if (m_hover)
        return 1;
    return 0;
}

void CSkinButton::Draw(QPainter& g) {
    if (!m_shown)
        return;
    if (!m_image.isNull())
        DrawFrame(g, CurrentFrame(), m_frames);
    DrawChildren(g);
}

bool CSkinButton::OnMouseEnter() {
    m_hover = 1;
    return true;
}

bool CSkinButton::OnMouseLeave() {
    m_hover = 0;
    return true;
}

bool CSkinButton::OnLButtonDown() {
    m_hover = 1;
    m_pressed = 1;
    return true;
}

bool CSkinButton::OnLButtonUp() {
    m_pressed = 0;
    // The window sends OnMouseLeave when a press is dragged off, so only a release over the
    // button clicks it.
    if (m_hover)
        Notify(CommandId(), 0, 0);
    return true;
}

intptr_t CSkinButton::SetProperty(const QString& name, const CSkinValue& value, intptr_t extra) {
    if (name == QLatin1String("enable")) {
        m_enabled = static_cast<int>(value.number);
    } else if (name == QLatin1String("show")) {
        m_shown = static_cast<int>(value.number);
    }
    return 0;
}

void CSkinButton::AddTableTooltip(CSkinTool& tool, const QString& text) const {
    if (text.isEmpty())
        return;
    tool.active = true;
    tool.rect = QRect(m_x, m_y, m_width, m_height);
    tool.text = text;
}

void CSkinButton::AddTooltip(CSkinTool& tool) {
    AddTableTooltip(tool, CSkinTooltipTable::Instance().Lookup(m_id));
}

// ---- CSkinPressBtn ----

int CSkinPressBtn::CurrentFrame() const {
    if (m_pressed)
        return 2;
    if (m_hover)
        return 1;
    return 0;
}

void CSkinPressBtn::Draw(QPainter& g) {
    if (!m_image.isNull())
        DrawFrame(g, CurrentFrame(), 3);
}

bool CSkinPressBtn::OnLButtonUp() {
    m_pressed = m_latched;
    if (m_hover)
        Notify(CommandId(), reinterpret_cast<intptr_t>(static_cast<CSkinCtrl*>(this)), 0);
    return true;
}

intptr_t CSkinPressBtn::SetProperty(const QString& name, const CSkinValue& value, intptr_t extra) {
    if (name == QLatin1String("down")) {
        m_pressed = static_cast<int>(value.number);
        m_latched = static_cast<int>(value.number);
    }
    return 0;
}

// ---- CSkinSelectButton ----

int CSkinSelectButton::CurrentFrame() const {
    return m_selected ? 1 : 0;
}

// "imagenum" is read like any button's, but this kind always draws from two frames.
void CSkinSelectButton::Draw(QPainter& g) {
    if (!m_shown)
        return;
    if (!m_image.isNull())
        DrawFrame(g, CurrentFrame(), 2);
    DrawChildren(g);
}

bool CSkinSelectButton::OnLButtonDown() {
    m_hover = 1;
    m_selected = 1;
    return true;
}

bool CSkinSelectButton::OnLButtonUp() {
    m_selected = 1;
    m_pressed = 0;
    if (m_hover)
        Notify(kNotifySelectPage, ParseInt(m_id.mid(4).toUtf8().constData()), 0);
    return true;
}

intptr_t CSkinSelectButton::SetProperty(const QString& name, const CSkinValue& value, intptr_t extra) {
    if (name == QLatin1String("down")) {
        m_selected = static_cast<int>(value.number);
        return 0;
    }
    return CSkinButton::SetProperty(name, value, extra);
}

// ---- CSkinButtonEx ----

int CSkinButtonEx::LoadFromNode(const tinyxml2::XMLElement& e, IMirtCallBack* owner) {
    if (!CSkinCtrl::LoadFromNode(e, owner))
        return 0;
    m_stateNum = ReadInt("statenum", e, 6);
    m_frames = m_stateNum;
    m_colour = ReadColour("color", e, 0xFF000000);
    m_redColour = ReadColour("redshowcolor", e, 0xFFFF0000);
    return 1;
}

int CSkinButtonEx::CurrentFrame() const {
    int frame = 0;
    if (!m_enabled) {
        frame = m_stateNum - 1;
    } else if (m_pressed) {
        frame = 2;
    } else if (m_hover) {
        frame = 1;
    }
    return frame + (m_ticked ? 3 : 0);
}

Colour CSkinButtonEx::LabelColour() const {
    if (!m_enabled)
        return 0xFF808080;
    return m_redShow ? m_redColour : m_colour;
}

QRect CSkinButtonEx::LabelRect() const {
    QFontMetrics metrics(MakeSkinFont(QStringLiteral("宋体"), 9, false, false));
    QRect box = metrics.boundingRect(QRect(0, 0, 32767, 32767), Qt::AlignLeft | Qt::AlignTop, m_label);
    return QRect(m_x + m_width + 1, m_y, box.width(), box.height());
}

QRect CSkinButtonEx::FocusRect() const {
    return m_label.isEmpty() ? GetRect() : GetRect().united(LabelRect());
}

QString CSkinButtonEx::AccessibleName() const {
    return m_label.isEmpty() ? CSkinButton::AccessibleName() : m_label;
}

void CSkinButtonEx::Draw(QPainter& g) {
    if (!m_shown)
        return;
    if (!m_image.isNull())
        DrawFrame(g, CurrentFrame(), m_stateNum);
    if (m_label.isEmpty())
        return;
    g.save();
    g.setFont(MakeSkinFont(QStringLiteral("宋体"), 9, false, false));
    g.setPen(ToQColor(LabelColour()));
    g.drawText(LabelRect(), Qt::AlignCenter, m_label);
    g.restore();
}

bool CSkinButtonEx::OnLButtonDown() {
    m_pressed = 1;
    return true;
}

bool CSkinButtonEx::OnLButtonUp() {
    if (m_pressed && m_hover && m_enabled) {
        if (m_stateNum > 5)
            m_ticked = !m_ticked;
        Notify(CommandId(), 0, 0);
    }
    m_pressed = 0;
    return true;
}

intptr_t CSkinButtonEx::SetProperty(const QString& name, const CSkinValue& value, intptr_t extra) {
    const int v = static_cast<int>(value.number);
    if (name == QLatin1String("text")) {
        m_label = value.text;
    } else if (name == QLatin1String("StateNums")) {
        m_stateNum = v;
        m_frames = v;
    } else if (name == QLatin1String("show")) {
        m_shown = v;
    } else if (name == QLatin1String("change")) {
        m_ticked = v;
    } else if (name == QLatin1String("enable")) {
        m_enabled = v;
    } else if (name == QLatin1String("redshow")) {
        m_redShow = v;
    }
    return 0;
}

// ---- CSkinCoincideImage ----

void CSkinCoincideImage::SetLinkOpener(LinkOpener opener) {
    Opener() = std::move(opener);
}

QString CSkinCoincideImage::AccessibleName() const {
    return m_source.text.isEmpty() ? CSkinButton::AccessibleName() : m_source.text;
}

void CSkinCoincideImage::Draw(QPainter& g) {
    if (!m_shown)
        return;
    if (!m_image.isNull())
        g.drawImage(QRect(m_x, m_y, m_width, m_height), PickArt(m_image, m_image2x, g).image);
    DrawChildren(g);
}

bool CSkinCoincideImage::OnMouseEnter() {
    m_hover = 1;
    Notify(kNotifyLinkEnter, 0, 0);
    return true;
}

bool CSkinCoincideImage::OnMouseLeave() {
    m_hover = 0;
    Notify(kNotifyLinkLeave, 0, 0);
    return true;
}

bool CSkinCoincideImage::OnLButtonUp() {
    m_pressed = 0;
    if (m_hover && !m_source.link.isEmpty() && Opener())
        Opener()(m_source.link);
    return true;
}

intptr_t CSkinCoincideImage::SetProperty(const QString& name, const CSkinValue& value, intptr_t extra) {
    if (name == QLatin1String("source")) {
        m_image = LoadPngResource(value.source.image);
        m_image2x = LoadPngResource2x(value.source.image, m_image);
        m_source = value.source;
        return 0;
    }
    if (name == QLatin1String("imagepath")) {
        if (value.source.image.isEmpty())
            return 0;
        m_image = LoadImageFile(value.source.image);
        m_image2x = LoadImageFile2x(value.source.image, m_image);
        m_source = value.source;
        return 0;
    }
    return CSkinButton::SetProperty(name, value, extra);
}

}  // namespace tessali::skin
