// CDesktop: the IDesktopServices of the real program (statvfs/statfs facts, the Qt folder chooser,
// QDesktopServices for xdg-open, QSystemTrayIcon's view of the notification area). GUI thread only.
#pragma once

#include "app/desktop_services.h"

namespace tessali::app {

class CDesktop : public IDesktopServices {
public:
    int64_t FreeBytes(const std::string& folder) override;
    bool CanHoldLargeFiles(const std::string& folder) override;
    bool IsDriveRoot(const std::string& folder) override;
    std::string ChooseFolder(QWidget* owner, const std::string& title) override;
    void OpenFile(const std::string& path) override;
    void OpenFolder(const std::string& folder) override;
    void OpenUrl(const std::string& url) override;
    bool TrayAvailable() override;
};

}  // namespace tessali::app
