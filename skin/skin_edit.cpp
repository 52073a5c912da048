#include "skin/skin_edit.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRegularExpressionValidator>
#include <algorithm>
#include <cstdlib>

#include "skin/hot_key.h"
#include "skin/skin_reader.h"
#include "skin/system_colour.h"

namespace tessali::skin {

QFont MakeLogicalFont(const QString& face, int height) {
    QFont font = MakeSkinFont(face, 9, false, false);
    // A negative height asks for the character height, a positive one for the cell; both are
    // taken as the pixel size, which is what the field's text needs to fit.
    const int pixels = std::abs(height);
    font.setPixelSize(pixels > 0 ? pixels : 12);
    return font;
}

CEditWindow::CEditWindow(QWidget* parent, CSkinEditBase* control) : QLineEdit(parent), m_control(control) {}

bool CEditWindow::event(QEvent* event) {
    // A hot-key field records combinations that may be the window's own shortcuts.
    if (event->type() == QEvent::ShortcutOverride && m_control && m_control->WantsAllKeys()) {
        event->accept();
        return true;
    }
    return QLineEdit::event(event);
}

void CEditWindow::keyPressEvent(QKeyEvent* event) {
    if (m_control && m_control->EditKeyPress(*event)) {
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void CEditWindow::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    if (m_control)
        m_control->EditFocusOut(event->reason());
}

CUpDownWindow::CUpDownWindow(QWidget* parent, QLineEdit* buddy, int lower, int upper)
    : QWidget(parent), m_buddy(buddy), m_lower(lower), m_upper(upper), m_pos(lower) {
    SetPosition(lower);
}

void CUpDownWindow::SetPosition(int pos) {
    const int lo = std::min(m_lower, m_upper);
    const int hi = std::max(m_lower, m_upper);
    m_pos = std::clamp(pos, lo, hi);
    if (m_buddy)
        m_buddy->setText(QString::number(m_pos));  // a plain integer, no group separators
}

void CUpDownWindow::Step(int direction) {
    int pos = m_pos;
    if (m_buddy) {
        bool ok = false;
        const int shown = m_buddy->text().trimmed().toInt(&ok);
        // A number outside the range is not taken; the step starts from the last position.
        if (ok && shown >= std::min(m_lower, m_upper) && shown <= std::max(m_lower, m_upper))
            pos = shown;
    }
    // Up moves towards "upper" and down towards "lower", whichever of them is larger.
    const int towardsUpper = m_upper >= m_lower ? 1 : -1;
    SetPosition(pos + direction * towardsUpper);
}

void CUpDownWindow::paintEvent(QPaintEvent*) {
    QPainter g(this);
    const QRect r = rect();
    g.fillRect(r, palette().button());
    g.setPen(palette().dark().color());
    g.drawRect(r.adjusted(0, 0, -1, -1));
    g.drawLine(0, r.height() / 2, r.width() - 1, r.height() / 2);
    g.setRenderHint(QPainter::Antialiasing);
    const double cx = r.width() / 2.0;
    const double s = std::max(2.0, r.width() / 5.0);
    auto arrow = [&](double cy, double dir) {
        QPainterPath path;
        path.moveTo(cx - s, cy + dir * s / 2);
        path.lineTo(cx + s, cy + dir * s / 2);
        path.lineTo(cx, cy - dir * s / 2);
        path.closeSubpath();
        g.fillPath(path, palette().buttonText());
    };
    arrow(r.height() / 4.0, 1);
    arrow(r.height() * 3 / 4.0, -1);
}

void CUpDownWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    Step(event->position().y() < height() / 2.0 ? 1 : -1);
}

CSkinEditBase::~CSkinEditBase() {
    if (m_window)
        m_window->Detach();
    delete m_window.data();
    delete m_upDown.data();
}

bool CSkinEditBase::TakesFocus() const {
    return m_window && !m_window->isHidden() && m_window->isEnabled();
}

QWidget* CSkinEditBase::FocusWidget() const {
    return m_window.data();
}

int CSkinEditBase::LoadFromNode(const tinyxml2::XMLElement& e, IMirtCallBack* owner) {
    if (!CSkinCtrl::LoadFromNode(e, owner))
        return 0;
    ReadAttributes(e);
    auto* parent = owner ? reinterpret_cast<QWidget*>(owner->OnSkinNotify(kNotifyEditParent, 0, 0)) : nullptr;
    if (!parent)
        return 0;

    m_window = new CEditWindow(parent, this);
    m_window->setFrame(false);
    m_window->setFocusPolicy(Qt::StrongFocus);
    m_window->setEchoMode(m_password ? QLineEdit::Password : QLineEdit::Normal);
    m_window->setFont(m_font);
    if (m_limit > 0)
        m_window->setMaxLength(m_limit);
    if (m_hasColours)
        ApplyColours(m_bkCol, m_txtCol);
    m_window->setVisible(m_shown != 0);
    // The text window is what assistive technology reads; it carries the control's name.
    m_window->setAccessibleName(AccessibleName());
    if (m_upDownOn) {
        m_upDown = new CUpDownWindow(parent, m_window, m_lower, m_upper);
        m_upDown->setVisible(m_shown != 0);
    }
    SetUpWindow();
    return 1;
}

void CSkinEditBase::ApplyColours(Colour background, Colour text) {
    if (!m_window)
        return;
    QPalette pal = m_window->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        pal.setColor(group, QPalette::Base, SystemColour(background));
        pal.setColor(group, QPalette::Text, SystemColour(text));
    }
    if (m_disabledBackground.isValid())
        pal.setColor(QPalette::Disabled, QPalette::Base, m_disabledBackground);
    m_window->setPalette(pal);
}

