#include "skin/skin_accessible.h"

#include <QAccessibleWidget>
#include <QPointer>
#include <QWindow>

#include "skin/skin_root.h"

namespace tessali::skin {

namespace {

// The window's root part, found anew on every call: a window being destroyed is no longer one.
CSkinRoot* RootOf(QWidget* widget) {
    auto* root = dynamic_cast<CSkinRoot*>(widget);
    return root && root->Widget() == widget ? root : nullptr;
}

class CAccessibleControl : public QAccessibleInterface,
                           public QAccessibleValueInterface,
                           public QAccessibleActionInterface {
public:
    CAccessibleControl(QWidget* widget, CSkinCtrl* control) : m_widget(widget), m_control(control) {}

    bool isValid() const override {
        CSkinRoot* root = Root();
        return root && root->OwnsControl(m_control);
    }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return m_widget ? m_widget->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override {
        return m_widget ? QAccessible::queryAccessibleInterface(m_widget) : nullptr;
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }

    QString text(QAccessible::Text t) const override {
        if (!isValid())
            return QString();
        if (t == QAccessible::Name)
            return m_control->AccessibleName();
        if (t == QAccessible::Value && m_control->AccessibleRole() == QAccessible::ProgressBar)
            return QStringLiteral("%1%").arg(qRound(m_control->AccessibleValue()));
        return QString();
    }
    void setText(QAccessible::Text, const QString&) override {}

    QRect rect() const override {
        if (!isValid())
            return QRect();
        const QRect r = m_control->FocusRect();
        return QRect(m_widget->mapToGlobal(r.topLeft()), r.size());
    }
    QAccessible::Role role() const override {
        return isValid() ? m_control->AccessibleRole() : QAccessible::NoRole;
    }
    QAccessible::State state() const override {
        QAccessible::State s;
        if (!isValid()) {
            s.invalid = true;
            return s;
        }
        s.disabled = !m_control->IsEnabled();
        s.invisible = !m_control->IsShown();
        s.focusable = m_control->TakesFocus();
        s.focused = Root()->FocusControl() == m_control;
        s.checkable = m_control->IsCheckable();
        s.checked = m_control->IsChecked();
        s.hotTracked = m_control->IsHover();
        s.pressed = m_control->IsPressed();
        return s;
    }

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (!isValid())
            return nullptr;
        if (type == QAccessible::ValueInterface && m_control->AccessibleRole() == QAccessible::ProgressBar)
            return static_cast<QAccessibleValueInterface*>(this);
        if (type == QAccessible::ActionInterface && m_control->IsFocusable() && !m_control->FocusWidget())
            return static_cast<QAccessibleActionInterface*>(this);
        return nullptr;
    }

    // Value of a progress bar: a percentage, read only.
    QVariant currentValue() const override {
        return isValid() ? QVariant(m_control->AccessibleValue()) : QVariant();
    }
    void setCurrentValue(const QVariant&) override {}
    QVariant maximumValue() const override { return 100.0; }
    QVariant minimumValue() const override { return 0.0; }
    QVariant minimumStepSize() const override { return 0.0; }

    // A check box toggles, everything else presses: both are a click.
    QStringList actionNames() const override {
        if (!isValid())
            return {};
        return {m_control->AccessibleRole() == QAccessible::CheckBox ? toggleAction() : pressAction()};
    }
    void doAction(const QString& name) override {
        if (actionNames().contains(name))
            Root()->PressControl(m_control);
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    CSkinRoot* Root() const { return m_widget ? RootOf(m_widget) : nullptr; }

    QPointer<QWidget> m_widget;
    CSkinCtrl* m_control;
};

// The window: its system child windows (the edits' text windows) first, then its drawn controls.
class CAccessibleSkinWindow : public QAccessibleWidget {
public:
    CAccessibleSkinWindow(QWidget* widget, bool dialog)
        : QAccessibleWidget(widget, dialog ? QAccessible::Dialog : QAccessible::Window) {}

    int childCount() const override {
        return QAccessibleWidget::childCount() + static_cast<int>(Controls().size());
    }
    QAccessibleInterface* child(int index) const override {
        const int widgets = QAccessibleWidget::childCount();
        if (index < widgets)
            return QAccessibleWidget::child(index);
        const std::vector<CSkinCtrl*> controls = Controls();
        const size_t at = static_cast<size_t>(index - widgets);
        if (index < 0 || at >= controls.size())
            return nullptr;
        return Root()->AccessibleInterfaceOf(controls[at]);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        const int widgets = QAccessibleWidget::childCount();
        const std::vector<CSkinCtrl*> controls = Controls();
        for (size_t i = 0; i < controls.size(); ++i) {
            if (Root()->AccessibleInterfaceOf(controls[i]) == child)
                return widgets + static_cast<int>(i);
        }
        return QAccessibleWidget::indexOfChild(child);
    }
    QAccessibleInterface* focusChild() const override {
        CSkinRoot* root = Root();
        if (root && root->FocusControl() && !root->FocusControl()->FocusWidget())
            return root->AccessibleInterfaceOf(root->FocusControl());
        return QAccessibleWidget::focusChild();
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        if (QAccessibleInterface* w = QAccessibleWidget::childAt(x, y))
            return w;
        CSkinRoot* root = Root();
        if (!root)
            return nullptr;
        const QPoint p = widget()->mapFromGlobal(QPoint(x, y));
        for (CSkinCtrl* c : Controls()) {
            if (c->FocusRect().contains(p))
                return root->AccessibleInterfaceOf(c);
        }
        return nullptr;
    }

private:
    CSkinRoot* Root() const { return RootOf(widget()); }
    std::vector<CSkinCtrl*> Controls() const {
        CSkinRoot* root = Root();
        return root ? root->AccessibleControls() : std::vector<CSkinCtrl*>();
    }
};

QAccessibleInterface* SkinWindowFactory(const QString&, QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget)
        return nullptr;
    CSkinRoot* root = RootOf(widget);
    return root ? new CAccessibleSkinWindow(widget, root->IsDialog()) : nullptr;
}

}  // namespace

void InstallSkinAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(&SkinWindowFactory);
        return true;
    }();
    (void)installed;
}

QAccessibleInterface* NewAccessibleControl(QWidget* widget, CSkinCtrl* control) {
    return new CAccessibleControl(widget, control);
}

}  // namespace tessali::skin
