// A stand-in notification service for tests, on the session bus it is started on (a private
// one from dbus-run-session): it owns org.freedesktop.Notifications, answers Notify with
// increasing ids and listens to every com.canonical.Unity.LauncherEntry.Update signal. Each call
// or signal it sees becomes one JSON line on standard output; lines on standard input make it
// emit signals:
//   invoke ID KEY   ActionInvoked(ID, KEY)
//   close ID        NotificationClosed(ID, 2)
//   quit            release the name and exit
// With --refuse, every Notify is answered with an error, as a broken service would.
// It prints "ready" once it owns the name, "taken" (exit 2) when someone else does.

#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QStringList>
#include <QVariantMap>
#include <cstdio>
#include <string>

namespace {

void Print(const QJsonObject& line) {
    std::fputs(QJsonDocument(line).toJson(QJsonDocument::Compact).constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

class CNotificationService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    explicit CNotificationService(bool refuse) : m_refuse(refuse) {}

public slots:
    uint Notify(const QString& appName, uint replacesId, const QString& appIcon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints,
                int expireTimeout) {
        QJsonObject line{{"event", "notify"},
                         {"app_name", appName},
                         {"replaces_id", int(replacesId)},
                         {"app_icon", appIcon},
                         {"summary", summary},
                         {"body", body},
                         {"actions", QJsonArray::fromStringList(actions)},
                         {"expire_timeout", expireTimeout}};
        QJsonObject h;
        for (auto it = hints.begin(); it != hints.end(); ++it) h.insert(it.key(), it.value().toString());
        line.insert("hints", h);
        if (m_refuse) {
            line.insert("refused", true);
            Print(line);
            sendErrorReply(QDBusError::AccessDenied, QStringLiteral("notifications are turned off"));
            return 0;
        }
        line.insert("id", int(++m_lastId));
        Print(line);
        return m_lastId;
    }
    QStringList GetCapabilities() { return {QStringLiteral("actions"), QStringLiteral("body")}; }
    void CloseNotification(uint id) { emit NotificationClosed(id, 3); }
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion) {
        vendor = QStringLiteral("tessali-tests");
        version = QStringLiteral("1");
        specVersion = QStringLiteral("1.2");
        return QStringLiteral("notification-listener");
    }

private slots:
    void OnLauncherUpdate(const QString& appUri, const QVariantMap& properties, const QDBusMessage& signal) {
        QJsonObject line{{"event", "launcher"}, {"uri", appUri}, {"path", signal.path()}};
        for (auto it = properties.begin(); it != properties.end(); ++it)
            line.insert(it.key(), QJsonValue::fromVariant(it.value()));
        Print(line);
    }

signals:
    void ActionInvoked(uint id, const QString& actionKey);
    void NotificationClosed(uint id, uint reason);

private:
    bool m_refuse;
    uint m_lastId = 0;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const bool refuse = app.arguments().contains(QStringLiteral("--refuse"));
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fputs("no bus\n", stdout);
        return 1;
    }
    CNotificationService service(refuse);
    bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                       QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals);
    // Empty service and path: the update signal from anyone, on any object.
    bus.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                QStringLiteral("Update"), &service,
                SLOT(OnLauncherUpdate(QString, QVariantMap, QDBusMessage)));
    if (!bus.registerService(QStringLiteral("org.freedesktop.Notifications"))) {
        std::fputs("taken\n", stdout);
        return 2;
    }
    std::fputs("ready\n", stdout);
    std::fflush(stdout);

    std::string pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char chunk[256];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            app.quit();  // the test went away
            return;
        }
        pending.append(chunk, static_cast<size_t>(n));
        for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
            const QStringList words =
                QString::fromUtf8(pending.substr(0, end)).split(' ', Qt::SkipEmptyParts);
            if (words.size() == 3 && words[0] == "invoke") {
                emit service.ActionInvoked(words[1].toUInt(), words[2]);
            } else if (words.size() == 2 && words[0] == "close") {
                emit service.NotificationClosed(words[1].toUInt(), 2);
            } else if (words.value(0) == "quit") {
                app.quit();
            }
        }
    });
    const int code = app.exec();
    bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    return code;
}

#include "notification_listener.moc"