void CSkinEditBase::SetDisabledBackground(const QColor& colour) {
    m_disabledBackground = colour;
    if (!m_window)
        return;
    QPalette pal = m_window->palette();
    pal.setColor(QPalette::Disabled, QPalette::Base, colour);
    m_window->setPalette(pal);
}

bool CSkinEditBase::Layout(int parentWidth, int parentHeight) {
    if (!CSkinCtrl::Layout(parentWidth, parentHeight))
        return false;
    PlaceWindows(QRect(m_x, m_y, m_width, m_height));
    return true;
}

void CSkinEditBase::PlaceWindows(const QRect& r) {
    if (m_window)
        m_window->setGeometry(r);
    // A square of the edit's height to its right.
    if (m_upDown)
        m_upDown->setGeometry(r.x() + r.width(), r.y(), r.height(), r.height());
}

void CSkinEditBase::ClearChildren() {
    if (m_window)
        m_window->Detach();
    delete m_window.data();
    delete m_upDown.data();
    m_font = QFont();
    CSkinCtrl::ClearChildren();
}

QString CSkinEditBase::Text() const {
    return m_window ? m_window->text() : QString();
}

void CSkinEditBase::SetText(const QString& text) {
    if (m_window)
        m_window->setText(text);
}

intptr_t CSkinEditBase::SetProperty(const QString& name, const CSkinValue& value, intptr_t) {
    if (name == QLatin1String("distext")) {
        SetText(value.text);
        if (m_hasColours)
            ApplyColours(m_bkCol, m_disCol);
    } else if (name == QLatin1String("text")) {
        SetText(value.text);
        if (m_hasColours)
            ApplyColours(m_bkCol, m_txtCol);
    } else if (name == QLatin1String("enable")) {
        m_enabled = value.number != 0;
        if (m_window)
            m_window->setEnabled(m_enabled);
        if (m_upDown)
            m_upDown->setEnabled(m_enabled);
    } else if (name == QLatin1String("show")) {
        m_shown = value.number != 0;
        if (m_window)
            m_window->setVisible(m_shown);
        if (m_upDown)
            m_upDown->setVisible(m_shown);
    }
    return 0;
}

void CSkinEdit::ReadAttributes(const tinyxml2::XMLElement& e) {
    m_password = ReadInt("passwordedit", e) != 0;
    m_hasColours = true;
    m_bkCol = ReadColour("bk_col", e, 0);
    m_txtCol = ReadColour("txt_col", e, 0);
    m_disCol = ReadColour("dis_col", e, 0);
    m_font = MakeLogicalFont(ReadText("face", e, QStringLiteral("宋体")), ReadInt("lfheight", e, 12));
    m_limit = ReadInt("limit", e);
    m_upDownOn = ReadInt("updown", e);
    m_lower = ReadInt("lower", e);
    m_upper = ReadInt("upper", e);
    if (ReadInt("bossedit", e))
        m_variant = kHotKey;
    else if (ReadInt("searchedit", e))
        m_variant = kSearch;
    else if (ReadInt("numberedit", e))
        m_variant = kNumber;
    else
        m_variant = kPlain;
    if (m_variant == kSearch)
        ReadListLook(e);
}

void CSkinEdit::ReadListLook(const tinyxml2::XMLElement& e) {
    m_listLook.background = ReadColour("clrBK", e, 0);
    m_listLook.text = ReadColour("clrText", e, 0);
    m_listLook.hoverText = ReadColour("clrHoverText", e, 0);
    m_listLook.itemHover = ReadColour("clrItemHover", e, 0);
    m_listLook.frame = ReadColour("clrNormalFrame", e, 0);
    m_listLook.font = m_font;
    const QString image = ReadText("listimage", e);
    m_listLook.listImage = image.isEmpty() ? QImage() : LoadImageFile(CSkinPaths::Instance().SkinFile(image));
}

