#include "app/desktop/desktop.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <QUrl>

#include "app/records/app_folders.h"
#include "engine/platform/fs_info.h"

namespace tessali::app {

void SetDesktopIdentity() {
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kDesktopFileName));
}

int64_t CDesktop::FreeBytes(const std::string& folder) {
    return platform::FreeBytes(ExistingAncestor(folder));
}

bool CDesktop::CanHoldLargeFiles(const std::string& folder) {
    return platform::CanHoldLargeFiles(ExistingAncestor(folder));
}

bool CDesktop::IsDriveRoot(const std::string& folder) {
    return IsLocalFilesystemRoot(folder);
}

std::string CDesktop::ChooseFolder(QWidget* owner, const std::string& title) {
    return QFileDialog::getExistingDirectory(owner, QString::fromStdString(title), QString(),
                                             QFileDialog::ShowDirsOnly)
        .toStdString();
}

void CDesktop::OpenFile(const std::string& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
}

void CDesktop::OpenFolder(const std::string& folder) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder)));
}

void CDesktop::OpenUrl(const std::string& url) {
    QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

bool CDesktop::TrayAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

}  // namespace tessali::app
