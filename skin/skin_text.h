// Text controls: "txt" (a line of text in the skin's font and colour), "txtbtn" (a text that is
// clicked) and "pagebtn" (a paged button with a three-frame strip). GUI thread only.
#pragma once

#include <QFont>

#include "skin/skin_ctrl.h"

namespace tessali::skin {

class CSkinText : public CSkinCtrl {
public:
    CSkinText() : CSkinCtrl(kKindText) {}
    int LoadFromNode(const tinyxml2::XMLElement& e, IMirtCallBack* owner) override;
    void Draw(QPainter& g) override;
    intptr_t SetProperty(const QString& name, const CSkinValue& value, intptr_t extra = 0) override;

    const QString& Text() const { return m_text; }
    QFont Font() const;
    Colour TextColour() const { return m_redShow ? m_redColour : m_colour; }
    int PosX() const { return m_posX; }
    // The text's width in its font, limited as the "getwidth" property reports it.
    int MeasuredWidth() const;
    QAccessible::Role AccessibleRole() const override { return QAccessible::StaticText; }
    // The text shown, else the skin's caption.
    QString AccessibleName() const override;

protected:
    explicit CSkinText(int kind) : CSkinCtrl(kind) {}
    void DrawText(QPainter& g, const QRect& rect) const;

    QString m_face;
    double m_size = 0;
    Colour m_colour = 0;
    Colour m_redColour = 0xFFFF0000;
    int m_center = 0, m_txtLeft = 0, m_vCenter = 0;
    int m_bold = 0, m_underline = 0;
    QString m_text;
    int m_posX = 0;
    int m_redShow = 0;
};

// "txtbtn": its hit area is the measured text; enabled is not tested.
class CSkinTxtBtn : public CSkinText {
public:
    CSkinTxtBtn() : CSkinText(kKindTxtBtn) {}
    bool Layout(int parentWidth, int parentHeight) override;
    bool HitTest(int x, int y) override;
    bool OnLButtonDown() override;
    bool OnLButtonUp() override;
    intptr_t SetProperty(const QString& name, const CSkinValue& value, intptr_t extra = 0) override;
    bool IsFocusable() const override { return true; }
    bool TakesFocus() const override { return m_shown != 0; }
    QRect FocusRect() const override { return QRect(QPoint(m_x, m_y), m_measured); }
    QAccessible::Role AccessibleRole() const override { return QAccessible::Link; }

private:
    void Measure();
    QSize m_measured;
};

// "pagebtn": frames hover / active / normal; shifted right by a fraction of its width.
class CSkinPageBtn : public CSkinText {
public:
    CSkinPageBtn() : CSkinText(kKindPageBtn) {}
    void Draw(QPainter& g) override;
    bool HitTest(int x, int y) override;
    bool OnLButtonUp() override;
    intptr_t SetProperty(const QString& name, const CSkinValue& value, intptr_t extra = 0) override;
    intptr_t SetRealProperty(const QString& name, double value) override;
    void AddTooltip(CSkinTool& tool) override;
    int CurrentFrame() const;
    bool IsFocusable() const override { return true; }
    bool TakesFocus() const override { return m_shown != 0; }
    QRect FocusRect() const override { return ShiftedRect(); }
    QAccessible::Role AccessibleRole() const override { return QAccessible::PushButton; }
    QString AccessibleName() const override;
    int Page() const { return m_page; }
    bool IsActive() const { return m_active != 0; }
    QRect ShiftedRect() const;

private:
    int m_active = 0;
    int m_page = 0;
    double m_posFraction = 0;
};

}  // namespace tessali::skin
