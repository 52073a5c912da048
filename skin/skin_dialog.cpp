#include "skin/skin_dialog.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>

namespace tessali::skin {

CSkinDialog::CSkinDialog(const QString& skinName, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint), CSkinRoot(this, skinName, kKindDialog, true) {
    setMouseTracking(true);
}

CSkinDialog::~CSkinDialog() = default;

void CSkinDialog::InitDialog() {
    if (m_initialised)
        return;
    m_initialised = true;
    OnInitDialog();
}

void CSkinDialog::OnInitDialog() {
    LoadSkin();
    OnSkinLoaded();
}

void CSkinDialog::EndDialog(int result) {
    QMetaObject::invokeMethod(
        this,
        [this, result] {
            m_closeResult = result;
            close();
        },
        Qt::QueuedConnection);
}

void CSkinDialog::reject() {
    m_closeResult = 0;
    close();
}

void CSkinDialog::paintEvent(QPaintEvent* event) {
    HandlePaintEvent(event);
}

void CSkinDialog::resizeEvent(QResizeEvent*) {
    OnSize();
}

void CSkinDialog::closeEvent(QCloseEvent* event) {
    OnClose();
    event->accept();
    done(m_closeResult);
    m_closeResult = 0;
}

void CSkinDialog::setVisible(bool visible) {
    if (visible)
        InitDialog();
    QDialog::setVisible(visible);
}

void CSkinDialog::mouseMoveEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    OnMouseMove(KeyBits(event->buttons(), event->modifiers()), p.x(), p.y());
}

void CSkinDialog::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint p = event->position().toPoint();
    OnLButtonDown(KeyBits(event->buttons(), event->modifiers()), p.x(), p.y());
}

void CSkinDialog::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint p = event->position().toPoint();
    OnLButtonUp(KeyBits(event->buttons(), event->modifiers()), p.x(), p.y());
}

void CSkinDialog::leaveEvent(QEvent* event) {
    OnMouseLeave(event);
}

void CSkinDialog::keyPressEvent(QKeyEvent* event) {
    if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
        if (OnNavigationKey(event->key()))
            return;
    }
    // Escape reaches reject() from here.
    QDialog::keyPressEvent(event);
}

bool CSkinDialog::focusNextPrevChild(bool next) {
    return MoveFocus(next) || QDialog::focusNextPrevChild(next);
}

}  // namespace tessali::skin
