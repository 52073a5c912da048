#include "skin/skin_wnd.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>

namespace tessali::skin {

CSkinWnd::CSkinWnd(const QString& skinName, QWidget* parent)
    : QWidget(parent, parent ? Qt::Widget : Qt::Window | Qt::FramelessWindowHint),
      CSkinRoot(this, skinName, kKindWindow, false) {
    setMouseTracking(true);
}

CSkinWnd::~CSkinWnd() = default;

void CSkinWnd::Create() {
    if (m_created)
        return;
    m_created = true;
    OnCreate();
}

void CSkinWnd::OnCreate() {
    LoadSkin();
    OnSkinLoaded();
    m_tooltipsEnabled = true;
}

void CSkinWnd::SetTimer(int id, int milliseconds) {
    KillTimer(id);
    m_timers[id] = startTimer(milliseconds);
}

void CSkinWnd::KillTimer(int id) {
    auto it = m_timers.find(id);
    if (it == m_timers.end())
        return;
    killTimer(it->second);
    m_timers.erase(it);
}

void CSkinWnd::timerEvent(QTimerEvent* event) {
    for (const auto& [id, qtId] : m_timers) {
        if (qtId == event->timerId()) {
            OnTimer(id);
            return;
        }
    }
    QWidget::timerEvent(event);
}

void CSkinWnd::OnRButtonDown(int keys, int x, int y) {
    CSkinCtrl* control = ControlAt(static_cast<int16_t>(x), static_cast<int16_t>(y));
    m_hoverCtrl = control;
    if (control) {
        m_pressedCtrl = control;
        control->OnRButtonDown();
        RedrawControl(control);
    }
}

void CSkinWnd::OnRButtonUp(int keys, int x, int y) {
    CSkinCtrl* pressed = m_pressedCtrl;
    if (!pressed)
        return;
    const unsigned generation = m_generation;
    pressed->OnRButtonUp();
    if (generation != m_generation)
        return;
    RedrawControl(pressed);
    m_pressedCtrl = nullptr;
}

void CSkinWnd::paintEvent(QPaintEvent* event) {
    HandlePaintEvent(event);
}

void CSkinWnd::resizeEvent(QResizeEvent*) {
    OnSize();
}

void CSkinWnd::closeEvent(QCloseEvent* event) {
    OnClose();
    event->accept();
}

void CSkinWnd::setVisible(bool visible) {
    if (visible)
        Create();
    QWidget::setVisible(visible);
}

void CSkinWnd::mouseMoveEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    OnMouseMove(KeyBits(event->buttons(), event->modifiers()), p.x(), p.y());
}

void CSkinWnd::mousePressEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    const int keys = KeyBits(event->buttons(), event->modifiers());
    if (event->button() == Qt::LeftButton) {
        OnLButtonDown(keys, p.x(), p.y());
    } else if (event->button() == Qt::RightButton) {
        OnRButtonDown(keys, p.x(), p.y());
    }
}

void CSkinWnd::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    const int keys = KeyBits(event->buttons(), event->modifiers());
    if (event->button() == Qt::LeftButton) {
        OnLButtonUp(keys, p.x(), p.y());
    } else if (event->button() == Qt::RightButton) {
        OnRButtonUp(keys, p.x(), p.y());
    }
}

void CSkinWnd::leaveEvent(QEvent* event) {
    OnMouseLeave(event);
}

void CSkinWnd::keyPressEvent(QKeyEvent* event) {
    if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
        if (OnNavigationKey(event->key()))
            return;
    }
    OnKeyDown(event->key());
}

bool CSkinWnd::focusNextPrevChild(bool next) {
    return MoveFocus(next) || QWidget::focusNextPrevChild(next);
}

}  // namespace tessali::skin
