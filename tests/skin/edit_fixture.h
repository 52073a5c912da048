// The window of the tests' own skin document with every edit kind and the combo box, shown on the
// offscreen platform, with the combo box's delete mark written into a private skin folder.
#pragma once

#include <QDir>
#include <QFile>
#include <QTest>
#include <memory>

#include "common/temp_dir.h"
#include "skin/skin_combobox.h"
#include "skin/skin_edit.h"
#include "skin/skin_reader.h"
#include "skin_harness.h"

namespace tessali::skin::test {

constexpr int kComboId = 130;
// The delete mark's two frames.
constexpr QRgb kMarkNormal = 0xFF10A010;
constexpr QRgb kMarkHover = 0xFFA01010;

inline std::string EditsSkin() {
    QFile file(QStringLiteral(TESSALI_SOURCE_DIR "/tests/skin/data/edits_skin.xml"));
    if (!file.open(QIODevice::ReadOnly))
        return std::string();
    return file.readAll().toStdString();
}

// Keeps the texts of list choices, which are only valid while the notification runs.
class CEditsTestWnd : public CTestWnd {
public:
    using CTestWnd::CTestWnd;
    intptr_t OnSkinNotify(int code, intptr_t first, intptr_t second) override {
        if (code == kNotifyListChosen)
            chosen.push_back(
                {*reinterpret_cast<const QString*>(first), reinterpret_cast<CSkinCtrl*>(second)});
        return CTestWnd::OnSkinNotify(code, first, second);
    }
    struct Choice {
        QString text;
        CSkinCtrl* sender;
    };
    std::vector<Choice> chosen;
};

struct CEditsWindow {
    CEditsWindow() {
        App();
        const QString folder = QString::fromStdString(dir.Path());
        CSkinPaths::Instance().SetAppFolder(folder);
        QDir().mkpath(folder + "skin/DefaultSkin");
        QImage mark(2 * 10, 10, QImage::Format_ARGB32);
        mark.fill(kMarkNormal);
        for (int y = 0; y < 10; ++y)
            for (int x = 10; x < 20; ++x) mark.setPixel(x, y, kMarkHover);
        mark.save(folder + "skin/DefaultSkin/delmark.png");
        CSkinIdTable::Instance().Add(QStringLiteral("version"), kComboId);

        wnd = std::make_unique<CEditsTestWnd>(EditsSkin(), kKindMainWindow, QStringLiteral("editswnd"));
        // The owner shows the combo box's list when its button is clicked.
        wnd->onNotify = [this](int code) {
            if (code == kComboId)
                Combo()->ShowList();
        };
        Realise(*wnd, 400, 300);
        wnd->show();
        (void)QTest::qWaitForWindowExposed(wnd.get());
    }
    ~CEditsWindow() {
        wnd.reset();
        CSkinPaths::Instance().SetAppFolder(QString());
    }

    template <class T = CSkinEditBase>
    T* Get(const char* id) const {
        return dynamic_cast<T*>(wnd->FindChild(QString::fromUtf8(id)));
    }
    CSkinComboBox* Combo() const { return Get<CSkinComboBox>("version"); }
    // What the window shows, its text windows included.
    QImage Shown() const { return wnd->grab().toImage().convertToFormat(QImage::Format_ARGB32); }

    CAppGuard app;
    tessali::test::TempDir dir;
    std::unique_ptr<CEditsTestWnd> wnd;
};

// Exact pixels of a colour in a rectangle of an image.
inline int CountPixels(const QImage& image, const QRect& rect, QRgb colour) {
    int n = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x) n += image.pixel(x, y) == colour;
    return n;
}

}  // namespace tessali::skin::test
