// What assistive technology sees of a skinned window. The controls are drawn by the window, not
// system widgets, so the window's accessible interface lists them as children of their own: role,
// name, state and place from the control, a value for progress bars and the press or toggle
// action for buttons and check boxes. GUI thread only, like the controls.
#pragma once

#include <QAccessible>
#include <QWidget>

#include "skin/skin_ctrl.h"

namespace tessali::skin {

// Installs, once per process, the factory that gives every skinned window its interface.
void InstallSkinAccessibility();

// A new interface for one control of the skinned window widget; the window registers it.
QAccessibleInterface* NewAccessibleControl(QWidget* widget, CSkinCtrl* control);

}  // namespace tessali::skin
