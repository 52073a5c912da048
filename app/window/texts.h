// The texts the main window and the version dialog build from numbers and names: the two size
// formats, the dialog's display name of an entry, the shortening of long names, and the status
// line of each state the download's workflow reports. Pure functions.
#pragma once

#include <QString>
#include <cstdint>
#include <string>

#include "app/flow/download_flow.h"

namespace tessali::app {

// Free space and speeds: two decimals in the largest fitting unit ("GB", "MB", "KB", "Byte").
QString FormatSize(int64_t bytes);
// Dialog sizes: "B", "KB", "MB" with one decimal, "GB" with two.
QString FormatDialogSize(int64_t bytes);
// The dialog's name of an entry: a final ".rar" (or, without any ".rar", a final ".exe") is cut,
// and the full client gets "(推荐)".
QString DisplayName(const QString& fileName, bool complete);
// `name` when it has at most `limit` characters, else its first `keep` characters and "...".
QString Shorten(const QString& name, int limit, int keep);
// "任务：NAME下载完成", the line and notice of a finished file.
QString FinishedLine(const std::string& name);
// The main window's status line for what the workflow reports.
QString StatusText(const FlowStatus& status);

}  // namespace tessali::app
