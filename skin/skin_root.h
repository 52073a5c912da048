// CSkinRoot: the part that CSkinWnd and CSkinDialog share. It is the window's root control (its
// children are the skin's controls, its image slot the off-screen ARGB buffer, its kind the window's
// kind) and its IMirtCallBack; it loads the skin, composes and copies the buffer, shapes the window
// from corner images and routes the mouse to the controls. It also moves the keyboard focus among
// the controls and shows them to assistive technology. The buffer has the window's device pixel
// ratio, so scaled screens get the skin's 2x pictures and sharp text; layout stays in logical
// pixels. GUI thread only, like the process-wide painting state below.
#pragma once

#include <QPaintEvent>
#include <QTimer>
#include <QWidget>
#include <map>
#include <vector>

#include "skin/skin_ctrl.h"

namespace tessali::skin {

// State shared by every skinned window of the process.
struct CSkinState {
    static CSkinState& Instance();
    bool firstPaintDone = false;     // the very first paint request of the process draws nothing
    bool paintingSuspended = false;  // set while the main window closes
};

// Win32-style key-state bits of a mouse message, which decide the drag notification.
enum MouseKeyBits : int {
    kKeyLButton = 0x01,
    kKeyRButton = 0x02,
    kKeyShift = 0x04,
    kKeyControl = 0x08,
    kKeyMButton = 0x10,
};

class CSkinRoot : public CSkinCtrl, public IMirtCallBack {
public:
    ~CSkinRoot() override;

    // The window's skin element name ("pyxdlmain", "SelectVersionDlg", ...).
    const QString& SkinName() const { return m_skinName; }
    QWidget* Widget() const { return m_widget; }
    bool IsDialog() const { return m_isDialog; }
    void SetKind(int kind) { m_kind = kind; }

    // Hooks and steps, overridable by the application's windows.
    virtual void OnSkinLoaded() {}
    virtual void LoadWindowAttributes(const tinyxml2::XMLElement& e);
    // The generic loader: the skin document in the skin folder.
    virtual void LoadSkin();
    virtual CSkinCtrl* ControlAt(int x, int y);
    virtual void Paint();
    virtual void UpdateRegion();

    // Applies the window's element of a parsed document (attributes, then controls owned by this
    // window); false when the document has no element of the window's name.
    bool ApplySkinDocument(const tinyxml2::XMLDocument& doc);
    // The built-in skin compiled into the program, parsed straight from its bytes.
    bool LoadBuiltinSkin();

    // Message handlers, called by the Qt event handlers of the window classes. Positions are
    // client coordinates; keys are MouseKeyBits.
    virtual void OnSize();
    virtual void OnClose();
    virtual void OnMouseMove(int keys, int x, int y);
    virtual void OnLButtonDown(int keys, int x, int y);
    virtual void OnLButtonUp(int keys, int x, int y);
    virtual void OnMouseLeave(QEvent* event);
    virtual void OnTimer(int timerId) {}

    // CSkinCtrl overrides of the root part.
    void ClearChildren() override;
    int LoadFromNode(const tinyxml2::XMLElement& e, IMirtCallBack* owner) override;
    bool Layout(int parentWidth, int parentHeight) override;
    using CSkinCtrl::OnLButtonDown;
    using CSkinCtrl::OnLButtonUp;
    using CSkinCtrl::OnMouseLeave;

    // Answers code 101 with this window's widget, which parents the edits' text windows; passes the
    // other codes on when embedded.
    intptr_t OnSkinNotify(int code, intptr_t first, intptr_t second) override;

    // Draws one control straight over what the window shows (through the buffer, which always
    // holds the window's picture), without repainting what lies beneath it.
    void RedrawControl(CSkinCtrl* control);

    // Keyboard focus among the controls, in reading order (top to bottom, then left to right).
    CSkinCtrl* FocusControl() const { return m_focusCtrl; }
    // Moves the focus to the next or previous control that takes it now, wrapping round; false
    // when none does.
    bool MoveFocus(bool forward);
    // Focuses a control (null: none): an edit's text window, else the window itself with the
    // skin's focus mark on the control.
    void SetFocusControl(CSkinCtrl* control);
    // Presses a control as a click of the left button does.
    void PressControl(CSkinCtrl* control);
    // Enter, Return and Space press the focused control; true when the key was used.
    bool OnNavigationKey(int key);
    // Every control of the window's own tree whose kind takes the focus, in reading order.
    std::vector<CSkinCtrl*> FocusOrder() const;
    // The shown controls that have an accessible role, in reading order.
    std::vector<CSkinCtrl*> AccessibleControls() const;
    bool OwnsControl(const CSkinCtrl* control) const;
    // The accessible interface of one of the window's controls (created on first use, dropped
    // with the controls).
    QAccessibleInterface* AccessibleInterfaceOf(CSkinCtrl* control);
    Colour FocusColour() const { return m_focusColour; }

    CSkinCtrl* HoverControl() const { return m_hoverCtrl; }
    CSkinCtrl* PressedControl() const { return m_pressedCtrl; }
    const CSkinTool& Tool() const { return m_tool; }
    const QImage& Buffer() const { return m_image; }
    const QImage& TopSide() const { return m_topSide; }
    const QImage& BottomSide() const { return m_bottomSide; }
    bool IsButtonHeld() const { return m_buttonHeld; }
    bool IsTracking() const { return m_tracking; }

    // Win32-style key bits of a Qt mouse event.
    static int KeyBits(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers);
    // The position word of a mouse message: x in the low and y in the high 16 bits.
    static intptr_t PositionWord(int x, int y);

protected:
    CSkinRoot(QWidget* widget, const QString& skinName, int kind, bool isDialog);

    // Paint steps the application's Paint reuses.
    bool EnsureBuffer();
    void DrawChildrenToBuffer();
    // Copies the buffer to the window (a repaint of the window that shows the buffer).
    void CopyToWindow(const QRect& rect = QRect());
    // The paint event of the window: the system's requests go through Paint, our own copy requests
    // only show the buffer.
    void HandlePaintEvent(QPaintEvent* event);
    void ShowTooltipSoon();
    void DropTooltip();
    // Device pixels per logical pixel of the window's screen, which the buffer takes.
    qreal BufferRatio() const;
    // The skin's mark around the focused control.
    void DrawFocusMark(QPainter& p);
    void DropAccessibleInterfaces();

    QWidget* m_widget;
    QString m_skinName;
    bool m_isDialog;
    QImage m_topSide;
    QImage m_bottomSide;
    Colour m_sideColour = 0xFFFF00FF;
    CSkinCtrl* m_hoverCtrl = nullptr;
    CSkinCtrl* m_pressedCtrl = nullptr;
    bool m_tooltipsEnabled = false;
    CSkinTool m_tool;
    QTimer m_tipTimer;
    bool m_tracking = false;
    bool m_buttonHeld = false;
    // Bumped whenever the controls are freed, so a handler that cleared them while a control was
    // notifying does not touch the freed control afterwards.
    unsigned m_generation = 0;
    bool m_copyPending = false;
    bool m_inPaintEvent = false;
    CSkinCtrl* m_focusCtrl = nullptr;
    Colour m_focusColour = 0xFFFFC000;
    std::map<const CSkinCtrl*, QAccessible::Id> m_accessibleIds;
};

}  // namespace tessali::skin
