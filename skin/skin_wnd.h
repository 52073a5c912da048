// CSkinWnd: a skinned top-level or child window. It loads its skin when created, lays out on every
// size change, paints through its off-screen buffer, shows tooltips and routes both mouse buttons to
// its controls. The application's main window derives from it. GUI thread only.
#pragma once

#include <QWidget>
#include <map>

#include "skin/skin_root.h"

namespace tessali::skin {

class CSkinWnd : public QWidget, public CSkinRoot {
public:
    explicit CSkinWnd(const QString& skinName, QWidget* parent = nullptr);
    ~CSkinWnd() override;

    // Runs the create handling once: LoadSkin, OnSkinLoaded, the tooltip. Showing the window
    // creates it when this was not called.
    void Create();
    bool IsCreated() const { return m_created; }

    // Window timers keyed by fixed ids; OnTimer receives the id.
    void SetTimer(int id, int milliseconds);
    void KillTimer(int id);

    virtual void OnCreate();
    virtual void OnRButtonDown(int keys, int x, int y);
    virtual void OnRButtonUp(int keys, int x, int y);
    virtual void OnKeyDown(int key) {}
    using CSkinRoot::OnRButtonDown;
    using CSkinRoot::OnRButtonUp;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

public:
    // Creation runs before the first show so the pending size message lays out the loaded skin.
    void setVisible(bool visible) override;

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    // Enter, Return and Space press the focused control; other keys go to OnKeyDown.
    void keyPressEvent(QKeyEvent* event) override;
    // Tab and Shift+Tab walk the controls (the edits' text windows pass them up to here).
    bool focusNextPrevChild(bool next) override;
    void timerEvent(QTimerEvent* event) override;

private:
    bool m_created = false;
    std::map<int, int> m_timers;  // fixed id -> Qt timer id
};

}  // namespace tessali::skin
