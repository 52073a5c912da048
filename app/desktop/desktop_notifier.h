// IDesktopNotifier: what the main window tells the desktop outside its own window: a
// notification when a download completes, whose actions do what the window's buttons do, and the
// download's progress on the launcher or dock icon. Behind an interface so that the window's
// workflow is tested against a fake. GUI thread only. Without such services on the desktop every
// call fails quietly.
#pragma once

#include <QString>
#include <functional>
#include <string>
#include <vector>

namespace tessali::app {

// Keys of the completion notification's actions.
inline constexpr const char* kActionOpenFolder = "open-folder";
inline constexpr const char* kActionRun = "run";

struct NotificationAction {
    std::string key;
    QString label;
    std::function<void()> run;
};

struct CompletionNotice {
    QString summary;
    QString body;
    std::vector<NotificationAction> actions;  // the first one also answers a click on the notice
};

class IDesktopNotifier {
public:
    virtual ~IDesktopNotifier() = default;
    virtual void NotifyCompleted(CompletionNotice notice) = 0;
    // The shown download's progress, 0 … 1. Implementations may drop updates that come too fast.
    virtual void ShowProgress(double fraction) = 0;
    // No download is shown any more: the launcher icon loses its progress.
    virtual void ClearProgress() = 0;
};

}  // namespace tessali::app
