// The program's desktop notifier on a real session bus: a private bus from dbus-run-session and a
// stand-in notification service in its own process (notification_listener.cpp). Shows what a
// notification service and a dock receive, that the service's ActionInvoked runs the notice's
// action, and that a missing or refusing service falls back quietly.

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest/QTest>
#include <cstdlib>
#include <optional>

#include "app/desktop/dbus_notifier.h"
#include "app/desktop/desktop.h"
#include "engine/platform/tick.h"

namespace tessali::app {
namespace {

QGuiApplication& App() {
    static int argc = 1;
    static char name[] = "test_desktop";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return new QGuiApplication(argc, argv);
    }();
    return *app;
}

// The tests own org.freedesktop.Notifications: never on a user's own bus.
class DBusNotifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* marker = std::getenv("TESSALI_PRIVATE_BUS");
        if (marker == nullptr || std::string(marker) != "1")
            GTEST_SKIP() << "needs a private session bus: run through ctest (dbus-run-session)";
        App();
        SetDesktopIdentity();
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected());
    }
};

// The stand-in service, one process per test.
class CListener {
public:
    explicit CListener(const QStringList& args = {}) {
        m_process.setProgram(QStringLiteral(TESSALI_LISTENER));
        m_process.setArguments(args);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
    }
    ~CListener() {
        m_process.write("quit\n");
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
        // The name is free again before the next test looks for the service.
        QTest::qWaitFor([] {
            return !QDBusConnection::sessionBus().interface()->isServiceRegistered(
                QStringLiteral("org.freedesktop.Notifications"));
        });
    }
    bool Ready() {
        const std::optional<QByteArray> line = Line();
        return line && *line == "ready";
    }
    // The next JSON line of `event`, lines of other events are skipped.
    std::optional<QJsonObject> Next(const char* event, int timeoutMs = 5000) {
        while (const std::optional<QByteArray> line = Line(timeoutMs)) {
            const QJsonObject object = QJsonDocument::fromJson(*line).object();
            if (object.value("event").toString() == QLatin1String(event))
                return object;
        }
        return std::nullopt;
    }
    void Send(const QString& command) { m_process.write((command + "\n").toUtf8()); }

private:
    std::optional<QByteArray> Line(int timeoutMs = 5000) {
        QTest::qWaitFor([this] { return m_process.canReadLine(); }, timeoutMs);
        if (!m_process.canReadLine())
            return std::nullopt;
        return m_process.readLine().trimmed();
    }
    QProcess m_process;
};

struct CActionCounts {
    int openFolder = 0;
    int run = 0;
    std::vector<QString> fallbacks;
};

CompletionNotice Notice(CActionCounts& counts, const QString& body = QStringLiteral("/home/u/下载/a.exe")) {
    CompletionNotice notice;
    notice.summary = QStringLiteral("任务：TessaliSetup.exe下载完成");
    notice.body = body;
    notice.actions.push_back(
        {kActionOpenFolder, QStringLiteral("打开目录"), [&counts] { ++counts.openFolder; }});
    notice.actions.push_back({kActionRun, QStringLiteral("运行"), [&counts] { ++counts.run; }});
    return notice;
}

void Fallback(CDBusNotifier& notifier, CActionCounts& counts) {
    notifier.SetFallback([&counts](const CompletionNotice& n) { counts.fallbacks.push_back(n.summary); });
}

