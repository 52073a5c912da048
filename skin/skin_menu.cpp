#include "skin/skin_menu.h"

#include <QFontMetrics>
#include <QPainter>
#include <QStyleOptionMenuItem>

#include "skin/skin_reader.h"

namespace tessali::skin {

namespace {

QString StripFirstAmpersand(QString text) {
    const int at = text.indexOf('&');
    if (at >= 0)
        text.remove(at, 1);
    return text.left(CSkinMenuItem::kMaxText);
}

}  // namespace

CSkinMenuLook& CSkinMenuLook::Instance() {
    static CSkinMenuLook look;
    return look;
}

QFont CSkinMenuLook::Font() const {
    return MakeSkinFont(face, points, false, false);
}

// Measures and draws the menu's items through its CSkinMenu; the menu panel has no frame or margin
// so the items' pictures make the whole menu.
class CSkinMenu::CStyle : public QProxyStyle {
public:
    static constexpr int kCheckMarkAllowance = 12;

    explicit CStyle(const CSkinMenu* owner) : m_owner(owner) {}

    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override {
        switch (metric) {
            case PM_MenuPanelWidth:
            case PM_MenuHMargin:
            case PM_MenuVMargin:
            case PM_MenuDesktopFrameWidth:
                return 0;
            default:
                return QProxyStyle::pixelMetric(metric, option, widget);
        }
    }

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        if (element == PE_PanelMenu || element == PE_FrameMenu) {
            painter->fillRect(option->rect, QColor::fromRgba(CSkinMenuLook::Instance().background));
            return;
        }
        QProxyStyle::drawPrimitive(element, option, painter, widget);
    }

    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override {
        if (type != CT_MenuItem)
            return QProxyStyle::sizeFromContents(type, option, size, widget);
        const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
        if (!item)
            return size;
        const CSkinMenuLook& look = CSkinMenuLook::Instance();
        if (item->menuItemType == QStyleOptionMenuItem::Separator)
            return QSize(1, look.separatorHeight);
        // The option carries the action's text; measuring needs nothing else.
        // Desktop menus widen every owner-drawn item by the check mark's width beyond what the
        // owner measured; the labels, drawn from the strip's edge plus 8, rely on that room.
        QSize measured = MeasureText(StripFirstAmpersand(item->text));
        measured.rwidth() += kCheckMarkAllowance;
        return measured;
    }

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        if (element != CE_MenuItem) {
            QProxyStyle::drawControl(element, option, painter, widget);
            return;
        }
        const auto* menu = qobject_cast<const QMenu*>(widget);
        const QAction* action = menu ? menu->actionAt(option->rect.center()) : nullptr;
        const bool selected = option->state & State_Selected;
        m_owner->DrawItem(*painter, option->rect, action, selected);
    }

    static QSize MeasureText(const QString& text) {
        const CSkinMenuLook& look = CSkinMenuLook::Instance();
        int width;
        if (text.contains('\t')) {
            width = look.stripWidth + look.labelWidth + look.accelWidth;
        } else {
            width = QFontMetrics(look.Font()).horizontalAdvance(text) + 2 + look.stripWidth;
        }
        return QSize(std::min(width, look.widthLimit), look.itemHeight);
    }

private:
    const CSkinMenu* m_owner;
};

CSkinMenu::CSkinMenu() : m_style(std::make_unique<CStyle>(this)) {}

CSkinMenu::~CSkinMenu() {
    for (const QPointer<QMenu>& menu : m_styled) {
        if (menu)
            menu->setStyle(nullptr);
    }
}

QAction* CSkinMenu::AddCommand(QMenu* menu, const QString& text, int id) {
    QAction* action = menu->addAction(text);
    action->setData(id);
    return action;
}

void CSkinMenu::SetImages(const QImage& selected, const QImage& icon) {
    m_selected = selected;
    m_icon = icon;
}

void CSkinMenu::Load(QMenu* menu, const std::vector<CSkinMenuPopupRow>& popupTable) {
    if (!menu)
        return;
    m_menu = menu;
    Convert(menu, popupTable);
}

