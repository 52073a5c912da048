#include "skin/skin_root.h"

#include <QAccessible>
#include <QCursor>
#include <QPainter>
#include <QRegion>
#include <QToolTip>
#include <QtMath>
#include <algorithm>

#include "skin/skin_accessible.h"
#include "skin/skin_document.h"
#include "skin/skin_reader.h"
#include "skin/skin_resources.h"

namespace tessali::skin {

CSkinState& CSkinState::Instance() {
    static CSkinState state;
    return state;
}

CSkinRoot::CSkinRoot(QWidget* widget, const QString& skinName, int kind, bool isDialog)
    : CSkinCtrl(kind), m_widget(widget), m_skinName(skinName), m_isDialog(isDialog) {
    InstallSkinAccessibility();
    // The window takes the keyboard so Tab can walk its controls.
    widget->setFocusPolicy(Qt::StrongFocus);
    if (isDialog)
        m_bgColour = 0xFFFFFFFF;
    m_tipTimer.setSingleShot(true);
    m_tipTimer.setInterval(50);  // the tooltip's initial delay
    QObject::connect(&m_tipTimer, &QTimer::timeout, widget, [this] {
        if (!m_tool.active || !m_hoverCtrl)
            return;
        QToolTip::showText(m_widget->mapToGlobal(QPoint(m_lastMouseX, m_lastMouseY)), m_tool.text, m_widget,
                           m_tool.rect);
    });
}

CSkinRoot::~CSkinRoot() {
    CSkinRoot::ClearChildren();
}

int CSkinRoot::KeyBits(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers) {
    int keys = 0;
    if (buttons & Qt::LeftButton)
        keys |= kKeyLButton;
    if (buttons & Qt::RightButton)
        keys |= kKeyRButton;
    if (buttons & Qt::MiddleButton)
        keys |= kKeyMButton;
    if (modifiers & Qt::ShiftModifier)
        keys |= kKeyShift;
    if (modifiers & Qt::ControlModifier)
        keys |= kKeyControl;
    return keys;
}

intptr_t CSkinRoot::PositionWord(int x, int y) {
    return static_cast<intptr_t>((static_cast<uint32_t>(static_cast<uint16_t>(y)) << 16) |
                                 static_cast<uint16_t>(x));
}

void CSkinRoot::LoadWindowAttributes(const tinyxml2::XMLElement& e) {
    m_focusColour = ReadColour("focuscolor", e, 0xFFFFC000);
    const QString top = ReadText("topside", e);
    if (!top.isEmpty())
        m_topSide = LoadImageFile(CSkinPaths::Instance().SkinFile(top));
    const QString bottom = ReadText("bottomside", e);
    if (!bottom.isEmpty())
        m_bottomSide = LoadImageFile(CSkinPaths::Instance().SkinFile(bottom));
    if (m_isDialog) {
        m_sideColour = ReadColour("sidecolor", e, 0xFFFF00FF);
        m_bgColour = ReadColour("bgcolor", e, 0xFFFFFFFF);
    } else {
        const Colour bg = ReadColour("bgcolor", e, 0);
        if (bg != 0)
            m_bgColour = bg;
    }
}

bool CSkinRoot::ApplySkinDocument(const tinyxml2::XMLDocument& doc) {
    const tinyxml2::XMLElement* element = FindWindowElement(doc, m_skinName);
    if (!element)
        return false;
    LoadWindowAttributes(*element);
    LoadChildren(*element, this);
    return true;
}

void CSkinRoot::LoadSkin() {
    tinyxml2::XMLDocument doc;
    if (ParseSkinFile(doc, CSkinPaths::Instance().SkinDocument()))
        ApplySkinDocument(doc);
}

bool CSkinRoot::LoadBuiltinSkin() {
    tinyxml2::XMLDocument doc;
    if (!ParseSkinBytes(doc, BuiltinSkinBytes()))
        return false;
    return ApplySkinDocument(doc);
}

CSkinCtrl* CSkinRoot::ControlAt(int x, int y) {
    for (CSkinCtrl* child : m_children) {
        if (child->HitTest(x, y))
            return child;
    }
    return nullptr;
}

qreal CSkinRoot::BufferRatio() const {
    const qreal ratio = m_widget->devicePixelRatioF();
    return ratio > 0 ? ratio : 1.0;
}

bool CSkinRoot::EnsureBuffer() {
    const qreal ratio = BufferRatio();
    if (!m_image.isNull() && m_image.devicePixelRatio() == ratio)
        return true;
    if (m_width <= 0 || m_height <= 0)
        return false;
    m_image = QImage(qCeil(m_width * ratio), qCeil(m_height * ratio), QImage::Format_ARGB32);
    m_image.setDevicePixelRatio(ratio);
    return !m_image.isNull();
}

// Between 1x and 2x the 2x pictures are scaled down, which needs smoothing to stay crisp.
static void PrepareBufferPainter(QPainter& p, const QImage& buffer) {
    if (buffer.devicePixelRatio() != 1.0)
        p.setRenderHint(QPainter::SmoothPixmapTransform);
}

void CSkinRoot::DrawChildrenToBuffer() {
    m_image.fill(m_bgColour);
    QPainter p(&m_image);
    PrepareBufferPainter(p, m_image);
    for (CSkinCtrl* child : m_children) {
        // Embedded windows have windows of their own; a dialog draws whatever it holds.
        if (!m_isDialog && IsEmbeddedWindowKind(child->GetKind()))
            continue;
        child->Draw(p);
    }
    DrawFocusMark(p);
}

void CSkinRoot::DrawFocusMark(QPainter& p) {
    if (!m_focusCtrl || m_focusCtrl->FocusWidget() || !m_focusCtrl->TakesFocus())
        return;
    // Small controls get the mark around them, the others inside their edge; a dark line under
    // the dots keeps it visible on light and dark pictures alike.
    QRect r = m_focusCtrl->FocusRect();
    r = r.height() < 16 ? r.adjusted(-2, -2, 2, 2) : r.adjusted(2, 2, -2, -2);
    if (r.width() < 2 || r.height() < 2)
        return;
    const QRectF line = QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5);
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0, 0, 0, 160), 1));
    p.drawRect(line);
    QPen dots(QColor::fromRgba(m_focusColour), 1);
    dots.setDashPattern({1, 1});
    p.setPen(dots);
    p.drawRect(line);
    p.restore();
}

