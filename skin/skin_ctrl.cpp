#include "skin/skin_ctrl.h"

#include <algorithm>
#include <cmath>

#include "skin/skin_button.h"
#include "skin/skin_combobox.h"
#include "skin/skin_edit.h"
#include "skin/skin_image.h"
#include "skin/skin_reader.h"
#include "skin/skin_tables.h"
#include "skin/skin_text.h"

namespace tessali::skin {

namespace {

// Skin numbers are reals truncated toward zero; values beyond the int range are clamped first.
int TruncToInt(double v) {
    if (!std::isfinite(v))
        return 0;
    v = std::clamp(v, -2147483648.0, 2147483647.0);
    return static_cast<int>(v);
}

// The controls an element name creates.
CSkinCtrl* NewControl(const char* name) {
    auto is = [name](const char* n) { return NameEquals(name, n); };
    if (is("pic"))
        return new CSkinImage;
    if (is("gif"))
        return new CSkinGif;
    if (is("txt"))
        return new CSkinText;
    if (is("btn"))
        return new CSkinButton;
    if (is("pressbtn"))
        return new CSkinPressBtn;
    if (is("selectbtn"))
        return new CSkinSelectButton;
    if (is("coincideimage"))
        return new CSkinCoincideImage;
    if (is("txtbtn"))
        return new CSkinTxtBtn;
    if (is("pagebtn"))
        return new CSkinPageBtn;
    if (is("btnex"))
        return new CSkinButtonEx;
    if (is("edit"))
        return new CSkinEdit;
    if (is("normaledit"))
        return new CSkinNormalEdit;
    if (is("searchedit"))
        return new CSkinSearchEdit;
    if (is("combobox"))
        return new CSkinComboBox;
    return nullptr;
}

}  // namespace

CSkinCtrl::CSkinCtrl(int kind) : m_kind(kind) {}

// A tree is normally emptied by ClearChildren before it is destroyed; clearing here too keeps a
// control destroyed on its own from leaking its children.
CSkinCtrl::~CSkinCtrl() {
    CSkinCtrl::ClearChildren();
}

void CSkinCtrl::ClearChildren() {
    std::vector<CSkinCtrl*> children;
    children.swap(m_children);
    for (CSkinCtrl* child : children) {
        child->ClearChildren();
        if (!IsEmbeddedWindowKind(child->GetKind()))
            delete child;
    }
}

void CSkinCtrl::RemoveChild(CSkinCtrl* child) {
    auto it = std::find_if(m_children.begin(), m_children.end(), [child](CSkinCtrl* c) {
        return c == child && !IsEmbeddedWindowKind(c->GetKind());
    });
    if (it == m_children.end())
        return;
    CSkinCtrl* found = *it;
    m_children.erase(it);
    found->ClearChildren();
    delete found;
}

void CSkinCtrl::DrawChildren(QPainter& g) {
    g.translate(m_x, m_y);
    for (CSkinCtrl* child : m_children) {
        if (!IsEmbeddedWindowKind(child->GetKind()))
            child->Draw(g);
    }
    g.translate(-m_x, -m_y);
}

void CSkinCtrl::Draw(QPainter& g) {
    DrawChildren(g);
}

int CSkinCtrl::LoadFromNode(const tinyxml2::XMLElement& e, IMirtCallBack* owner) {
    m_id = ReadText("id", e);
    m_caption = ReadText("caption", e);
    m_shown = ReadShow(e) ? 1 : 0;

    m_image = QImage();
    m_image2x = QImage();
    QString image = ReadText("image", e);
    if (!image.isEmpty()) {
        m_image = LoadPngResource(image);
        if (!m_image.isNull() && m_image.width() == 0 && m_image.height() == 0)
            m_image = QImage();
        m_image2x = LoadPngResource2x(image, m_image);
    }

    m_skinX = TruncToInt(ReadReal("x", e));
    m_skinY = TruncToInt(ReadReal("y", e));
    m_skinWidth = TruncToInt(ReadReal("width", e));
    m_skinHeight = TruncToInt(ReadReal("height", e));

    m_anchor = HorizontalFlags(ReadText("horizontal", e)) | VerticalFlags(ReadText("vertical", e));
    m_handCursor = ReadText("cursor", e).compare(QLatin1String("hand"), Qt::CaseInsensitive) == 0 ? 1 : 0;
    m_bgColour = ReadColour("bgcolor", e, 0);

    if (m_kind == kKindImage) {
        if (m_skinWidth == 0 && !(m_anchor & (kAnchorHStretch | kAnchorHTile)))
            m_skinWidth = m_image.width();
        if (m_skinHeight == 0 && !(m_anchor & (kAnchorVStretch | kAnchorVTile)))
            m_skinHeight = m_image.height();
    }

    LoadChildren(e, owner);
    return 1;
}

bool CSkinCtrl::Layout(int parentWidth, int parentHeight) {
    // Parent sizes travel as 16-bit signed values, as window sizes do.
    const int W = static_cast<int16_t>(parentWidth);
    const int H = static_cast<int16_t>(parentHeight);
    if (W == m_lastParentWidth && H == m_lastParentHeight)
        return false;
    m_lastParentWidth = W;
    m_lastParentHeight = H;

    const int x0 = m_skinX;
    const int y0 = m_skinY;
    int w;
    if (m_anchor & (kAnchorHStretch | kAnchorHTile)) {
        w = W - m_skinWidth - x0;  // "width" is the right margin
    } else {
        w = m_skinWidth;
        if (w < -1)
            w = W + w;  // counts back from the parent's width; -1 stays
    }
    int h = (m_anchor & (kAnchorVStretch | kAnchorVTile)) ? H - m_skinHeight - y0 : m_skinHeight;

    int x = x0;
    if (m_anchor & kAnchorHCenter) {
        x = (W - w) / 2 + x0;
    } else if (m_anchor & kAnchorRight) {
        x = W - w - x0;
    }
    int y = y0;
    if (m_anchor & kAnchorVCenter) {
        y = (H - h) / 2 + y0;
    } else if (m_anchor & kAnchorBottom) {
        y = H - h - y0;
    }
    if (w == 0)
        w = W;
    if (h == 0)
        h = H;

    m_x = x;
    m_y = y;
    m_width = w;
    m_height = h;
    for (CSkinCtrl* child : m_children) child->Layout(w, h);
    return true;
}

CSkinCtrl* CSkinCtrl::FindChild(const QString& id) {
    for (CSkinCtrl* child : m_children) {
        if (child->m_id == id)
            return child;
        if (CSkinCtrl* found = child->FindChild(id))
            return found;
    }
    return nullptr;
}

CSkinCtrl* CSkinCtrl::CreateChild(const tinyxml2::XMLElement& e, IMirtCallBack* owner) {
    const int kind = KindOfElement(e.Name());
    if (kind == kKindNone)
        return nullptr;
    if (kind == kKindWindow) {
        QString id = ReadText("id", e);
        if (!owner)
            return nullptr;
        auto* window = reinterpret_cast<CSkinCtrl*>(
            owner->OnSkinNotify(kNotifySubview, reinterpret_cast<intptr_t>(&id), 0));
        if (!window)
            return nullptr;
        window->SetOwner(owner);
        if (!window->LoadFromNode(e, owner))
            window->ClearChildren();
        return window;
    }
    CSkinCtrl* control = NewControl(e.Name());
    if (!control)
        return nullptr;
    control->SetOwner(owner);
    if (!control->LoadFromNode(e, owner)) {
        control->ClearChildren();
        delete control;
        return nullptr;
    }
    return control;
}

void CSkinCtrl::LoadChildren(const tinyxml2::XMLElement& e, IMirtCallBack* owner) {
    for (const tinyxml2::XMLNode* node = e.FirstChild(); node; node = node->NextSibling()) {
        const tinyxml2::XMLElement* element = node->ToElement();
        if (!element)
            continue;
        if (CSkinCtrl* child = CreateChild(*element, owner))
            m_children.push_back(child);
    }
}

bool CSkinCtrl::OnMouseEnter() {
    m_hover = 1;
    return true;
}

bool CSkinCtrl::OnMouseLeave() {
    m_hover = 0;
    return true;
}

bool CSkinCtrl::OnLButtonDown() {
    m_hover = 1;
    m_pressed = 1;
    return true;
}

bool CSkinCtrl::OnLButtonUp() {
    m_hover = 0;
    m_pressed = 0;
    return true;
}

bool CSkinCtrl::MarkHot() {
    m_hover = 1;
    return true;
}

bool CSkinCtrl::OnRButtonUp() {
    m_hover = 0;
    m_pressed = 0;
    return true;
}

bool CSkinCtrl::OnRButtonDown() {
    m_hover = 1;
    m_pressed = 1;
    return true;
}

void CSkinCtrl::Press() {
    // The events of a click over the control; the owner may free the control while it is told.
    m_hover = 1;
    OnLButtonDown();
    m_hover = 1;
    OnLButtonUp();
}

QString CSkinCtrl::AccessibleName() const {
    if (!m_caption.isEmpty())
        return m_caption;
    const QString tip = CSkinTooltipTable::Instance().Lookup(m_id);
    return tip.isEmpty() ? m_id : tip;
}

int CSkinCtrl::CommandId() const {
    return CSkinIdTable::Instance().Lookup(m_id);
}

intptr_t CSkinCtrl::Notify(int code, intptr_t first, intptr_t second) {
    return m_owner ? m_owner->OnSkinNotify(code, first, second) : 0;
}

bool CSkinCtrl::ButtonHit(int x, int y) const {
    if (!m_enabled || !m_shown)
        return false;
    const int px = static_cast<int16_t>(x);
    const int py = static_cast<int16_t>(y);
    return px >= m_x && px < m_x + m_width && py >= m_y && py < m_y + m_height;
}

void CSkinCtrl::DrawFrame(QPainter& g, int frame, int frames) const {
    if (m_image.isNull() || frames <= 0)
        return;
    const int frameWidth = m_image.width() / frames;
    if (frameWidth <= 0)
        return;
    const CArt art = PickArt(m_image, m_image2x, g);
    g.drawImage(QRect(m_x, m_y, m_width, m_height), art.image,
                QRect(frame * frameWidth * art.scale, 0, frameWidth * art.scale, art.image.height()));
}

}  // namespace tessali::skin
