// IDesktopServices: what the download workflow and the main window ask of the desktop and the
// filesystem (free space, the folder chooser, the opener for files, folders and links, the
// notification area), behind an interface so that tests can answer for the desktop. The owner
// widget of the chooser is only named here, so the interface needs no Qt. GUI thread only.
#pragma once

#include <cstdint>
#include <string>

class QWidget;

namespace tessali::app {

class IDesktopServices {
public:
    virtual ~IDesktopServices() = default;
    // Bytes available to the caller on the filesystem that holds (or will hold) `folder`.
    virtual int64_t FreeBytes(const std::string& folder) = 0;
    // Whether that filesystem takes files of 4 GiB and more.
    virtual bool CanHoldLargeFiles(const std::string& folder) = 0;
    // Whether `folder` is the root of a local filesystem (downloads then go one level down).
    virtual bool IsDriveRoot(const std::string& folder) = 0;
    // The folder chooser: the chosen folder, or empty when cancelled.
    virtual std::string ChooseFolder(QWidget* owner, const std::string& title) = 0;
    // Opens a downloaded file with the desktop's opener (xdg-open).
    virtual void OpenFile(const std::string& path) = 0;
    virtual void OpenFolder(const std::string& folder) = 0;
    virtual void OpenUrl(const std::string& url) = 0;
    // Whether the desktop shows a notification area right now.
    virtual bool TrayAvailable() = 0;
};

}  // namespace tessali::app
