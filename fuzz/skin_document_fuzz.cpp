// Input: a skin document (XML: window elements named after the skinned windows, holding nested
// control elements with position, size, image, text and colour attributes). Parsing and applying it
// to a skinned window must never crash, whatever the attribute values.

#include <QApplication>
#include <QByteArray>
#include <cstdint>
#include <memory>

#include "skin/skin_document.h"
#include "skin/skin_wnd.h"

namespace {

class CFuzzWnd : public tessali::skin::CSkinWnd {
public:
    CFuzzWnd() : CSkinWnd(QStringLiteral("pyxdlmain")) {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int argc = 1;
    static char arg0[] = "fuzz";
    static char* argv[] = {arg0, nullptr};
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    (void)app;
    tinyxml2::XMLDocument doc;
    if (!tessali::skin::ParseSkinBytes(doc, QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size)))) {
        return 0;
    }
    CFuzzWnd wnd;
    wnd.ApplySkinDocument(doc);
    wnd.resize(590, 530);
    return 0;
}
