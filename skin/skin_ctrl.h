// CSkinCtrl: a node of a skinned window's control tree and the root part of every skinned window.
// It reads its element, lays itself out against its parent's area, draws, answers the window's mouse
// events and notifies its owner. Controls are not system windows. GUI thread only.
#pragma once

#include <tinyxml2.h>
#include <QAccessible>
#include <QImage>
#include <QPainter>
#include <QString>
#include <climits>
#include <vector>

#include "skin/mirt_callback.h"
#include "skin/skin_types.h"

namespace tessali::skin {

class CSkinCtrl {
public:
    explicit CSkinCtrl(int kind);
    virtual ~CSkinCtrl();
    CSkinCtrl(const CSkinCtrl&) = delete;
    CSkinCtrl& operator=(const CSkinCtrl&) = delete;

    // Frees every child (recursively) except embedded windows, which belong to someone else.
    virtual void ClearChildren();
    // Removes and deletes the first entry equal to child, unless it is an embedded window.
    virtual void RemoveChild(CSkinCtrl* child);
    virtual QRect GetRect() const { return QRect(m_x, m_y, m_width, m_height); }
    // Draws the control at its place in the parent's coordinates; the base draws only the children.
    virtual void Draw(QPainter& g);
    int GetKind() const { return m_kind; }
    // Reads the common attributes and the child elements; 0 refuses the element.
    virtual int LoadFromNode(const tinyxml2::XMLElement& e, IMirtCallBack* owner);
    // Lays the control out in a parent area of w x h; false when the area is the same as last time.
    virtual bool Layout(int parentWidth, int parentHeight);
    // Depth first, ids compared exactly.
    virtual CSkinCtrl* FindChild(const QString& id);
    virtual CSkinCtrl* CreateChild(const tinyxml2::XMLElement& e, IMirtCallBack* owner);
    virtual void LoadChildren(const tinyxml2::XMLElement& e, IMirtCallBack* owner);
    virtual intptr_t SetRealProperty(const QString& name, double value) { return 0; }
    virtual intptr_t SetProperty(const QString& name, const CSkinValue& value, intptr_t extra = 0) {
        return 0;
    }
    // Whether the control takes the mouse at (x, y) in its parent's coordinates.
    virtual bool HitTest(int x, int y) { return false; }
    // Mouse events from the window; each returns whether the control changed.
    virtual bool OnMouseEnter();
    virtual bool OnMouseLeave();
    virtual bool OnLButtonDown();
    virtual bool OnLButtonUp();
    virtual bool MarkHot();
    virtual void Idle() {}
    virtual bool OnRButtonUp();
    virtual bool OnRButtonDown();
    // Registers the control's tooltip as the window's one tool; the base has none.
    virtual void AddTooltip(CSkinTool& tool) {}

    // Keyboard: whether the kind ever takes the focus, and whether it takes it now (shown and
    // enabled, for the buttons). Pressing is what a click of the left button does.
    virtual bool IsFocusable() const { return false; }
    virtual bool TakesFocus() const { return false; }
    virtual void Press();
    // The system window that holds the keyboard focus for the control (the edits' text windows).
    virtual QWidget* FocusWidget() const { return nullptr; }
    // Where the focus mark and the accessible rectangle go, in the window's coordinates.
    virtual QRect FocusRect() const { return GetRect(); }
    void SetHover(bool hover) { m_hover = hover ? 1 : 0; }

    // What assistive technology is told about the control; NoRole keeps it out of the tree.
    virtual QAccessible::Role AccessibleRole() const { return QAccessible::NoRole; }
    // The skin's "caption", else the tooltip, else the id.
    virtual QString AccessibleName() const;
    virtual bool IsCheckable() const { return false; }
    virtual bool IsChecked() const { return false; }
    // The value of a progress bar, 0 to 100.
    virtual double AccessibleValue() const { return 0; }
    const QString& Caption() const { return m_caption; }

    const QString& Id() const { return m_id; }
    const std::vector<CSkinCtrl*>& Children() const { return m_children; }
    void AppendChild(CSkinCtrl* child) { m_children.push_back(child); }
    void SetOwner(IMirtCallBack* owner) { m_owner = owner; }
    IMirtCallBack* Owner() const { return m_owner; }
    bool IsShown() const { return m_shown != 0; }
    bool IsHover() const { return m_hover != 0; }
    bool IsPressed() const { return m_pressed != 0; }
    bool IsEnabled() const { return m_enabled != 0; }
    bool WantsHandCursor() const { return m_handCursor != 0; }
    uint8_t Anchor() const { return m_anchor; }
    QRect SkinRect() const { return QRect(m_skinX, m_skinY, m_skinWidth, m_skinHeight); }
    const QImage& Image() const { return m_image; }
    // The same picture drawn at twice the resolution; null when the skin has none.
    const QImage& Image2x() const { return m_image2x; }
    Colour BackgroundColour() const { return m_bgColour; }
    void SetLastMouse(int x, int y) {
        m_lastMouseX = x;
        m_lastMouseY = y;
    }

protected:
    // The numeric command id of this control's "id" (0 when not in the table).
    int CommandId() const;
    intptr_t Notify(int code, intptr_t first, intptr_t second);
    // The button hit test: enabled, shown and the point inside the laid-out rectangle.
    bool ButtonHit(int x, int y) const;
    // Frame k of an image strip of n frames, scaled into the laid-out rectangle.
    void DrawFrame(QPainter& g, int frame, int frames) const;
    void DrawChildren(QPainter& g);

    std::vector<CSkinCtrl*> m_children;
    int m_shown = 1;
    int m_hover = 0;
    int m_pressed = 0;
    int m_enabled = 1;
    QString m_id;
    QString m_caption;
    uint8_t m_anchor = 0;
    int m_skinX = 0, m_skinY = 0, m_skinWidth = 0, m_skinHeight = 0;
    int m_kind;
    int m_x = 0, m_y = 0, m_width = 0, m_height = 0;
    static constexpr int kNoSize = INT32_MIN;
    int m_lastParentWidth = kNoSize, m_lastParentHeight = kNoSize;
    int m_handCursor = 0;
    QImage m_image;
    QImage m_image2x;
    Colour m_bgColour = 0;
    int m_lastMouseX = 0, m_lastMouseY = 0;
    IMirtCallBack* m_owner = nullptr;
};

}  // namespace tessali::skin
