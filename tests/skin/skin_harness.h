// Test support for the skin framework: a QApplication on the offscreen platform, a recording
// IMirtCallBack, a skin element parsed from text, and windows that load a skin document given as
// text or the built-in skin.
#pragma once

#include <tinyxml2.h>
#include <QApplication>
#include <QImage>
#include <QString>
#include <cstdlib>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "skin/skin_dialog.h"
#include "skin/skin_document.h"
#include "skin/skin_root.h"
#include "skin/skin_tables.h"
#include "skin/skin_wnd.h"

namespace tessali::skin::test {

inline QApplication& App() {
    static int argc = 1;
    static char name[] = "test_skin";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return new QApplication(argc, argv);
    }();
    return *app;
}

// One skin element parsed from `xml`, for a control's LoadFromNode: `*Element("<pic .../>")`.
class Element {
public:
    explicit Element(const std::string& xml) { m_doc.Parse(xml.c_str()); }
    const tinyxml2::XMLElement& operator*() const { return *m_doc.RootElement(); }

private:
    tinyxml2::XMLDocument m_doc;
};

// Put first among a fixture's members: its widgets need the application when they are constructed.
struct CAppGuard {
    CAppGuard() { App(); }
};

struct CNote {
    int code;
    intptr_t first;
    intptr_t second;
};

class CRecordingCallBack : public IMirtCallBack {
public:
    intptr_t OnSkinNotify(int code, intptr_t first, intptr_t second) override {
        notes.push_back({code, first, second});
        return answer;
    }
    int Count(int code) const {
        int n = 0;
        for (const CNote& note : notes) n += note.code == code;
        return n;
    }
    std::vector<CNote> notes;
    intptr_t answer = 0;
};

// Parses a skin document from text and applies its element named skinName to the window.
inline bool ApplyText(CSkinRoot& root, const std::string& xml) {
    tinyxml2::XMLDocument doc;
    if (!ParseSkinBytes(doc, QByteArray::fromStdString(xml)))
        return false;
    return root.ApplySkinDocument(doc);
}

// A skinned window whose skin is the given document text; it records its notifications.
class CTestWnd : public CSkinWnd {
public:
    explicit CTestWnd(std::string xml, int kind = kKindMainWindow,
                      const QString& name = QStringLiteral("testwnd"))
        : CSkinWnd(name), m_xml(std::move(xml)) {
        SetKind(kind);
    }
    void LoadSkin() override { ApplyText(*this, m_xml); }
    intptr_t OnSkinNotify(int code, intptr_t first, intptr_t second) override {
        notes.push_back({code, first, second});
        if (onNotify)
            onNotify(code);
        return CSkinWnd::OnSkinNotify(code, first, second);
    }
    std::vector<CNote> notes;
    std::function<void(int)> onNotify;
    int Count(int code) const {
        int n = 0;
        for (const CNote& note : notes) n += note.code == code;
        return n;
    }

private:
    std::string m_xml;
};

// The main window's look as the application builds it: the built-in skin, kind 0, 590 x 530.
class CBuiltinMainWnd : public CSkinWnd {
public:
    CBuiltinMainWnd() : CSkinWnd(QStringLiteral("pyxdlmain")) { SetKind(kKindMainWindow); }
    void LoadSkin() override { LoadBuiltinSkin(); }
    intptr_t OnSkinNotify(int code, intptr_t first, intptr_t second) override {
        notes.push_back({code, first, second});
        return 0;
    }
    std::vector<CNote> notes;
};

// The version dialog's look: the built-in skin's "SelectVersionDlg", as large as its background.
class CBuiltinDialog : public CSkinDialog {
public:
    CBuiltinDialog() : CSkinDialog(QStringLiteral("SelectVersionDlg")) {}
    void LoadSkin() override { LoadBuiltinSkin(); }
    intptr_t OnSkinNotify(int code, intptr_t first, intptr_t second) override {
        notes.push_back({code, first, second});
        return 0;
    }
    std::vector<CNote> notes;
};

// Creates and sizes a window so that its controls are laid out and its buffer is drawn (the
// process's first paint is spent beforehand, so the paint here draws).
template <class Window>
void Realise(Window& w, int width, int height) {
    CSkinState::Instance().firstPaintDone = true;
    CSkinState::Instance().paintingSuspended = false;
    if constexpr (std::is_base_of_v<CSkinDialog, Window>) {
        w.InitDialog();
    } else {
        w.Create();
    }
    w.resize(width, height);
    // A hidden widget gets its resize event only when shown; deliver the size message now.
    w.OnSize();
    w.Paint();
}

// Frame k of an n-frame strip, at (dx, dy) inside the frame.
inline QRgb FramePixel(const QImage& strip, int frames, int k, int dx, int dy) {
    return strip.pixel(k * (strip.width() / frames) + dx, dy);
}

}  // namespace tessali::skin::test
