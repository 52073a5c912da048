// IMirtCallBack: how controls and embedded windows tell their owner what happened. Every skinned
// window implements it; the application overrides it to act on the codes. GUI thread only.
#pragma once

#include <cstdint>

namespace tessali::skin {

// Codes the framework sends besides the controls' numeric command ids.
enum SkinNotifyCode : int {
    kNotifySubview = 100,     // first: const QString* id; answer: CSkinCtrl* of the window to embed
    kNotifyEditParent = 101,  // answer: the QWidget* that parents an edit's text window
    kNotifyDrag = 102,        // first: the QWidget*; second: position word (x low, y high 16 bits)
    kNotifySelectPage = 117,  // first: the number that ends the select button's id
    kNotifyLinkEnter = 123,
    kNotifyLinkLeave = 124,
    kNotifyListChosen = 125,  // first: const QString* chosen text; second: the CSkinCtrl* of the list
};

class IMirtCallBack {
public:
    virtual ~IMirtCallBack() = default;
    virtual intptr_t OnSkinNotify(int code, intptr_t first, intptr_t second) = 0;
};

}  // namespace tessali::skin
