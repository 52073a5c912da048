#include "skin/skin_combobox.h"

#include <algorithm>

#include "skin/skin_reader.h"

namespace tessali::skin {

CSkinComboBox::~CSkinComboBox() {
    delete m_list.data();
}

int CSkinComboBox::LoadFromNode(const tinyxml2::XMLElement& e, IMirtCallBack* owner) {
    if (!CSkinCtrl::LoadFromNode(e, owner))
        return 0;
    const int frames = ReadInt("imagenum", e, 0);
    m_imageNum = frames > 0 ? frames : 2;
    m_listX = ReadInt("listx", e);
    m_listY = ReadInt("listy", e);
    m_listWidth = ReadInt("listwidth", e);
    m_editId = ReadText("editid", e);

    // The inner edit reads the same attributes, under its own id and without the element's
    // children, which belong to the combo box.
    tinyxml2::XMLDocument scratch;
    tinyxml2::XMLNode* clone = e.ShallowClone(&scratch);
    scratch.InsertEndChild(clone);
    tinyxml2::XMLElement* editElement = clone->ToElement();
    editElement->SetAttribute("id", m_editId.toUtf8().constData());
    editElement->DeleteAttribute("show");
    auto edit = std::make_unique<CSkinEdit>();
    edit->SetOwner(owner);
    if (!edit->LoadFromNode(*editElement, owner)) {
        edit->ClearChildren();
        return 0;
    }
    m_edit = std::move(edit);
    m_edit->Window()->setVisible(m_shown != 0);
    m_edit->SetDisabledBackground(QColor::fromRgba(kDisabledFill));

    CDropListLook look;
    look.background = ReadColour("clrBK", e, 0);
    look.text = ReadColour("clrText", e, 0);
    look.hoverText = ReadColour("clrHoverText", e, 0);
    look.itemHover = ReadColour("clrItemHover", e, 0);
    look.frame = ReadColour("clrNormalFrame", e, 0);
    look.font = m_edit->Font();
    const QString image = ReadText("listimage", e);
    if (!image.isEmpty())
        look.listImage = LoadImageFile(CSkinPaths::Instance().SkinFile(image));
    m_list = new CSkinComboBoxListBox(m_edit->Window()->parentWidget());
    m_list->SetLook(look);
    m_list->SetOwner(owner, this);
    m_list->SetOnChosen([this](const QString& text) {
        if (m_edit)
            m_edit->SetProperty(QStringLiteral("text"), text);
    });
    return 1;
}

QRect CSkinComboBox::ButtonRect() const {
    if (m_image.isNull())
        return QRect();
    const int frameWidth = m_image.width() / m_imageNum;
    return QRect(m_x + m_width - frameWidth, m_y, frameWidth, m_image.height());
}

QRect CSkinComboBox::ListAnchor() const {
    return QRect(m_x + m_listX, m_y + m_listY, ListWidth(), m_height);
}

bool CSkinComboBox::Layout(int parentWidth, int parentHeight) {
    if (!CSkinCtrl::Layout(parentWidth, parentHeight))
        return false;
    if (m_edit) {
        const QRect button = ButtonRect();
        m_edit->PlaceWindows(QRect(m_x, m_y, std::max(0, m_width - button.width()), m_height));
    }
    return true;
}

void CSkinComboBox::ClearChildren() {
    delete m_list.data();
    if (m_edit) {
        m_edit->ClearChildren();
        m_edit.reset();
    }
    CSkinCtrl::ClearChildren();
}

void CSkinComboBox::Draw(QPainter& g) {
    if (m_shown && !m_image.isNull()) {
        if (!m_enabled)
            g.fillRect(GetRect(), QColor::fromRgba(kDisabledFill));
        const int frame = m_enabled ? 0 : 1;
        const QRect button = ButtonRect();
        const CArt art = PickArt(m_image, m_image2x, g);
        g.drawImage(button, art.image,
                    QRect(frame * button.width() * art.scale, 0, button.width() * art.scale,
                          button.height() * art.scale));
    }
    DrawChildren(g);
}

bool CSkinComboBox::HitTest(int x, int y) {
    if (!m_shown || !m_enabled)
        return false;
    return ButtonRect().contains(static_cast<int16_t>(x), static_cast<int16_t>(y));
}

bool CSkinComboBox::OnLButtonUp() {
    const bool click = m_hover != 0;
    m_pressed = 0;
    if (!click)
        return true;
    if (m_list && m_list->isVisible()) {
        m_list->hide();
    } else {
        Notify(CommandId(), 0, 0);
    }
    return true;
}

CSkinCtrl* CSkinComboBox::FindChild(const QString& id) {
    if (m_edit && m_edit->Id() == id)
        return m_edit.get();
    return CSkinCtrl::FindChild(id);
}

intptr_t CSkinComboBox::SetProperty(const QString& name, const CSkinValue& value, intptr_t extra) {
    if (name == QLatin1String("enable")) {
        m_enabled = value.number != 0;
        if (m_edit && m_edit->Window())
            m_edit->Window()->setEnabled(m_enabled);
        if (!m_enabled && m_list)
            m_list->hide();
        return 0;
    }
    if (name == QLatin1String("show")) {
        m_shown = value.number != 0;
        if (!m_shown && m_list)
            m_list->hide();
    }
    return m_edit ? m_edit->SetProperty(name, value, extra) : 0;
}

void CSkinComboBox::ShowList() {
    if (!m_list || !m_edit)
        return;
    m_list->SetCurrent(m_edit->Text());
    m_list->List().SetFilter(QString());
    m_list->ShowBelow(ListAnchor(), ListWidth());
}

}  // namespace tessali::skin
