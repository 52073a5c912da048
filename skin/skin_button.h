// The button family of skin controls: plain, latching ("pressbtn"), page-select ("selectbtn"),
// check box ("btnex") and link picture ("coincideimage"). Each draws one frame of its image strip
// for its state and notifies its owner when clicked. GUI thread only.
#pragma once

#include <functional>

#include "skin/skin_ctrl.h"

namespace tessali::skin {

// "btn": n frames ("imagenum", default 3): normal, hover, pressed, and with 4 frames disabled.
class CSkinButton : public CSkinCtrl {
public:
    CSkinButton() : CSkinCtrl(kKindButton) {}
    int LoadFromNode(const tinyxml2::XMLElement& e, IMirtCallBack* owner) override;
    void Draw(QPainter& g) override;
    bool HitTest(int x, int y) override { return ButtonHit(x, y); }
    bool OnMouseEnter() override;
    bool OnMouseLeave() override;
    bool OnLButtonDown() override;
    bool OnLButtonUp() override;
    intptr_t SetProperty(const QString& name, const CSkinValue& value, intptr_t extra = 0) override;
    void AddTooltip(CSkinTool& tool) override;
    // The frame the current state shows.
    virtual int CurrentFrame() const;
    int Frames() const { return m_frames; }
    bool IsFocusable() const override { return true; }
    bool TakesFocus() const override { return m_shown && m_enabled; }
    QAccessible::Role AccessibleRole() const override { return QAccessible::PushButton; }

protected:
    explicit CSkinButton(int kind) : CSkinCtrl(kind) {}
    void AddTableTooltip(CSkinTool& tool, const QString& text) const;

    int m_frames = 3;
};

// "pressbtn": three frames, drawn even when hidden; the "down" property latches the pressed look.
class CSkinPressBtn : public CSkinButton {
public:
    void Draw(QPainter& g) override;
    bool OnLButtonUp() override;
    intptr_t SetProperty(const QString& name, const CSkinValue& value, intptr_t extra = 0) override;
    int CurrentFrame() const override;
    bool IsLatched() const { return m_latched != 0; }
    bool IsCheckable() const override { return true; }
    bool IsChecked() const override { return m_latched != 0; }

private:
    int m_latched = 0;
};

// "selectbtn": two frames, selected or not; a click selects it and sends code 117 with the number
// that ends its id ("page3" gives 3).
class CSkinSelectButton : public CSkinButton {
public:
    void Draw(QPainter& g) override;
    bool OnLButtonDown() override;
    bool OnLButtonUp() override;
    intptr_t SetProperty(const QString& name, const CSkinValue& value, intptr_t extra = 0) override;
    int CurrentFrame() const override;
    bool IsSelected() const { return m_selected != 0; }
    bool TakesFocus() const override { return m_shown != 0; }
    bool IsCheckable() const override { return true; }
    bool IsChecked() const override { return m_selected != 0; }

private:
    int m_selected = 0;
};

// "btnex": a check box of "statenum" frames (default 6: three unticked, three ticked) with a label
// drawn to its right.
class CSkinButtonEx : public CSkinButton {
public:
    CSkinButtonEx() : CSkinButton(kKindButtonEx) {}
    int LoadFromNode(const tinyxml2::XMLElement& e, IMirtCallBack* owner) override;
    void Draw(QPainter& g) override;
    bool OnLButtonDown() override;
    bool OnLButtonUp() override;
    intptr_t SetProperty(const QString& name, const CSkinValue& value, intptr_t extra = 0) override;
    int CurrentFrame() const override;
    bool IsTicked() const { return m_ticked != 0; }
    const QString& Label() const { return m_label; }
    // The colour the label is drawn in for the current state.
    Colour LabelColour() const;
    // Where the label is drawn: right of the box, in its own measured box.
    QRect LabelRect() const;
    // The box and its label.
    QRect FocusRect() const override;
    QAccessible::Role AccessibleRole() const override { return QAccessible::CheckBox; }
    QString AccessibleName() const override;
    bool IsCheckable() const override { return true; }
    bool IsChecked() const override { return m_ticked != 0; }

private:
    int m_stateNum = 6;
    Colour m_colour = 0xFF000000;
    Colour m_redColour = 0xFFFF0000;
    int m_ticked = 0;
    int m_redShow = 0;
    QString m_label;
};

// "coincideimage": the slide-show picture; a click opens its link address.
class CSkinCoincideImage : public CSkinButton {
public:
    void Draw(QPainter& g) override;
    bool OnMouseEnter() override;
    bool OnMouseLeave() override;
    bool OnLButtonUp() override;
    intptr_t SetProperty(const QString& name, const CSkinValue& value, intptr_t extra = 0) override;
    const CImageSource& Source() const { return m_source; }
    // Reached by the keyboard only while it has a link to open.
    bool TakesFocus() const override { return m_shown && !m_source.link.isEmpty(); }
    QAccessible::Role AccessibleRole() const override { return QAccessible::Link; }
    // The picture's own text, else the skin's caption.
    QString AccessibleName() const override;

    // How links are opened (the desktop's URL handler by default); tests record instead.
    using LinkOpener = std::function<void(const QString&)>;
    static void SetLinkOpener(LinkOpener opener);

private:
    CImageSource m_source;
};

}  // namespace tessali::skin