void CSkinEdit::SetUpWindow() {
    switch (m_variant) {
        case kHotKey:
            // The field shows combinations only: nothing may be pasted or dropped into it.
            m_window->setContextMenuPolicy(Qt::NoContextMenu);
            m_window->setAcceptDrops(false);
            SetHotKey(0, 0);
            break;
        case kNumber:
            m_window->setValidator(
                new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), m_window));
            break;
        case kSearch:
            m_dropList = new CWinDropList(m_window->parentWidget());
            m_dropList->SetLook(m_listLook);
            m_dropList->SetOwner(m_owner, this);
            m_dropList->SetOnChosen(
                [this](const QString& text) { SetProperty(QStringLiteral("text"), text); });
            QObject::connect(m_window, &QLineEdit::textEdited, m_window, [this] { ShowDropList(); });
            break;
        case kPlain:
            break;
    }
}

CSkinEdit::~CSkinEdit() {
    delete m_dropList.data();
}

void CSkinEdit::ClearChildren() {
    delete m_dropList.data();
    CSkinEditBase::ClearChildren();
}

intptr_t CSkinEdit::SetProperty(const QString& name, const CSkinValue& value, intptr_t extra) {
    // The search list's entries.
    if (m_dropList) {
        if (name == QLatin1String("additem")) {
            m_dropList->List().AddItem(value.text);
            return 0;
        }
        if (name == QLatin1String("removeitem")) {
            m_dropList->List().RemoveItem(value.text);
            return 0;
        }
        if (name == QLatin1String("clearitems")) {
            m_dropList->List().Clear();
            m_dropList->hide();
            return 0;
        }
    }
    if (name == QLatin1String("enable") && value.number == 0 && m_dropList)
        m_dropList->hide();
    return CSkinEditBase::SetProperty(name, value, extra);
}

void CSkinEdit::SetHotKey(int modifiers, int virtualKey) {
    int key = virtualKey;
    const QString text = HotKeyText(modifiers, key);
    m_hotModifiers = modifiers;
    m_hotKey = key;
    SetText(text);
}

void CSkinEdit::ShowDropList() {
    if (!m_dropList || !m_window)
        return;
    m_dropList->List().SetFilter(Text());
    m_dropList->ShowBelow(m_window->geometry(), m_window->width());
}

bool CSkinEdit::EditKeyPress(QKeyEvent& event) {
    if (m_variant == kHotKey) {
        // Tab still moves between fields.
        const bool tab = (event.key() == Qt::Key_Tab || event.key() == Qt::Key_Backtab) &&
                         !(event.modifiers() & (Qt::ControlModifier | Qt::AltModifier));
        if (tab)
            return false;
        SetHotKey(HotKeyModifiersOf(event), VirtualKeyOf(event));
        return true;
    }
    if (m_variant != kSearch || !m_dropList)
        return false;
    const bool open = m_dropList->isVisible();
    switch (event.key()) {
        case Qt::Key_Down:
            if (!open)
                ShowDropList();
            m_dropList->MoveHover(1);
            return true;
        case Qt::Key_Up:
            if (!open)
                return false;
            m_dropList->MoveHover(-1);
            return true;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return open && m_dropList->ChooseHover();
        case Qt::Key_Escape:
            if (!open)
                return false;
            m_dropList->hide();
            return true;
        default:
            return false;
    }
}

void CSkinEdit::EditFocusOut(Qt::FocusReason reason) {
    // A click on the list may deactivate the window on some platforms; the list hides itself
    // once that click has chosen.
    if (m_dropList && reason != Qt::ActiveWindowFocusReason)
        m_dropList->hide();
}

void CSkinNormalEdit::ReadAttributes(const tinyxml2::XMLElement& e) {
    m_password = ReadText("edittype", e).compare(QLatin1String("password"), Qt::CaseInsensitive) == 0;
    m_font = MakeLogicalFont(ReadText("face", e, QStringLiteral("Arial")), ReadInt("lfheight", e, 14));
    m_limit = ReadInt("limit", e);
}

void CSkinSearchEdit::ReadAttributes(const tinyxml2::XMLElement& e) {
    m_hasColours = true;
    m_bkCol = ReadColour("bk_col", e, 0);
    m_txtCol = ReadColour("txt_col", e, 0);
    m_disCol = ReadColour("dis_col", e, 0);
    const double size = ReadReal("size", e, 0);
    m_font = MakeSkinFont(QStringLiteral("宋体"), size > 0 ? size : 9, false, false);
    m_variant = kSearch;
    ReadListLook(e);
}

}  // namespace tessali::skin
