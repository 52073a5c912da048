// "combobox": an inner edit beside a drop button drawn from an image strip, with the combo box's
// drop list. A click on the button tells the owner the control's command id; the owner's handler
// fills and shows the list (ShowList), and a second click hides it. GUI thread only.
#pragma once

#include <QPointer>
#include <memory>

#include "skin/drop_list.h"
#include "skin/skin_edit.h"

namespace tessali::skin {

class CSkinComboBox : public CSkinCtrl {
public:
    static constexpr Colour kDisabledFill = 0xFFECE9D8;

    CSkinComboBox() : CSkinCtrl(kKindComboBox) {}
    ~CSkinComboBox() override;

    // Reads the element and creates the inner edit (from the same element, named by "editid")
    // and the list; 0 when the inner edit gets no window.
    int LoadFromNode(const tinyxml2::XMLElement& e, IMirtCallBack* owner) override;
    bool Layout(int parentWidth, int parentHeight) override;
    void ClearChildren() override;
    void Draw(QPainter& g) override;
    // Shown, enabled, and the point on the drop button.
    bool HitTest(int x, int y) override;
    bool OnLButtonUp() override;
    CSkinCtrl* FindChild(const QString& id) override;
    // "enable" switches the inner edit's window; every other name goes to the inner edit.
    intptr_t SetProperty(const QString& name, const CSkinValue& value, intptr_t extra = 0) override;

    // The drop button's rectangle in the parent's coordinates.
    QRect ButtonRect() const;
    // Where the list goes: "listx"/"listy" offset it from the control's lower left corner and
    // "listwidth" gives its width (the control's width when 0).
    QRect ListAnchor() const;
    int ListWidth() const { return m_listWidth > 0 ? m_listWidth : m_width; }
    // Shows the list below the control, marking the entry the edit shows.
    void ShowList();
    CSkinEdit* Edit() const { return m_edit.get(); }
    CSkinComboBoxListBox* ListBox() const { return m_list.data(); }
    int ImageNum() const { return m_imageNum; }
    const QString& EditId() const { return m_editId; }

private:
    int m_imageNum = 2;
    int m_listX = 0, m_listY = 0, m_listWidth = 0;
    QString m_editId;
    std::unique_ptr<CSkinEdit> m_edit;
    QPointer<CSkinComboBoxListBox> m_list;
};

}  // namespace tessali::skin