void CSkinMenu::Convert(QMenu* menu, const std::vector<CSkinMenuPopupRow>& popupTable) {
    menu->setStyle(m_style.get());
    m_styled.emplace_back(menu);
    for (QAction* action : menu->actions()) {
        if (action->isSeparator()) {
            m_separators[action] = true;
            continue;
        }
        if (QMenu* popup = action->menu()) {
            for (const CSkinMenuPopupRow& row : popupTable) {
                if (row.text == action->text()) {
                    m_items[action] =
                        std::make_unique<CSkinMenuItem>(CSkinMenuItem{StripFirstAmpersand(row.text), 0});
                    if (row.grayed)
                        action->setEnabled(false);
                    break;
                }
            }
            Convert(popup, popupTable);
            continue;
        }
        m_items[action] = std::make_unique<CSkinMenuItem>(
            CSkinMenuItem{StripFirstAmpersand(action->text()), action->data().toInt()});
    }
}

const CSkinMenuItem* CSkinMenu::ItemOf(const QAction* action) const {
    auto it = m_items.find(action);
    return it == m_items.end() ? nullptr : it->second.get();
}

bool CSkinMenu::IsSeparator(const QAction* action) const {
    return action && (m_separators.count(action) || action->isSeparator());
}

QSize CSkinMenu::MeasureItem(const QAction* action) const {
    const CSkinMenuLook& look = CSkinMenuLook::Instance();
    if (IsSeparator(action))
        return QSize(1, look.separatorHeight);
    const CSkinMenuItem* item = ItemOf(action);
    return CStyle::MeasureText(item ? item->text : QString());
}

void CSkinMenu::DrawItem(QPainter& painter, const QRect& rect, const QAction* action, bool selected) const {
    if (rect.width() <= 0 || rect.height() <= 0)
        return;
    const CSkinMenuLook& look = CSkinMenuLook::Instance();
    QImage picture(rect.size(), QImage::Format_ARGB32);
    picture.fill(look.background);
    {
        QPainter p(&picture);
        const int w = rect.width();
        const int h = rect.height();
        if (IsSeparator(action)) {
            p.setPen(QColor::fromRgba(look.separatorColour));
            p.drawLine(look.stripWidth + 2, h / 2, w - 1 - 1, h / 2);
            p.fillRect(0, 0, look.stripWidth, h, QColor::fromRgba(look.stripColour));
        } else {
            if (selected && !m_selected.isNull() && m_selected.width() > 0) {
                for (int x = 0; x < w; x += m_selected.width()) {
                    p.drawImage(QRect(x, 0, m_selected.width(), h), m_selected);
                }
            } else {
                p.fillRect(0, 0, look.stripWidth, h, QColor::fromRgba(look.stripColour));
            }
            const CSkinMenuItem* item = ItemOf(action);
            const QString text = item ? item->text : QString();
            Colour colour = look.textColour;
            if (action && !action->isEnabled()) {
                colour = look.grayedTextColour;
            } else if (selected) {
                colour = look.selectedTextColour;
            }
            const QFont font = look.Font();
            const QFontMetrics metrics(font);
            p.setFont(font);
            p.setPen(QColor::fromRgba(colour));
            const int left = look.stripWidth + 8;
            auto drawIn = [&](const QRect& box, const QString& s) {
                p.drawText(box, Qt::AlignLeft | Qt::AlignTop,
                           metrics.elidedText(s, Qt::ElideRight, box.width()));
            };
            const int tab = text.indexOf('\t');
            if (tab >= 0) {
                drawIn(QRect(left, 5, look.labelWidth, 16), text.left(tab));
                drawIn(QRect(left + look.labelWidth + 4, 5, w - look.labelWidth - 4, 16), text.mid(tab + 1));
            } else {
                drawIn(QRect(left, 5, w, 16), text);
            }
            if (item && item->id == kIconCommand && !(action && action->isChecked()) && !m_icon.isNull()) {
                p.drawImage((look.stripWidth - m_icon.width()) / 2, (h - m_icon.height()) / 2, m_icon);
            }
        }
    }
    painter.drawImage(rect.topLeft(), picture);
}

}  // namespace tessali::skin
