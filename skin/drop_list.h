// The popup lists of the search edit and the combo box. CDropList holds the entries a list offers,
// the search text that filters them and the hovered entry; CWinDropList is the frameless popup
// window that shows one, hides itself when an entry is chosen and tells its owner the chosen text;
// CSkinComboBoxListBox is the combo box's list, which also marks the current entry and deletes an
// entry whose delete mark is clicked. GUI thread only.
#pragma once

#include <QFont>
#include <QImage>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <vector>

#include "skin/mirt_callback.h"
#include "skin/skin_types.h"

namespace tessali::skin {

class CSkinCtrl;

// The list colours are system colour values (0x00BBGGRR), like the edit's.
struct CDropListLook {
    Colour background = 0;  // "clrBK"
    Colour text = 0;        // "clrText"
    Colour hoverText = 0;   // "clrHoverText"
    Colour itemHover = 0;   // "clrItemHover"
    Colour frame = 0;       // "clrNormalFrame"
    QFont font;
    QImage listImage;  // "listimage": the delete mark, two frames (normal, hovered)
};

class CDropList {
public:
    void SetItems(const QStringList& items);
    // Adds an entry at the end unless an equal one is there already.
    void AddItem(const QString& item);
    bool RemoveItem(const QString& item);
    void Clear();
    const QStringList& Items() const { return m_items; }

    // Only the entries that begin with the text (letter case ignored) are shown; empty shows all.
    void SetFilter(const QString& text);
    const QString& Filter() const { return m_filter; }
    int Count() const { return static_cast<int>(m_shown.size()); }
    QString At(int row) const;
    // Index into Items() of a shown row, -1 when out of range.
    int ItemIndex(int row) const;

    int Hover() const { return m_hover; }
    // -1 clears; other values are clamped to the shown rows.
    void SetHover(int row);
    // Moves the hover by delta rows, starting from the first or last row when none is hovered.
    void MoveHover(int delta);

private:
    void Refilter();

    QStringList m_items;
    QString m_filter;
    std::vector<int> m_shown;
    int m_hover = -1;
};

class CWinDropList : public QWidget {
public:
    static constexpr int kMaxRows = 8;

    // parent is the window whose coordinates ShowBelow takes; the list is a separate top-level.
    explicit CWinDropList(QWidget* parent);

    CDropList& List() { return m_list; }
    const CDropList& List() const { return m_list; }
    void SetLook(const CDropListLook& look);
    const CDropListLook& Look() const { return m_look; }
    int ItemHeight() const { return m_itemHeight; }

    // Who hears of a choice: code kNotifyListChosen with the text and the sending control.
    void SetOwner(IMirtCallBack* owner, CSkinCtrl* sender) {
        m_owner = owner;
        m_sender = sender;
    }
    // Runs before the owner is notified, so the control shows the text when the owner looks.
    void SetOnChosen(std::function<void(const QString&)> onChosen) { m_onChosen = std::move(onChosen); }

    // Shows the shown rows (at most kMaxRows) below the rectangle, given in the parent's
    // coordinates, width wide; hides the list when it has no row.
    void ShowBelow(const QRect& anchor, int width);
    // Hides the list, then sets the text and notifies the owner. False for a row out of range.
    bool Choose(int row);
    // The hovered row, if any, chosen as by a click.
    bool ChooseHover();
    // Moves the hovered row (see CDropList::MoveHover) and scrolls it into view.
    void MoveHover(int delta);
    // The shown row at a point of the list window, -1 for none.
    int RowAt(const QPoint& p) const;
    int FirstRow() const { return m_top; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

    // A click on a row; the base chooses it.
    virtual void ClickRow(int row, const QPoint& p);
    virtual void DrawRow(QPainter& g, int row, const QRect& rect);
    virtual int MeasureItemHeight() const;
    void KeepHoverVisible();
    void Resize();

    CDropList m_list;
    CDropListLook m_look;
    int m_itemHeight = 20;
    int m_top = 0;
    IMirtCallBack* m_owner = nullptr;
    CSkinCtrl* m_sender = nullptr;
    std::function<void(const QString&)> m_onChosen;
};

class CSkinComboBoxListBox : public CWinDropList {
public:
    explicit CSkinComboBoxListBox(QWidget* parent) : CWinDropList(parent) {}

    // The entry that the combo box shows, marked in the list; empty marks none.
    void SetCurrent(const QString& text) { m_current = text; }
    const QString& Current() const { return m_current; }
    // The delete mark's rectangle in a row's rectangle (empty without a list image).
    QRect DeleteMark(const QRect& row) const;
    // Runs after an entry was deleted through its mark.
    void SetOnDeleted(std::function<void(const QString&)> onDeleted) { m_onDeleted = std::move(onDeleted); }

protected:
    void ClickRow(int row, const QPoint& p) override;
    void DrawRow(QPainter& g, int row, const QRect& rect) override;
    int MeasureItemHeight() const override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    QString m_current;
    bool m_markHover = false;
    std::function<void(const QString&)> m_onDeleted;
};

}  // namespace tessali::skin
