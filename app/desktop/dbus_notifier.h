// CDBusNotifier: the IDesktopNotifier of the real program, on the session bus. Completion
// notices go to org.freedesktop.Notifications (Notify, with the actions; ActionInvoked runs the
// matching action, NotificationClosed forgets it); progress goes out as the launcher entry signal
// com.canonical.Unity.LauncherEntry.Update that docks and task bars listen for. Without a bus or a
// notification service it stays quiet: the notice goes to the fallback (the tray balloon) and a
// single warning is logged. GUI thread only (the bus delivers replies and signals there).
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <deque>
#include <functional>
#include <map>

#include "app/desktop/desktop_notifier.h"
#include "app/flow/progress_throttle.h"

class QDBusPendingCallWatcher;

namespace tessali::app {

class CDBusNotifier : public QObject, public IDesktopNotifier {
    Q_OBJECT
public:
    // Notices whose actions are kept for a late click; older ones lose their actions.
    static constexpr size_t kMaxPending = 16;
    static constexpr int kCallTimeoutMs = 5000;
    static constexpr const char* kLauncherPath = "/org/tessali/Downloader/LauncherEntry";

    // `desktopFileName` without ".desktop" (empty: the application's desktop file name).
    explicit CDBusNotifier(QDBusConnection bus, QString desktopFileName = {}, QObject* parent = nullptr);

    // Shown instead when the notice cannot reach a notification service.
    void SetFallback(std::function<void(const CompletionNotice&)> fallback) {
        m_fallback = std::move(fallback);
    }

    void NotifyCompleted(CompletionNotice notice) override;
    void ShowProgress(double fraction) override;
    void ClearProgress() override;

    // "application://<desktop file name>.desktop", the launcher entry's name for this program.
    QString AppUri() const;
    size_t PendingCount() const { return m_pending.size(); }

private slots:
    void OnActionInvoked(uint id, const QString& key);
    void OnNotificationClosed(uint id, uint reason);

private:
    void OnNotifyAnswered(QDBusPendingCallWatcher* watcher, const CompletionNotice& notice);
    void Unreachable(const CompletionNotice& notice, const QString& why);
    void SendLauncherUpdate(double progress, bool visible);

    QDBusConnection m_bus;
    QString m_desktopFileName;
    std::function<void(const CompletionNotice&)> m_fallback;
    std::map<uint, CompletionNotice> m_pending;
    std::deque<uint> m_order;
    CProgressThrottle m_throttle;
    bool m_warned = false;
};

}  // namespace tessali::app
