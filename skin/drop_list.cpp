#include "skin/drop_list.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <algorithm>

#include "skin/system_colour.h"

namespace tessali::skin {

void CDropList::SetItems(const QStringList& items) {
    m_items.clear();
    for (const QString& item : items) {
        if (!m_items.contains(item))
            m_items.push_back(item);
    }
    Refilter();
}

void CDropList::AddItem(const QString& item) {
    if (m_items.contains(item))
        return;
    m_items.push_back(item);
    Refilter();
}

bool CDropList::RemoveItem(const QString& item) {
    if (!m_items.removeOne(item))
        return false;
    Refilter();
    return true;
}

void CDropList::Clear() {
    m_items.clear();
    Refilter();
}

void CDropList::SetFilter(const QString& text) {
    m_filter = text;
    Refilter();
}

void CDropList::Refilter() {
    m_shown.clear();
    for (int i = 0; i < m_items.size(); ++i) {
        if (m_items[i].startsWith(m_filter, Qt::CaseInsensitive))
            m_shown.push_back(i);
    }
    // The hovered entry may have gone; a fresh filter starts with nothing hovered.
    m_hover = -1;
}

QString CDropList::At(int row) const {
    const int index = ItemIndex(row);
    return index < 0 ? QString() : m_items[index];
}

int CDropList::ItemIndex(int row) const {
    if (row < 0 || row >= Count())
        return -1;
    return m_shown[static_cast<size_t>(row)];
}

void CDropList::SetHover(int row) {
    if (row < 0 || Count() == 0) {
        m_hover = -1;
        return;
    }
    m_hover = std::min(row, Count() - 1);
}

void CDropList::MoveHover(int delta) {
    if (Count() == 0 || delta == 0)
        return;
    if (m_hover < 0) {
        m_hover = delta > 0 ? 0 : Count() - 1;
        return;
    }
    m_hover = std::clamp(m_hover + delta, 0, Count() - 1);
}

CWinDropList::CWinDropList(QWidget* parent)
    : QWidget(parent,
              Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus) {
    // The edit keeps the keyboard while its list is open.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    setMouseTracking(true);
    m_itemHeight = MeasureItemHeight();
}

void CWinDropList::SetLook(const CDropListLook& look) {
    m_look = look;
    m_itemHeight = MeasureItemHeight();
    if (isVisible())
        Resize();
}

int CWinDropList::MeasureItemHeight() const {
    return std::max(16, QFontMetrics(m_look.font).height() + 6);
}

void CWinDropList::ShowBelow(const QRect& anchor, int width) {
    if (m_list.Count() == 0) {
        hide();
        return;
    }
    QWidget* window = parentWidget();
    const QPoint below(anchor.x(), anchor.y() + anchor.height());
    move(window ? window->mapToGlobal(below) : below);
    m_top = 0;
    KeepHoverVisible();
    resize(std::max(width, 1), height());
    Resize();
    show();
    raise();
}

void CWinDropList::Resize() {
    const int rows = std::min(m_list.Count(), kMaxRows);
    resize(width(), rows * m_itemHeight + 2);
    update();
}

bool CWinDropList::Choose(int row) {
    if (row < 0 || row >= m_list.Count())
        return false;
    const QString text = m_list.At(row);
    hide();
    if (m_onChosen)
        m_onChosen(text);
    if (m_owner)
        m_owner->OnSkinNotify(kNotifyListChosen, reinterpret_cast<intptr_t>(&text),
                              reinterpret_cast<intptr_t>(m_sender));
    return true;
}

bool CWinDropList::ChooseHover() {
    return Choose(m_list.Hover());
}

void CWinDropList::MoveHover(int delta) {
    m_list.MoveHover(delta);
    KeepHoverVisible();
}

int CWinDropList::RowAt(const QPoint& p) const {
    if (p.x() < 1 || p.x() >= width() - 1 || p.y() < 1 || m_itemHeight <= 0)
        return -1;
    const int row = m_top + (p.y() - 1) / m_itemHeight;
    if (row >= m_list.Count() || row >= m_top + kMaxRows)
        return -1;
    return row;
}

void CWinDropList::KeepHoverVisible() {
    const int hover = m_list.Hover();
    const int maxTop = std::max(0, m_list.Count() - kMaxRows);
    if (hover >= 0) {
        if (hover < m_top)
            m_top = hover;
        else if (hover >= m_top + kMaxRows)
            m_top = hover - kMaxRows + 1;
    }
    m_top = std::clamp(m_top, 0, maxTop);
    update();
}

void CWinDropList::paintEvent(QPaintEvent*) {
    QPainter g(this);
    g.fillRect(rect(), SystemColour(m_look.background));
    g.setFont(m_look.font);
    const int rows = std::min(m_list.Count() - m_top, kMaxRows);
    for (int i = 0; i < rows; ++i)
        DrawRow(g, m_top + i, QRect(1, 1 + i * m_itemHeight, width() - 2, m_itemHeight));
    g.setPen(SystemColour(m_look.frame));
    g.drawRect(0, 0, width() - 1, height() - 1);
}

void CWinDropList::DrawRow(QPainter& g, int row, const QRect& r) {
    const bool hover = row == m_list.Hover();
    if (hover)
        g.fillRect(r, SystemColour(m_look.itemHover));
    g.setPen(SystemColour(hover ? m_look.hoverText : m_look.text));
    g.drawText(r.adjusted(4, 0, -4, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
               g.fontMetrics().elidedText(m_list.At(row), Qt::ElideRight, r.width() - 8));
}

void CWinDropList::mouseMoveEvent(QMouseEvent* event) {
    const int row = RowAt(event->position().toPoint());
    if (row != m_list.Hover()) {
        m_list.SetHover(row);
        update();
    }
}

void CWinDropList::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint p = event->position().toPoint();
    const int row = RowAt(p);
    if (row >= 0)
        ClickRow(row, p);
}

void CWinDropList::leaveEvent(QEvent*) {
    m_list.SetHover(-1);
    update();
}

void CWinDropList::wheelEvent(QWheelEvent* event) {
    const int steps = event->angleDelta().y() / 120;
    const int maxTop = std::max(0, m_list.Count() - kMaxRows);
    m_top = std::clamp(m_top - steps, 0, maxTop);
    update();
}

void CWinDropList::ClickRow(int row, const QPoint&) {
    Choose(row);
}

int CSkinComboBoxListBox::MeasureItemHeight() const {
    const int markHeight = m_look.listImage.isNull() ? 0 : m_look.listImage.height() + 4;
    return std::max(CWinDropList::MeasureItemHeight(), markHeight);
}

QRect CSkinComboBoxListBox::DeleteMark(const QRect& row) const {
    if (m_look.listImage.isNull())
        return QRect();
    const int w = m_look.listImage.width() / 2;
    const int h = m_look.listImage.height();
    return QRect(row.right() + 1 - 4 - w, row.y() + (row.height() - h) / 2, w, h);
}

void CSkinComboBoxListBox::DrawRow(QPainter& g, int row, const QRect& r) {
    const bool hover = row == m_list.Hover();
    const bool current = !m_current.isEmpty() && m_list.At(row) == m_current;
    if (hover)
        g.fillRect(r, SystemColour(m_look.itemHover));
    const QRect mark = DeleteMark(r);
    const int textRight = mark.isNull() ? r.right() - 4 : mark.x() - 4;
    QRect textRect(r.x() + 4, r.y(), textRight - r.x() - 4 + 1, r.height());
    QFont font = m_look.font;
    // The entry the combo box shows is written in bold.
    font.setBold(current);
    g.setFont(font);
    g.setPen(SystemColour(hover ? m_look.hoverText : m_look.text));
    g.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
               g.fontMetrics().elidedText(m_list.At(row), Qt::ElideRight, textRect.width()));
    if (!mark.isNull() && hover) {
        const int frame = m_markHover ? 1 : 0;
        g.drawImage(mark, m_look.listImage, QRect(frame * mark.width(), 0, mark.width(), mark.height()));
    }
}

void CSkinComboBoxListBox::mouseMoveEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    const int row = RowAt(p);
    bool markHover = false;
    if (row >= 0) {
        const QRect r(1, 1 + (row - m_top) * m_itemHeight, width() - 2, m_itemHeight);
        markHover = DeleteMark(r).contains(p);
    }
    if (row != m_list.Hover() || markHover != m_markHover) {
        m_list.SetHover(row);
        m_markHover = markHover;
        update();
    }
}

void CSkinComboBoxListBox::ClickRow(int row, const QPoint& p) {
    const QRect r(1, 1 + (row - m_top) * m_itemHeight, width() - 2, m_itemHeight);
    if (!DeleteMark(r).contains(p)) {
        Choose(row);
        return;
    }
    const QString text = m_list.At(row);
    m_list.RemoveItem(text);
    m_markHover = false;
    if (text == m_current)
        m_current.clear();
    if (m_list.Count() == 0)
        hide();
    else
        Resize();
    if (m_onDeleted)
        m_onDeleted(text);
}

}  // namespace tessali::skin
