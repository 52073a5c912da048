// Skin documents: which element a window takes, which elements become controls, the generic file
// loader, embedding through "subview", and the built-in skin's content.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "common/temp_dir.h"
#include "skin/skin_button.h"
#include "skin/skin_image.h"
#include "skin/skin_reader.h"
#include "skin/skin_text.h"
#include "skin_harness.h"

namespace tessali::skin {
namespace {

using test::CBuiltinDialog;
using test::CBuiltinMainWnd;
using test::CTestWnd;

std::vector<QString> Ids(const CSkinCtrl& c) {
    std::vector<QString> ids;
    for (const CSkinCtrl* child : c.Children()) ids.push_back(child->Id());
    return ids;
}

TEST(SkinDocument, FirstWindowElementOfTheNameWinsWhateverItsCase) {
    test::App();
    CTestWnd wnd(
        "<skin><other><btn id=\"wrong\"/></other>"
        "<TESTWND bgcolor=\"0xff102030\"><btn id=\"first\"/></TESTWND>"
        "<testwnd bgcolor=\"0xff405060\"><btn id=\"second\"/></testwnd></skin>",
        kKindWindow);
    wnd.Create();
    EXPECT_EQ(Ids(wnd), std::vector<QString>{"first"});
    EXPECT_EQ(wnd.BackgroundColour(), 0xFF102030u);
}

TEST(SkinDocument, UnknownElementsCommentsAndTextAreSkipped) {
    test::App();
    CTestWnd wnd(
        "<skin><testwnd>text<!-- note --><btn id=\"a\"/><button id=\"x\"/><edit id=\"e\"/>"
        "<txt id=\"b\"/><PIC id=\"c\"/><unknown><btn id=\"hidden\"/></unknown><btnex "
        "id=\"d\"/></testwnd></skin>",
        kKindWindow);
    wnd.Create();
    // The window parents the edit's text window, so the edit is a control like the others.
    EXPECT_EQ(Ids(wnd), (std::vector<QString>{"a", "e", "b", "c", "d"}));
    EXPECT_EQ(wnd.FindChild("hidden"), nullptr);
    EXPECT_EQ(wnd.FindChild("d")->GetKind(), KindOfElement("btnex"));
}

TEST(SkinDocument, FindChildSearchesDepthFirstAndCaseExactly) {
    test::App();
    CTestWnd wnd(
        "<skin><testwnd><pic id=\"outer\"><pic id=\"mid\"><btn id=\"gobtn\"/></pic></pic>"
        "<btn id=\"gobtn\" x=\"7\"/></testwnd></skin>",
        kKindWindow);
    wnd.Create();
    CSkinCtrl* found = wnd.FindChild("gobtn");
    ASSERT_NE(found, nullptr);
    // The nested one comes first in depth-first order.
    EXPECT_EQ(found, wnd.FindChild("mid")->Children().front());
    EXPECT_EQ(wnd.FindChild("GoBtn"), nullptr);
    EXPECT_EQ(wnd.FindChild("gobt"), nullptr);
}

TEST(SkinDocument, MissingOrBrokenDocumentsLoadNothing) {
    test::App();
    CTestWnd broken("<skin><testwnd><btn id=\"a\"></skin>", kKindWindow);
    broken.Create();
    EXPECT_TRUE(broken.Children().empty());
    CTestWnd absent("<skin><elsewhere><btn id=\"a\"/></elsewhere></skin>", kKindWindow);
    absent.Create();
    EXPECT_TRUE(absent.Children().empty());
    test::Realise(absent, 50, 50);
    EXPECT_TRUE(absent.Buffer().isNull());
}

TEST(SkinDocument, GenericLoaderReadsTheSkinFolder) {
    test::App();
    tessali::test::TempDir dir;
    CSkinPaths& paths = CSkinPaths::Instance();
    paths.SetAppFolder(QString::fromStdString(dir.Path()));
    CSkinWnd missing("testwnd");
    missing.Create();
    EXPECT_TRUE(missing.Children().empty());

    QDir().mkpath(QString::fromStdString(dir.Path()) + "skin");
    tessali::test::WriteFile(dir.Path() + "skin/DefaultSkin.xml",
                             "<?xml version=\"1.0\" encoding=\"UTF-8\"?><skin><testwnd><txt id=\"t\" "
                             "face=\"宋体\" size=\"9\"/></testwnd></skin>");
    CSkinWnd wnd("testwnd");
    wnd.Create();
    EXPECT_EQ(Ids(wnd), std::vector<QString>{"t"});
    paths.SetAppFolder(QString());
}

TEST(SkinDocument, ImagesComeFromResourcesAndPicturesTakeTheirSize) {
    test::App();
    CTestWnd wnd(
        "<skin><testwnd><pic id=\"p\" image=\"bar\"/><pic id=\"s\" image=\"BAR\" horizontal=\"stretch\"/>"
        "<btn id=\"none\" image=\"NOT_THERE\"/></testwnd></skin>",
        kKindWindow);
    wnd.Create();
    const QImage bar = LoadPngResource("BAR");
    EXPECT_EQ(wnd.FindChild("p")->SkinRect().size(), bar.size());
    // Stretch keeps "width" as the margin; only the height comes from the image.
    EXPECT_EQ(wnd.FindChild("s")->SkinRect().size(), QSize(0, bar.height()));
    EXPECT_TRUE(wnd.FindChild("none")->Image().isNull());
}

// An owner that offers one window for embedding.
class CEmbeddingWnd : public CTestWnd {
public:
    CEmbeddingWnd(std::string xml, CSkinWnd* inner)
        : CTestWnd(std::move(xml), kKindMainWindow), m_inner(inner) {}
    intptr_t OnSkinNotify(int code, intptr_t first, intptr_t second) override {
        if (code == kNotifySubview) {
            asked = *reinterpret_cast<const QString*>(first);
            return asked == "panel" ? reinterpret_cast<intptr_t>(static_cast<CSkinCtrl*>(m_inner)) : 0;
        }
        return CTestWnd::OnSkinNotify(code, first, second);
    }
    QString asked;

private:
    CSkinWnd* m_inner;
};

TEST(SkinDocument, SubviewEmbedsTheOwnersWindowWithoutOwningIt) {
    test::App();
    CEmbeddingWnd* outer = nullptr;
    auto* inner = new CSkinWnd("inner");
    {
        CEmbeddingWnd wnd(
            "<skin><testwnd><pic id=\"bg\" image=\"BAR\"/>"
            "<subview id=\"panel\" x=\"10\" y=\"20\" width=\"100\" height=\"40\"><btn id=\"close\" "
            "width=\"8\" "
            "height=\"8\"/></subview>"
            "<subview id=\"nobody\"/></testwnd></skin>",
            inner);
        outer = &wnd;
        inner->setParent(&wnd);
        wnd.Create();
        EXPECT_EQ(Ids(wnd), (std::vector<QString>{"bg", "panel"}));
        EXPECT_EQ(wnd.asked, "nobody");
        EXPECT_EQ(inner->GetKind(), kKindWindow);
        EXPECT_EQ(inner->Owner(), static_cast<IMirtCallBack*>(outer));
        // The embedded window's controls are its own children, found through the tree.
        EXPECT_EQ(wnd.FindChild("close"), inner->FindChild("close"));
        wnd.Layout(300, 200);
        EXPECT_EQ(inner->geometry(), QRect(10, 20, 100, 40));
        // Notifications of an embedded window go to its owner.
        inner->OnSkinNotify(555, 1, 2);
        ASSERT_FALSE(wnd.notes.empty());
        EXPECT_EQ(wnd.notes.back().code, 555);
        wnd.ClearChildren();
        // Emptied with the tree but not deleted by it: the window belongs to its owner.
        EXPECT_TRUE(inner->Children().empty());
        EXPECT_EQ(inner->GetKind(), kKindWindow);
        inner->setParent(nullptr);
    }
    delete inner;
}

TEST(SkinDocument, BuiltinMainWindowHasTheSkinsElementsInOrder) {
    test::App();
    CBuiltinMainWnd wnd;
    wnd.Create();
    EXPECT_EQ(Ids(wnd),
              (std::vector<QString>{"bg",        "image",   "menu1",   "menu3", "menu4", "menu5", "menu6",
                                    "modifybtn", "openbtn", "stopbtn", "gobtn", "title", "state", "route",
                                    "min",       "close",   "page1",   "page2", "page3", "page4"}));
    EXPECT_EQ(wnd.BackgroundColour(), 0xFFC8C8C8u);
    EXPECT_EQ(wnd.FindChild("menu2"), nullptr);
    auto* go = dynamic_cast<CSkinButton*>(wnd.FindChild("gobtn"));
    ASSERT_NE(go, nullptr);
    EXPECT_EQ(go->Frames(), 4);
    EXPECT_EQ(go->Anchor(), kAnchorRight | kAnchorBottom);
    EXPECT_FALSE(wnd.FindChild("openbtn")->IsShown());
    EXPECT_FALSE(wnd.FindChild("stopbtn")->IsShown());
    EXPECT_TRUE(wnd.FindChild("gobtn")->IsShown());
    EXPECT_EQ(dynamic_cast<CSkinButton*>(wnd.FindChild("menu1"))->Frames(), 2);
    EXPECT_EQ(dynamic_cast<CSkinButton*>(wnd.FindChild("modifybtn"))->Frames(), 4);
    EXPECT_NE(dynamic_cast<CSkinSelectButton*>(wnd.FindChild("page3")), nullptr);
    EXPECT_FALSE(wnd.FindChild("page3")->IsShown());
    EXPECT_NE(dynamic_cast<CSkinCoincideImage*>(wnd.FindChild("image")), nullptr);
    auto* title = dynamic_cast<CSkinText*>(wnd.FindChild("title"));
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->TextColour(), 0xFFFFFFFFu);
    EXPECT_TRUE(title->Font().bold());
    EXPECT_EQ(dynamic_cast<CSkinText*>(wnd.FindChild("state"))->TextColour(), 0xFFFFC000u);
    EXPECT_EQ(dynamic_cast<CSkinText*>(wnd.FindChild("route"))->TextColour(), 0xFFEFC9A0u);
    // Every picture the skin names is compiled in, with the frame sizes the skin implies.
    EXPECT_EQ(wnd.FindChild("bg")->Image().size(), QSize(590, 530));
    EXPECT_EQ(go->Image().size(), QSize(4 * 106, 29));
    EXPECT_EQ(wnd.FindChild("close")->Image().size(), QSize(2 * 21, 21));
    EXPECT_EQ(wnd.FindChild("page1")->Image().size(), QSize(2 * 12, 12));
    EXPECT_EQ(wnd.FindChild("menu6")->Image().size(), QSize(2 * 57, 18));
    EXPECT_EQ(wnd.FindChild("openbtn")->Image().size(), QSize(2 * 106, 29));
    EXPECT_EQ(wnd.FindChild("modifybtn")->Image().size(), QSize(4 * 67, 24));
}

TEST(SkinDocument, BuiltinDialogHasTheSkinsElementsInOrder) {
    test::App();
    CBuiltinDialog dlg;
    dlg.InitDialog();
    EXPECT_EQ(Ids(dlg), (std::vector<QString>{"bg", "close", "check1", "check2", "check3", "check4", "size1",
                                              "size2", "size3", "size4", "progress1", "progress2",
                                              "progress3", "progress4", "state", "ok"}));
    EXPECT_EQ(dlg.BackgroundColour(), 0xF1F1F1F1u);
    EXPECT_EQ(dlg.SideColour(), 0xFFFF00FFu);
    for (int i = 1; i <= 4; ++i) {
        auto* box = dynamic_cast<CSkinButtonEx*>(dlg.FindChild(QString("check%1").arg(i)));
        ASSERT_NE(box, nullptr);
        EXPECT_FALSE(box->IsShown());
        EXPECT_EQ(box->LabelColour(), 0xFFEFC9A0u);
        EXPECT_EQ(box->Image().size(), QSize(6 * 13, 13));
        EXPECT_EQ(dlg.FindChild(QString("size%1").arg(i))->IsShown(), i == 1);
        EXPECT_EQ(dlg.FindChild(QString("progress%1").arg(i))->IsShown(), i == 1);
    }
    EXPECT_EQ(dlg.FindChild("check3")->SkinRect(), QRect(21, 135, 13, 13));
    EXPECT_EQ(dlg.FindChild("progress4")->SkinRect().topLeft(), QPoint(429, 168));
    EXPECT_EQ(dlg.FindChild("state")->Anchor(), kAnchorBottom);
    EXPECT_EQ(dynamic_cast<CSkinButton*>(dlg.FindChild("ok"))->Frames(), 4);
    EXPECT_EQ(dlg.FindChild("ok")->Image().size(), QSize(4 * 106, 29));
    EXPECT_EQ(dlg.FindChild("close")->Image().size(), QSize(2 * 28, 28));
}

}  // namespace
}  // namespace tessali::skin
