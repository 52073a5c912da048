#include "skin/skin_text.h"

#include <QFontMetrics>

#include "skin/skin_button.h"
#include "skin/skin_reader.h"
#include "skin/skin_tables.h"

namespace tessali::skin {

namespace {

constexpr int kUnbounded = 32767;

int FrameCountFor(const QImage& image) {
    return image.isNull() ? 0 : 3;
}

}  // namespace

// ---- CSkinText ----

int CSkinText::LoadFromNode(const tinyxml2::XMLElement& e, IMirtCallBack* owner) {
    if (!CSkinCtrl::LoadFromNode(e, owner))
        return 0;
    m_face = ReadText("face", e);
    m_size = ReadReal("size", e, 0);
    m_colour = ReadColour("color", e, 0);
    m_redColour = ReadColour("redshowcolor", e, 0xFFFF0000);
    m_center = ReadInt("center", e, 0);
    m_txtLeft = ReadInt("txtleft", e, 0);
    m_vCenter = ReadInt("vcenter", e, 0);
    m_bold = ReadInt("bold", e, 0);
    m_underline = m_bold ? 0 : ReadInt("underline", e, 0);
    return 1;
}

QFont CSkinText::Font() const {
    return MakeSkinFont(m_face, m_size, m_bold != 0, m_underline != 0);
}

QString CSkinText::AccessibleName() const {
    return m_text.isEmpty() ? m_caption : m_text;
}

int CSkinText::MeasuredWidth() const {
    const int measured = QFontMetrics(Font()).horizontalAdvance(m_text);
    if (m_width > 0)
        return std::min(measured, m_width);
    if (m_skinWidth > 0)
        return std::min(measured, m_skinWidth);
    return measured;
}

void CSkinText::DrawText(QPainter& g, const QRect& rect) const {
    const QFont font = Font();
    const QFontMetrics metrics(font);
    g.save();
    g.setFont(font);
    g.setPen(QColor::fromRgba(TextColour()));
    const int left = rect.x() + m_posX;
    const QRect box(left, rect.y(), rect.width(), rect.height());
    if (m_center) {
        g.drawText(box, Qt::AlignHCenter | Qt::AlignTop,
                   metrics.elidedText(m_text, Qt::ElideRight, box.width()));
    } else if (m_txtLeft) {
        g.drawText(box, Qt::AlignLeft | Qt::AlignTop,
                   metrics.elidedText(m_text, Qt::ElideRight, box.width()));
    } else if (m_vCenter) {
        const int t = metrics.height();
        const int m = metrics.horizontalAdvance(m_text);
        int top = rect.y();
        bool twoLines = false;
        if (rect.width() > m && rect.height() > t) {
            top = rect.y() + (rect.height() - t) / 2;
        } else if (rect.width() > m / 2 && rect.height() > 2 * t) {
            top = rect.y() + (rect.height() - 2 * t) / 2;
            twoLines = true;
        }
        const QRect placed(left, top, rect.width(), rect.height());
        if (twoLines) {
            g.drawText(placed, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, m_text);
        } else {
            g.drawText(placed, Qt::AlignLeft | Qt::AlignTop,
                       metrics.elidedText(m_text, Qt::ElideRight, rect.width()));
        }
    } else {
        g.drawText(QRect(left, rect.y(), kUnbounded, kUnbounded), Qt::AlignLeft | Qt::AlignTop, m_text);
    }
    g.restore();
}

void CSkinText::Draw(QPainter& g) {
    if (!m_shown || m_text.isEmpty())
        return;
    DrawText(g, QRect(m_x, m_y, m_width, m_height));
}

intptr_t CSkinText::SetProperty(const QString& name, const CSkinValue& value, intptr_t extra) {
    const int v = static_cast<int>(value.number);
    if (name == QLatin1String("text")) {
        m_text = value.text;
    } else if (name == QLatin1String("show")) {
        m_shown = v;
    } else if (name == QLatin1String("posx")) {
        m_posX = v;
    } else if (name == QLatin1String("redshow")) {
        m_redShow = v;
    } else if (name == QLatin1String("getwidth")) {
        return MeasuredWidth();
    } else if (name == QLatin1String("rectwidth")) {
        return m_width;
    }
    return 0;
}

// ---- CSkinTxtBtn ----

void CSkinTxtBtn::Measure() {
    const QFontMetrics metrics(Font());
    const QRect box =
        metrics.boundingRect(QRect(0, 0, kUnbounded, kUnbounded), Qt::AlignLeft | Qt::AlignTop, m_text);
    m_measured = box.size();
    m_width = m_measured.width();
    m_height = m_measured.height();
}

bool CSkinTxtBtn::Layout(int parentWidth, int parentHeight) {
    const bool changed = CSkinText::Layout(parentWidth, parentHeight);
    // The measured text stays the hit area whatever the layout gives.
    if (!m_text.isEmpty()) {
        m_width = m_measured.width();
        m_height = m_measured.height();
    }
    return changed;
}

bool CSkinTxtBtn::HitTest(int x, int y) {
    if (!m_shown)
        return false;
    const int px = static_cast<int16_t>(x);
    const int py = static_cast<int16_t>(y);
    return px >= m_x && px < m_x + m_measured.width() && py >= m_y && py < m_y + m_measured.height();
}

bool CSkinTxtBtn::OnLButtonDown() {
    m_hover = 1;
    m_pressed = 1;
    return true;
}

bool CSkinTxtBtn::OnLButtonUp() {
    m_pressed = 0;
    if (m_hover)
        Notify(CommandId(), 0, 0);
    return true;
}

intptr_t CSkinTxtBtn::SetProperty(const QString& name, const CSkinValue& value, intptr_t extra) {
    if (name == QLatin1String("text")) {
        m_text = value.text;
        Measure();
        return 0;
    }
    return CSkinText::SetProperty(name, value, extra);
}

// ---- CSkinPageBtn ----

int CSkinPageBtn::CurrentFrame() const {
    if (m_hover)
        return 2;
    return m_active ? 1 : 0;
}

QRect CSkinPageBtn::ShiftedRect() const {
    return QRect(m_x + static_cast<int>(m_width * m_posFraction), m_y, m_width, m_height);
}

void CSkinPageBtn::Draw(QPainter& g) {
    if (!m_shown)
        return;
    const QRect rect = ShiftedRect();
    if (const int frames = FrameCountFor(m_image)) {
        const int frameWidth = m_image.width() / frames;
        if (frameWidth > 0) {
            const CArt art = PickArt(m_image, m_image2x, g);
            g.drawImage(rect, art.image,
                        QRect(CurrentFrame() * frameWidth * art.scale, 0, frameWidth * art.scale,
                              art.image.height()));
        }
    }
    if (!m_text.isEmpty())
        DrawText(g, rect);
}

bool CSkinPageBtn::HitTest(int x, int y) {
    if (!m_shown)
        return false;
    return ShiftedRect().contains(static_cast<int16_t>(x), static_cast<int16_t>(y));
}

bool CSkinPageBtn::OnLButtonUp() {
    m_pressed = 0;
    if (m_hover)
        Notify(CommandId(), m_page, 0);
    return true;
}

intptr_t CSkinPageBtn::SetProperty(const QString& name, const CSkinValue& value, intptr_t extra) {
    const int v = static_cast<int>(value.number);
    if (name == QLatin1String("show")) {
        m_shown = v;
        m_active = 0;
        if (v)
            m_page = static_cast<int>(extra);
        return 0;
    }
    if (name == QLatin1String("active")) {
        m_active = v;
        if (v)
            m_shown = 1;
        if (extra > 0)
            m_page = static_cast<int>(extra);
        return 0;
    }
    if (name == QLatin1String("changepage")) {
        m_page += v;
        return 0;
    }
    if (name == QLatin1String("getpage"))
        return m_page;
    return CSkinText::SetProperty(name, value, extra);
}

intptr_t CSkinPageBtn::SetRealProperty(const QString& name, double value) {
    if (name == QLatin1String("posx"))
        m_posFraction = value;
    return 0;
}

QString CSkinPageBtn::AccessibleName() const {
    if (!m_text.isEmpty())
        return m_text;
    return m_page > 0 ? QStringLiteral("第%1页").arg(m_page) : CSkinCtrl::AccessibleName();
}

void CSkinPageBtn::AddTooltip(CSkinTool& tool) {
    const QString text =
        m_page > 0 ? QStringLiteral("第%1页").arg(m_page) : CSkinTooltipTable::Instance().Lookup(m_id);
    if (text.isEmpty())
        return;
    tool.active = true;
    tool.rect = ShiftedRect();
    tool.text = text;
}

}  // namespace tessali::skin