void CSkinRoot::Paint() {
    CSkinState& state = CSkinState::Instance();
    if (!m_isDialog) {
        if (!state.firstPaintDone) {
            state.firstPaintDone = true;
            return;
        }
        if (state.paintingSuspended || m_children.empty())
            return;
        if (!EnsureBuffer())
            return;
    } else {
        if (!EnsureBuffer() || state.paintingSuspended || m_children.empty())
            return;
    }
    DrawChildrenToBuffer();
    CopyToWindow();
}

void CSkinRoot::CopyToWindow(const QRect& rect) {
    m_copyPending = true;
    if (m_inPaintEvent)
        return;
    if (rect.isNull()) {
        m_widget->update();
    } else {
        m_widget->update(rect);
    }
}

void CSkinRoot::HandlePaintEvent(QPaintEvent* event) {
    // The window moved to a screen of another density: compose the picture anew at its ratio.
    if (!m_image.isNull() && m_image.devicePixelRatio() != BufferRatio()) {
        m_image = QImage();
        m_copyPending = false;
    }
    if (!m_copyPending) {
        // A request from the system (exposure): compose the picture as the erase step would.
        m_inPaintEvent = true;
        Paint();
        m_inPaintEvent = false;
    }
    if (m_copyPending && !m_image.isNull()) {
        QPainter p(m_widget);
        p.setClipRegion(event->region());
        p.drawImage(0, 0, m_image);
    }
    m_copyPending = false;
}

void CSkinRoot::RedrawControl(CSkinCtrl* control) {
    if (!control || m_image.isNull() || CSkinState::Instance().paintingSuspended)
        return;
    {
        QPainter p(&m_image);
        PrepareBufferPainter(p, m_image);
        control->Draw(p);
        if (control == m_focusCtrl)
            DrawFocusMark(p);
    }
    QRect area = control->GetRect();
    if (control == m_focusCtrl)
        area = area.united(control->FocusRect().adjusted(-2, -2, 2, 2));
    CopyToWindow(area);
}

