// The edit controls "edit", "normaledit" and "searchedit": skin nodes that own a text-input window
// (a QLineEdit) placed over their rectangle in the window that the owner names through code 101,
// with an optional up-down control. "edit" chooses a behaviour variant: a hot-key field, a search
// field with a drop list, a number field, or plain. The system windows take their own mouse and
// keyboard input; the control only places, colours and reads them. GUI thread only.
#pragma once

#include <QFont>
#include <QLineEdit>
#include <QPointer>
#include <memory>

#include "skin/drop_list.h"
#include "skin/skin_ctrl.h"

namespace tessali::skin {

class CSkinEditBase;

// The text-input window. It remembers its control (the window's user data) and offers each key to
// the control's variant before the line edit's own handling.
class CEditWindow : public QLineEdit {
public:
    CEditWindow(QWidget* parent, CSkinEditBase* control);
    CSkinEditBase* Control() const { return m_control; }
    void Detach() { m_control = nullptr; }

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    CSkinEditBase* m_control;
};

// The up-down control beside an edit: the upper half steps towards "upper", the lower half towards
// "lower", and each step writes the position into the buddy as a plain integer.
class CUpDownWindow : public QWidget {
public:
    CUpDownWindow(QWidget* parent, QLineEdit* buddy, int lower, int upper);
    int Lower() const { return m_lower; }
    int Upper() const { return m_upper; }
    int Position() const { return m_pos; }
    void SetPosition(int pos);
    // One step up (+1) or down (-1), starting from the number the buddy shows.
    void Step(int direction);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QPointer<QLineEdit> m_buddy;
    int m_lower;
    int m_upper;
    int m_pos;
};

class CSkinEditBase : public CSkinCtrl {
public:
    ~CSkinEditBase() override;

    // Reads the element, asks the owner for the parent window (code 101) and creates the windows;
    // 0 when the owner names no window.
    int LoadFromNode(const tinyxml2::XMLElement& e, IMirtCallBack* owner) override;
    bool Layout(int parentWidth, int parentHeight) override;
    void ClearChildren() override;
    // "distext" shows a text in the "dis_col" colour; "text" shows a text in the text colour;
    // "enable" and "show" switch the window.
    intptr_t SetProperty(const QString& name, const CSkinValue& value, intptr_t extra = 0) override;

    CEditWindow* Window() const { return m_window.data(); }
    CUpDownWindow* UpDown() const { return m_upDown.data(); }
    QString Text() const;
    void SetText(const QString& text);
    const QFont& Font() const { return m_font; }
    int Limit() const { return m_limit; }
    bool IsPassword() const { return m_password; }
    // The window's background while disabled, kept through later colour changes (the combo box
    // shows its disabled fill through its edit).
    void SetDisabledBackground(const QColor& colour);
    // Places the windows over a rectangle of the parent window (the combo box places its edit).
    void PlaceWindows(const QRect& rect);

    bool IsFocusable() const override { return true; }
    bool TakesFocus() const override;
    void Press() override {}
    QWidget* FocusWidget() const override;

    // The variant's key handling; true when the key was consumed.
    virtual bool EditKeyPress(QKeyEvent& event) { return false; }
    // Whether every key, shortcuts included, goes to the field first.
    virtual bool WantsAllKeys() const { return false; }
    virtual void EditFocusOut(Qt::FocusReason reason) {}

protected:
    explicit CSkinEditBase(int kind) : CSkinCtrl(kind) {}
    // Kind-specific attributes, read after the common ones and before the windows are made.
    virtual void ReadAttributes(const tinyxml2::XMLElement& e) = 0;
    // Called once the text window exists.
    virtual void SetUpWindow() {}
    // Applies background and text colours (system colour values) to the window.
    void ApplyColours(Colour background, Colour text);

    QFont m_font;
    int m_limit = 0;
    bool m_password = false;
    bool m_hasColours = false;  // only "edit" sets the window's colours
    Colour m_bkCol = 0, m_txtCol = 0, m_disCol = 0;
    int m_upDownOn = 0, m_lower = 0, m_upper = 0;
    QColor m_disabledBackground;  // invalid: the enabled background
    QPointer<CEditWindow> m_window;
    QPointer<CUpDownWindow> m_upDown;
};

// "edit": colours, font, limit, password, up-down, and the behaviour variant.
class CSkinEdit : public CSkinEditBase {
public:
    enum Variant { kPlain, kHotKey, kSearch, kNumber };

    CSkinEdit() : CSkinEditBase(kKindEdit) {}
    ~CSkinEdit() override;
    Variant GetVariant() const { return m_variant; }
    void ClearChildren() override;
    intptr_t SetProperty(const QString& name, const CSkinValue& value, intptr_t extra = 0) override;

    // The hot-key variant's combination: HotKeyModifier bits and the virtual key (0 when cleared).
    int HotKeyModifiers() const { return m_hotModifiers; }
    int HotKey() const { return m_hotKey; }
    // Sets the combination and shows its text, as a key press does.
    void SetHotKey(int modifiers, int virtualKey);

    // The search variant's drop list (null for the other variants).
    CWinDropList* DropList() const { return m_dropList.data(); }
    // Filters the list by the edit's text and shows it below the edit (hides it when empty).
    void ShowDropList();

    bool EditKeyPress(QKeyEvent& event) override;
    bool WantsAllKeys() const override { return m_variant == kHotKey; }
    void EditFocusOut(Qt::FocusReason reason) override;

protected:
    explicit CSkinEdit(int kind) : CSkinEditBase(kind) {}
    void ReadAttributes(const tinyxml2::XMLElement& e) override;
    void SetUpWindow() override;
    // The list colours and font of the search variant.
    void ReadListLook(const tinyxml2::XMLElement& e);

    Variant m_variant = kPlain;
    int m_hotModifiers = 0;
    int m_hotKey = 0;
    CDropListLook m_listLook;
    QPointer<CWinDropList> m_dropList;
};

// "normaledit": a plain field with an "Arial" 14 font, a password form through "edittype".
class CSkinNormalEdit : public CSkinEditBase {
public:
    CSkinNormalEdit() : CSkinEditBase(kKindNormalEdit) {}

protected:
    void ReadAttributes(const tinyxml2::XMLElement& e) override;
};

// "searchedit": the search variant of "edit" with a "宋体" font sized by "size" (9 points by default).
class CSkinSearchEdit : public CSkinEdit {
public:
    CSkinSearchEdit() : CSkinEdit(kKindSearchEdit) {}

protected:
    void ReadAttributes(const tinyxml2::XMLElement& e) override;
};

// The font of "face" and "lfheight": the height is in logical units, which are pixels here.
QFont MakeLogicalFont(const QString& face, int height);

}  // namespace tessali::skin