TEST_F(DBusNotifierTest, TheServiceGetsTheNoticeAndItsActionInvokedRunsTheAction) {
    CListener listener;
    ASSERT_TRUE(listener.Ready());
    CDBusNotifier notifier(QDBusConnection::sessionBus());
    CActionCounts counts;
    Fallback(notifier, counts);
    notifier.NotifyCompleted(Notice(counts, QStringLiteral("/home/u/下载/a&b<c>.exe")));

    const std::optional<QJsonObject> call = listener.Next("notify");
    ASSERT_TRUE(call);
    EXPECT_EQ(call->value("app_name").toString(), QStringLiteral("Tessali下载器"));
    EXPECT_EQ(call->value("app_icon").toString(), QStringLiteral("org.tessali.Downloader"));
    EXPECT_EQ(call->value("summary").toString(), QStringLiteral("任务：TessaliSetup.exe下载完成"));
    EXPECT_EQ(call->value("body").toString(), QStringLiteral("/home/u/下载/a&amp;b&lt;c&gt;.exe"));
    EXPECT_EQ(call->value("actions").toArray().toVariantList(),
              QVariantList({"default", "打开目录", "open-folder", "打开目录", "run", "运行"}));
    EXPECT_EQ(call->value("hints").toObject().value("desktop-entry").toString(),
              QStringLiteral("org.tessali.Downloader"));
    EXPECT_EQ(call->value("expire_timeout").toInt(), -1);
    const int id = call->value("id").toInt();
    ASSERT_GT(id, 0);
    QTest::qWaitFor([&] { return notifier.PendingCount() == 1; });
    ASSERT_EQ(notifier.PendingCount(), 1u);

    listener.Send(QStringLiteral("invoke %1 run").arg(id));
    QTest::qWaitFor([&] { return counts.run == 1; });
    EXPECT_EQ(counts.run, 1);
    EXPECT_EQ(counts.openFolder, 0);
    // A click on the notice itself is its first action; a stranger's id does nothing.
    listener.Send(QStringLiteral("invoke %1 run").arg(id + 100));
    listener.Send(QStringLiteral("invoke %1 default").arg(id));
    QTest::qWaitFor([&] { return counts.openFolder == 1; });
    EXPECT_EQ(counts.openFolder, 1);
    EXPECT_EQ(counts.run, 1);

    // Closed by the service: its actions are forgotten.
    listener.Send(QStringLiteral("close %1").arg(id));
    QTest::qWaitFor([&] { return notifier.PendingCount() == 0; });
    EXPECT_EQ(notifier.PendingCount(), 0u);
    listener.Send(QStringLiteral("invoke %1 run").arg(id));
    notifier.NotifyCompleted(Notice(counts));
    const std::optional<QJsonObject> second = listener.Next("notify");
    ASSERT_TRUE(second);
    QTest::qWaitFor([&] { return notifier.PendingCount() == 1; });
    listener.Send(QStringLiteral("invoke %1 open-folder").arg(second->value("id").toInt()));
    QTest::qWaitFor([&] { return counts.openFolder == 2; });
    EXPECT_EQ(counts.openFolder, 2);
    EXPECT_EQ(counts.run, 1);
    EXPECT_TRUE(counts.fallbacks.empty());
}

// Also: the service appears after the program started (as one started on demand does), and its
// signals still reach the notifier.
TEST_F(DBusNotifierTest, OnlyTheNewestNoticesKeepTheirActions) {
    CDBusNotifier notifier(QDBusConnection::sessionBus());
    CListener listener;
    ASSERT_TRUE(listener.Ready());
    CActionCounts counts;
    const size_t sent = CDBusNotifier::kMaxPending + 4;
    std::vector<int> ids;
    for (size_t i = 0; i < sent; ++i) {
        notifier.NotifyCompleted(Notice(counts));
        const std::optional<QJsonObject> call = listener.Next("notify");
        ASSERT_TRUE(call);
        ids.push_back(call->value("id").toInt());
    }
    // Replies and signals from the service arrive in order: once the last action has run, every
    // reply has been handled.
    listener.Send(QStringLiteral("invoke %1 run").arg(ids.front()));
    listener.Send(QStringLiteral("invoke %1 open-folder").arg(ids.back()));
    QTest::qWaitFor([&] { return counts.openFolder == 1; });
    EXPECT_EQ(counts.openFolder, 1);
    EXPECT_EQ(counts.run, 0);
    EXPECT_EQ(notifier.PendingCount(), CDBusNotifier::kMaxPending);
}