void CSkinRoot::UpdateRegion() {
    if (m_topSide.isNull() || m_bottomSide.isNull())
        return;
    const int W = m_widget->width();
    const int H = m_widget->height();
    const Colour key = m_isDialog ? m_sideColour : 0xFFFF00FF;
    QRegion cut;
    // Runs of key-coloured pixels, and their mirror images for the right-hand corner.
    auto cutRows = [&](const QImage& side, int rowOffset) {
        for (int j = 0; j < side.height(); ++j) {
            const QRgb* line = reinterpret_cast<const QRgb*>(side.constScanLine(j));
            for (int i = 0; i < side.width();) {
                if (line[i] != key) {
                    ++i;
                    continue;
                }
                int end = i;
                while (end < side.width() && line[end] == key) ++end;
                const int row = rowOffset + j;
                cut += QRect(i, row, end - i, 1);
                cut += QRect(W - end, row, end - i, 1);
                i = end;
            }
        }
    };
    cutRows(m_topSide, 0);
    cutRows(m_bottomSide, H - m_bottomSide.height());
    m_widget->setMask(QRegion(0, 0, W, H) - cut);
}

void CSkinRoot::OnSize() {
    UpdateRegion();
    bool layout;
    if (m_isDialog) {
        layout = m_kind == kKindDialog;
    } else {
        layout = (m_widget->isWindow() && !m_widget->isMinimized()) || m_kind == kKindChildWindow;
    }
    if (layout && Layout(m_widget->width(), m_widget->height()))
        Paint();
}

void CSkinRoot::OnClose() {
    ClearChildren();
    DropTooltip();
    m_tooltipsEnabled = false;
}

void CSkinRoot::ClearChildren() {
    CSkinCtrl::ClearChildren();
    m_topSide = QImage();
    m_bottomSide = QImage();
    m_image = QImage();
    m_hoverCtrl = nullptr;
    m_pressedCtrl = nullptr;
    m_focusCtrl = nullptr;
    m_tool = CSkinTool();
    DropAccessibleInterfaces();
    ++m_generation;
}

// ---- keyboard ----

namespace {

void CollectTree(const CSkinCtrl* control, std::vector<CSkinCtrl*>& out) {
    for (CSkinCtrl* child : control->Children()) {
        // An embedded window's controls belong to that window.
        if (IsEmbeddedWindowKind(child->GetKind()))
            continue;
        out.push_back(child);
        CollectTree(child, out);
    }
}

void SortByReadingOrder(std::vector<CSkinCtrl*>& controls) {
    std::stable_sort(controls.begin(), controls.end(), [](const CSkinCtrl* a, const CSkinCtrl* b) {
        const QRect ra = a->FocusRect();
        const QRect rb = b->FocusRect();
        if (ra.y() != rb.y())
            return ra.y() < rb.y();
        return ra.x() < rb.x();
    });
}

}  // namespace

std::vector<CSkinCtrl*> CSkinRoot::FocusOrder() const {
    std::vector<CSkinCtrl*> all;
    CollectTree(this, all);
    std::vector<CSkinCtrl*> order;
    for (CSkinCtrl* c : all) {
        if (c->IsFocusable())
            order.push_back(c);
    }
    SortByReadingOrder(order);
    return order;
}

std::vector<CSkinCtrl*> CSkinRoot::AccessibleControls() const {
    std::vector<CSkinCtrl*> all;
    CollectTree(this, all);
    std::vector<CSkinCtrl*> shown;
    for (CSkinCtrl* c : all) {
        if (c->IsShown() && c->AccessibleRole() != QAccessible::NoRole)
            shown.push_back(c);
    }
    SortByReadingOrder(shown);
    return shown;
}

bool CSkinRoot::OwnsControl(const CSkinCtrl* control) const {
    if (!control)
        return false;
    std::vector<CSkinCtrl*> all;
    CollectTree(this, all);
    return std::find(all.begin(), all.end(), control) != all.end();
}

bool CSkinRoot::MoveFocus(bool forward) {
    const std::vector<CSkinCtrl*> order = FocusOrder();
    const int n = static_cast<int>(order.size());
    if (n == 0)
        return false;
    // Where the focus is now: an edit whose text window has it, else the marked control.
    const CSkinCtrl* current = m_focusCtrl;
    for (CSkinCtrl* c : order) {
        if (QWidget* w = c->FocusWidget(); w && w->hasFocus())
            current = c;
    }
    const auto it = std::find(order.begin(), order.end(), current);
    const int at = it == order.end() ? (forward ? -1 : n) : static_cast<int>(it - order.begin());
    for (int step = 1; step <= n; ++step) {
        const int i = ((forward ? at + step : at - step) % n + n) % n;
        if (order[i]->TakesFocus()) {
            SetFocusControl(order[i]);
            return true;
        }
    }
    return false;
}

