// CSkinDialog: a skinned modal dialog. Like CSkinWnd but without tooltips, right-button handling or
// the first-paint rule; its corner key colour comes from "sidecolor" and its background defaults
// to opaque white. Tab walks its controls, Enter and Space press the focused one and Escape closes
// it as its close button does. The version dialog derives from it. GUI thread only.
#pragma once

#include <QDialog>

#include "skin/skin_root.h"

namespace tessali::skin {

class CSkinDialog : public QDialog, public CSkinRoot {
public:
    explicit CSkinDialog(const QString& skinName, QWidget* parent = nullptr);
    ~CSkinDialog() override;

    // Runs the init-dialog handling once: LoadSkin, OnSkinLoaded. Showing the dialog runs it when
    // this was not called.
    void InitDialog();
    virtual void OnInitDialog();
    // Posts the close message with the result; the modal loop ends with it.
    void EndDialog(int result);
    Colour SideColour() const { return m_sideColour; }
    // Escape and the system's cancel end the dialog through the close handling too.
    void reject() override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

public:
    // Init-dialog handling runs before the first show so the pending size message lays it out.
    void setVisible(bool visible) override;

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool focusNextPrevChild(bool next) override;

private:
    bool m_initialised = false;
    int m_closeResult = 0;
};

}  // namespace tessali::skin