TEST_F(DBusNotifierTest, WithoutAServiceOrWithARefusingOneTheNoticeGoesToTheFallback) {
    std::vector<QString> warnings;
    static std::vector<QString>* sink = nullptr;
    sink = &warnings;
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
            if (type == QtWarningMsg && sink)
                sink->push_back(text);
        });
    {
        CDBusNotifier notifier(QDBusConnection::sessionBus());
        CActionCounts counts;
        Fallback(notifier, counts);
        notifier.NotifyCompleted(Notice(counts));
        notifier.NotifyCompleted(Notice(counts));
        QTest::qWaitFor([&] { return counts.fallbacks.size() == 2; });
        EXPECT_EQ(counts.fallbacks.size(), 2u);
        EXPECT_EQ(counts.fallbacks.front(), QStringLiteral("任务：TessaliSetup.exe下载完成"));
        EXPECT_EQ(notifier.PendingCount(), 0u);
    }
    {
        CListener listener({QStringLiteral("--refuse")});
        ASSERT_TRUE(listener.Ready());
        CDBusNotifier notifier(QDBusConnection::sessionBus());
        CActionCounts counts;
        Fallback(notifier, counts);
        notifier.NotifyCompleted(Notice(counts));
        const std::optional<QJsonObject> call = listener.Next("notify");
        ASSERT_TRUE(call);
        EXPECT_TRUE(call->value("refused").toBool());
        QTest::qWaitFor([&] { return counts.fallbacks.size() == 1; });
        EXPECT_EQ(counts.fallbacks.size(), 1u);
    }
    {
        // No bus at all: straight to the fallback, and progress goes nowhere without failing.
        CDBusNotifier notifier(QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                                             QStringLiteral("nobus")));
        CActionCounts counts;
        Fallback(notifier, counts);
        notifier.NotifyCompleted(Notice(counts));
        EXPECT_EQ(counts.fallbacks.size(), 1u);
        notifier.ShowProgress(0.5);
        notifier.ClearProgress();
    }
    qInstallMessageHandler(previous);
    sink = nullptr;
    // One warning per notifier that could not reach a service, not one per notice.
    ASSERT_EQ(warnings.size(), 3u);
    for (const QString& w : warnings)
        EXPECT_TRUE(w.startsWith("desktop notifications unavailable")) << w.toStdString();
}

TEST_F(DBusNotifierTest, TheLauncherEntryFollowsTheProgressAndIsClearedAtTheEnd) {
    CListener listener;
    ASSERT_TRUE(listener.Ready());
    platform::FakeTick tick(1000);
    CDBusNotifier notifier(QDBusConnection::sessionBus());
    notifier.ShowProgress(0.25);
    std::optional<QJsonObject> update = listener.Next("launcher");
    ASSERT_TRUE(update);
    EXPECT_EQ(update->value("uri").toString(),
              QStringLiteral("application://org.tessali.Downloader.desktop"));
    EXPECT_EQ(update->value("path").toString(), QString::fromLatin1(CDBusNotifier::kLauncherPath));
    EXPECT_DOUBLE_EQ(update->value("progress").toDouble(), 0.25);
    EXPECT_TRUE(update->value("progress-visible").toBool());

    notifier.ShowProgress(0.3);  // too soon after the last one: dropped
    tick.Advance(CProgressThrottle::kMinIntervalMs);
    notifier.ShowProgress(0.5);
    update = listener.Next("launcher");
    ASSERT_TRUE(update);
    EXPECT_DOUBLE_EQ(update->value("progress").toDouble(), 0.5);

    notifier.ClearProgress();
    notifier.ClearProgress();  // nothing shown any more: not sent again
    notifier.ShowProgress(1.7);
    update = listener.Next("launcher");
    ASSERT_TRUE(update);
    EXPECT_FALSE(update->value("progress-visible").toBool());
    update = listener.Next("launcher");
    ASSERT_TRUE(update);
    EXPECT_TRUE(update->value("progress-visible").toBool());
    EXPECT_DOUBLE_EQ(update->value("progress").toDouble(), 1.0);
}

}  // namespace
}  // namespace tessali::app