void CSkinRoot::SetFocusControl(CSkinCtrl* control) {
    if (control && !OwnsControl(control))
        return;
    const bool changed = control != m_focusCtrl;
    const bool hadMark = m_focusCtrl && !m_focusCtrl->FocusWidget();
    m_focusCtrl = control;
    if (control && control->FocusWidget()) {
        control->FocusWidget()->setFocus(Qt::TabFocusReason);
    } else if (control) {
        m_widget->setFocus(Qt::TabFocusReason);
    }
    if (changed && (hadMark || (control && !control->FocusWidget())))
        Paint();  // the whole picture, so the old mark goes
    if (changed && control && !control->FocusWidget() && QAccessible::isActive()) {
        if (QAccessibleInterface* iface = AccessibleInterfaceOf(control)) {
            QAccessibleEvent event(iface, QAccessible::Focus);
            QAccessible::updateAccessibility(&event);
        }
    }
}

void CSkinRoot::PressControl(CSkinCtrl* control) {
    if (!control || !control->TakesFocus() || !OwnsControl(control))
        return;
    const unsigned generation = m_generation;
    control->Press();
    // The notification may have freed the controls (a window closed from its own button).
    if (generation != m_generation)
        return;
    control->SetHover(control == m_hoverCtrl);
    // A button that gave way to another in its place (start to pause) hands the focus over, so
    // the keyboard stays where the eyes are.
    if (control == m_focusCtrl && !control->TakesFocus()) {
        for (CSkinCtrl* c : FocusOrder()) {
            if (c != control && c->TakesFocus() && c->FocusRect() == control->FocusRect()) {
                SetFocusControl(c);
                return;
            }
        }
    }
    RedrawControl(control);
}

bool CSkinRoot::OnNavigationKey(int key) {
    if (key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Space)
        return false;
    if (!m_focusCtrl || m_focusCtrl->FocusWidget() || !m_focusCtrl->TakesFocus())
        return false;
    PressControl(m_focusCtrl);
    return true;
}

// ---- accessibility ----

QAccessibleInterface* CSkinRoot::AccessibleInterfaceOf(CSkinCtrl* control) {
    if (!OwnsControl(control))
        return nullptr;
    auto it = m_accessibleIds.find(control);
    if (it == m_accessibleIds.end()) {
        const QAccessible::Id id =
            QAccessible::registerAccessibleInterface(NewAccessibleControl(m_widget, control));
        it = m_accessibleIds.emplace(control, id).first;
    }
    return QAccessible::accessibleInterface(it->second);
}

void CSkinRoot::DropAccessibleInterfaces() {
    std::map<const CSkinCtrl*, QAccessible::Id> ids;
    ids.swap(m_accessibleIds);
    for (const auto& [control, id] : ids) QAccessible::deleteAccessibleInterface(id);
}

int CSkinRoot::LoadFromNode(const tinyxml2::XMLElement& e, IMirtCallBack* owner) {
    ClearChildren();
    m_lastParentWidth = kNoSize;
    m_lastParentHeight = kNoSize;
    m_pressedCtrl = nullptr;
    if (!NameEquals(e.Name(), "subview")) {
        LoadChildren(e, this);
        return 1;
    }
    m_kind = kKindWindow;
    LoadWindowAttributes(e);
    CSkinCtrl::LoadFromNode(e, this);
    OnSkinLoaded();
    Layout(m_widget->width(), m_widget->height());
    const QPoint cursor = m_widget->mapFromGlobal(QCursor::pos());
    m_hoverCtrl = ControlAt(cursor.x(), cursor.y());
    if (m_hoverCtrl)
        m_hoverCtrl->OnMouseEnter();
    return 1;
}

bool CSkinRoot::Layout(int parentWidth, int parentHeight) {
    const bool changed = CSkinCtrl::Layout(parentWidth, parentHeight);
    if (m_kind == kKindMainWindow) {
        const QRect g = m_widget->geometry();
        m_x = g.x();
        m_y = g.y();
        m_width = g.width();
        m_height = g.height();
    } else if (m_kind == kKindChildWindow && m_widget->parentWidget()) {
        const QRect g = m_widget->geometry();
        m_x = g.x();
        m_y = g.y();
        m_width = g.width();
        m_height = g.height();
    } else if (!changed) {
        return false;
    }
    m_image = QImage();  // rebuilt at the next paint with the new size
    if (m_widget->parentWidget() && !m_widget->isWindow())
        m_widget->setGeometry(m_x, m_y, m_width, m_height);
    return true;
}

