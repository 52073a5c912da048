#include "app/desktop/qt_message_log.h"

#include <QString>
#include <QtGlobal>
#include <cstdio>

#include "app/records/program_log.h"
#include "engine/platform/folders.h"

namespace tessali::app {
namespace {

QtMessageHandler g_previous = nullptr;
bool g_installed = false;

void Handler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    CProgramLog::Level level = CProgramLog::kWarning;
    bool write = true;
    switch (type) {
        case QtDebugMsg:
            write = false;
            break;
        case QtInfoMsg:
            level = CProgramLog::kInfo;
            break;
        case QtWarningMsg:
            level = CProgramLog::kWarning;
            break;
        case QtCriticalMsg:
            level = CProgramLog::kCritical;
            break;
        case QtFatalMsg:
            level = CProgramLog::kFatal;
            break;
    }
    if (write)
        ProgramLog().Write(level, text.toStdString());
    if (g_previous) {
        g_previous(type, context, text);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
    }
}

}  // namespace

std::string InstallProgramLog() {
    const std::string path = platform::LogFilePath(kProgramLogName);
    if (!ProgramLog().Open(path))
        return {};
    if (!g_installed) {
        g_previous = qInstallMessageHandler(Handler);
        g_installed = true;
    }
    return path;
}

void RemoveProgramLog() {
    if (g_installed) {
        qInstallMessageHandler(g_previous);
        g_previous = nullptr;
        g_installed = false;
    }
    ProgramLog().Close();
}

}  // namespace tessali::app
