#include "app/desktop/dbus_notifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QStringList>
#include <QVariantMap>
#include <algorithm>

#include "engine/platform/tick.h"

namespace tessali::app {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kAppName = QStringLiteral("Tessali下载器");

}  // namespace

CDBusNotifier::CDBusNotifier(QDBusConnection bus, QString desktopFileName, QObject* parent)
    : QObject(parent),
      m_bus(std::move(bus)),
      m_desktopFileName(desktopFileName.isEmpty() ? QGuiApplication::desktopFileName() : desktopFileName) {
    if (m_bus.isConnected()) {
        // Bound to the service name: the bus library follows its owner if the service restarts.
        m_bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                      SLOT(OnActionInvoked(uint, QString)));
        m_bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                      SLOT(OnNotificationClosed(uint, uint)));
    }
}

QString CDBusNotifier::AppUri() const {
    return QStringLiteral("application://") + m_desktopFileName + QStringLiteral(".desktop");
}

void CDBusNotifier::NotifyCompleted(CompletionNotice notice) {
    if (!m_bus.isConnected()) {
        Unreachable(notice, QStringLiteral("no session bus"));
        return;
    }
    QStringList actions;
    // "default" is what a click on the notice itself does: the first action.
    if (!notice.actions.empty())
        actions << QStringLiteral("default") << notice.actions.front().label;
    for (const NotificationAction& a : notice.actions) actions << QString::fromStdString(a.key) << a.label;
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), m_desktopFileName);
    hints.insert(QStringLiteral("category"), QStringLiteral("transfer.complete"));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    // Services may read the body as markup; a file name must stay text.
    call << kAppName << uint(0) << m_desktopFileName << notice.summary << notice.body.toHtmlEscaped()
         << actions << hints << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, notice = std::move(notice)](QDBusPendingCallWatcher* w) { OnNotifyAnswered(w, notice); });
}

void CDBusNotifier::OnNotifyAnswered(QDBusPendingCallWatcher* watcher, const CompletionNotice& notice) {
    watcher->deleteLater();
    const QDBusPendingReply<uint> reply = *watcher;
    if (reply.isError()) {
        Unreachable(notice, reply.error().name());
        return;
    }
    const uint id = reply.value();
    if (notice.actions.empty())
        return;
    if (m_pending.emplace(id, notice).second) {
        m_order.push_back(id);
    } else {
        m_pending[id] = notice;  // the service reused an id: the newer notice holds it
    }
    while (m_order.size() > kMaxPending) {
        m_pending.erase(m_order.front());
        m_order.pop_front();
    }
}

void CDBusNotifier::Unreachable(const CompletionNotice& notice, const QString& why) {
    if (!m_warned) {
        m_warned = true;
        qWarning("desktop notifications unavailable (%s); using the notification area", qPrintable(why));
    }
    if (m_fallback)
        m_fallback(notice);
}

void CDBusNotifier::OnActionInvoked(uint id, const QString& key) {
    auto it = m_pending.find(id);
    if (it == m_pending.end() || it->second.actions.empty())
        return;
    // Run a copy: the action may show a window whose events reach this object again.
    const std::vector<NotificationAction> actions = it->second.actions;
    const std::string wanted = key.toStdString();
    for (const NotificationAction& a : actions) {
        if (a.key == wanted || (wanted == "default" && &a == &actions.front())) {
            if (a.run)
                a.run();
            return;
        }
    }
}

void CDBusNotifier::OnNotificationClosed(uint id, uint /*reason*/) {
    if (m_pending.erase(id) != 0)
        m_order.erase(std::remove(m_order.begin(), m_order.end(), id), m_order.end());
}

void CDBusNotifier::ShowProgress(double fraction) {
    if (const std::optional<double> value = m_throttle.Update(fraction, platform::GetTick()))
        SendLauncherUpdate(*value, true);
}

void CDBusNotifier::ClearProgress() {
    if (m_throttle.Clear())
        SendLauncherUpdate(0.0, false);
}

void CDBusNotifier::SendLauncherUpdate(double progress, bool visible) {
    if (!m_bus.isConnected())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(kLauncherPath),
                                                     QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                                     QStringLiteral("Update"));
    QVariantMap properties;
    properties.insert(QStringLiteral("progress"), progress);
    properties.insert(QStringLiteral("progress-visible"), visible);
    signal << AppUri() << properties;
    m_bus.send(signal);
}

}  // namespace tessali::app