intptr_t CSkinRoot::OnSkinNotify(int code, intptr_t first, intptr_t second) {
    // Edits are laid out in this window's coordinates, so this window parents their text windows,
    // also when it is embedded.
    if (code == kNotifyEditParent)
        return reinterpret_cast<intptr_t>(m_widget);
    if (m_isDialog) {
        if (m_kind == kKindWindow && m_owner)
            m_owner->OnSkinNotify(code, first, second);
        return 0;
    }
    if (m_kind == kKindWindow && m_owner)
        return m_owner->OnSkinNotify(code, first, second);
    return 0;
}

void CSkinRoot::ShowTooltipSoon() {
    if (m_tooltipsEnabled && m_tool.active)
        m_tipTimer.start();
}

void CSkinRoot::DropTooltip() {
    m_tipTimer.stop();
    m_tool = CSkinTool();
    if (QToolTip::isVisible())
        QToolTip::hideText();
}

void CSkinRoot::OnMouseMove(int keys, int x, int y) {
    x = static_cast<int16_t>(x);
    y = static_cast<int16_t>(y);
    // Qt reports the leave without being asked; the flag records that one is awaited.
    m_tracking = true;
    m_lastMouseX = x;
    m_lastMouseY = y;
    CSkinCtrl* control = ControlAt(x, y);
    if (control)
        control->SetLastMouse(x, y);
    if (control == m_hoverCtrl) {
        m_widget->setCursor(m_hoverCtrl ? Qt::PointingHandCursor : Qt::ArrowCursor);
    } else {
        if (m_hoverCtrl) {
            m_hoverCtrl->OnMouseLeave();
            RedrawControl(m_hoverCtrl);
        }
        m_hoverCtrl = control;
        if (m_tooltipsEnabled)
            DropTooltip();
        if (control) {
            if (m_tooltipsEnabled) {
                control->AddTooltip(m_tool);
                ShowTooltipSoon();
            }
            control->OnMouseEnter();
            RedrawControl(control);
        }
    }
    if (!m_hoverCtrl && keys != 0 && !m_pressedCtrl) {
        m_buttonHeld = false;
        const bool drags = m_isDialog ? m_kind == kKindDialog : m_kind == kKindMainWindow;
        if (drags)
            OnSkinNotify(kNotifyDrag, reinterpret_cast<intptr_t>(m_widget), PositionWord(x, y));
    }
}

void CSkinRoot::OnLButtonDown(int keys, int x, int y) {
    x = static_cast<int16_t>(x);
    y = static_cast<int16_t>(y);
    m_widget->activateWindow();
    m_widget->setFocus(Qt::MouseFocusReason);
    // The mouse takes over from the keyboard: the focus mark goes.
    if (m_focusCtrl && !m_focusCtrl->FocusWidget()) {
        m_focusCtrl = nullptr;
        Paint();
    }
    CSkinCtrl* control = ControlAt(x, y);
    m_hoverCtrl = control;
    m_buttonHeld = true;
    if (control) {
        // Qt grabs the mouse for the widget while a button is down, which is the capture.
        m_pressedCtrl = control;
        control->OnLButtonDown();
        RedrawControl(control);
    }
}

void CSkinRoot::OnLButtonUp(int keys, int x, int y) {
    m_buttonHeld = false;
    CSkinCtrl* pressed = m_pressedCtrl;
    if (!pressed)
        return;
    const unsigned generation = m_generation;
    pressed->OnLButtonUp();
    // The notification may have freed the controls (a window closed from its own button).
    if (generation != m_generation)
        return;
    RedrawControl(pressed);
    m_pressedCtrl = nullptr;
}

void CSkinRoot::OnMouseLeave(QEvent*) {
    m_tracking = false;
    if (!m_hoverCtrl)
        return;
    m_hoverCtrl->OnMouseLeave();
    RedrawControl(m_hoverCtrl);
    m_hoverCtrl = nullptr;
    if (m_tooltipsEnabled)
        DropTooltip();
}

}  // namespace tessali::skin
