// CDesktop: the IDesktopServices of the real program (statvfs/statfs facts, the Qt folder chooser,
// QDesktopServices for xdg-open, QSystemTrayIcon's view of the notification area). GUI thread only.
#pragma once

#include "app/flow/desktop_services.h"

namespace tessali::app {

// The desktop entry's name without ".desktop": the installed entry, the icons, the Wayland
// application id and the launcher entry all go by it.
inline constexpr const char* kDesktopFileName = "org.tessali.Downloader";

// Tells Qt (and through it the window system) which desktop entry this program is.
void SetDesktopIdentity();

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
