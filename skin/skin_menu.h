// CSkinMenu: the program's popup menus drawn in the skin's look instead of the desktop style. Load
// turns a QMenu's items into skinned items (separators, popups matched against the application's
// popup table, commands with their first '&' removed) and installs a style that measures and draws
// them with the menu look values. GUI thread only.
#pragma once

#include <QImage>
#include <QMenu>
#include <QPointer>
#include <QProxyStyle>
#include <QString>
#include <map>
#include <memory>
#include <vector>

#include "skin/skin_types.h"

namespace tessali::skin {

// Process-wide look of skinned menus, set when the program starts.
struct CSkinMenuLook {
    static CSkinMenuLook& Instance();
    QFont Font() const;

    int separatorHeight = 10;
    int itemHeight = 20 + 4;
    int stripWidth = 24;
    int widthLimit = 300;
    int labelWidth = 85;
    int accelWidth = 50;
    Colour separatorColour = 0xFFB6C3CC;
    Colour background = 0xFFFFFFFF;
    Colour stripColour = 0xFFF5F6F5;
    Colour textColour = 0xFF333333;
    Colour selectedTextColour = 0xFFE1FFFF;
    Colour grayedTextColour = 0xFF999999;
    QString face = QStringLiteral("宋体");
    double points = 9;
};

// One item's record: its text (at most 260 characters) and command id.
struct CSkinMenuItem {
    static constexpr int kMaxText = 260;
    QString text;
    int id = 0;
};

// A row of the application's popup table: popups whose text matches become skinned entries.
struct CSkinMenuPopupRow {
    QString text;
    bool grayed = false;
};

class CSkinMenu {
public:
    // The command id 32773 item gets the menu's icon in its strip (the exit item of the tray menu).
    static constexpr int kIconCommand = 32773;

    CSkinMenu();
    ~CSkinMenu();
    CSkinMenu(const CSkinMenu&) = delete;
    CSkinMenu& operator=(const CSkinMenu&) = delete;

    // The command id of an action is its data() as an integer.
    static QAction* AddCommand(QMenu* menu, const QString& text, int id);

    // Converts the menu and its submenus; the menu is not owned.
    void Load(QMenu* menu, const std::vector<CSkinMenuPopupRow>& popupTable = {});
    void SetImages(const QImage& selected, const QImage& icon);
    QMenu* Menu() const { return m_menu; }

    // The record of an action; null for separators and popups outside the table.
    const CSkinMenuItem* ItemOf(const QAction* action) const;
    bool IsSeparator(const QAction* action) const;
    // Item sizes; the menu makes all its items as wide as the widest.
    QSize MeasureItem(const QAction* action) const;
    void DrawItem(QPainter& painter, const QRect& rect, const QAction* action, bool selected) const;

private:
    class CStyle;
    void Convert(QMenu* menu, const std::vector<CSkinMenuPopupRow>& popupTable);

    QPointer<QMenu> m_menu;
    std::map<const QAction*, std::unique_ptr<CSkinMenuItem>> m_items;
    std::map<const QAction*, bool> m_separators;
    std::unique_ptr<QStyle> m_style;
    std::vector<QPointer<QMenu>> m_styled;
    QImage m_selected;
    QImage m_icon;
};

}  // namespace tessali::skin
