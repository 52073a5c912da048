#include "app/window/texts.h"

namespace tessali::app {

QString FormatSize(int64_t bytes) {
    const double v = static_cast<double>(bytes);
    if (bytes >= (int64_t{1} << 30))
        return QString::asprintf("%.2lf%s", v / (1 << 30), "GB");
    if (bytes >= (int64_t{1} << 20))
        return QString::asprintf("%.2lf%s", v / (1 << 20), "MB");
    if (bytes >= (int64_t{1} << 10))
        return QString::asprintf("%.2lf%s", v / (1 << 10), "KB");
    return QString::asprintf("%.2lf%s", v, "Byte");
}

QString FormatDialogSize(int64_t bytes) {
    const double v = static_cast<double>(bytes);
    if (bytes < 1024)
        return QString::asprintf("%0.1f%s", v, "B");
    if (bytes < (int64_t{1} << 20))
        return QString::asprintf("%0.1f%s", v / 1024, "KB");
    if (bytes < (int64_t{1} << 30))
        return QString::asprintf("%0.1f%s", v / (1 << 20), "MB");
    return QString::asprintf("%0.2f%s", v / (1 << 30), "GB");
}

QString DisplayName(const QString& fileName, bool complete) {
    qsizetype at = fileName.indexOf(QStringLiteral(".rar"));
    if (at < 0)
        at = fileName.indexOf(QStringLiteral(".exe"));
    if (at < 0 || at != fileName.size() - 4)
        return fileName;
    QString name = fileName.left(at);
    if (complete)
        name += QStringLiteral("(推荐)");
    return name;
}

QString Shorten(const QString& name, int limit, int keep) {
    if (name.size() <= limit)
        return name;
    return name.left(keep) + QStringLiteral("...");
}

namespace {

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

// The progress line of a running download.
QString ProgressLine(const std::string& name, double percent, int64_t rate) {
    return QStringLiteral("当前下载版本：") + Shorten(Q(name), 15, 12) + QStringLiteral(" 进度：") +
           QString::number(static_cast<int>(percent)) + QStringLiteral("% 速度：") + FormatSize(rate) +
           QStringLiteral("/s");
}

}  // namespace

QString FinishedLine(const std::string& name) {
    return QStringLiteral("任务：") + Shorten(Q(name), 20, 17) + QStringLiteral("下载完成");
}

QString StatusText(const FlowStatus& status) {
    using Kind = FlowStatus::Kind;
    switch (status.kind) {
        case Kind::kInitDone:
            return QStringLiteral("初始化完成，请选择下载任务");
        case Kind::kContinue:
            return QStringLiteral("初始化完成，请点击“开始”按钮继续上一次未完成的下载");
        case Kind::kInitFailed:
            return QStringLiteral("初始化失败，下载器将在%1秒后关闭，请检查您的网络是否正常")
                .arg(status.count);
        case Kind::kSpaceLeft:
            return QStringLiteral("空间剩余%1").arg(FormatSize(status.bytes));
        case Kind::kSpaceShort:
            return QStringLiteral("目标目录空间%1，还剩余%2")
                .arg(QStringLiteral("不足"), FormatSize(status.bytes));
        case Kind::kNoLargeFiles:
            return QStringLiteral("目标目录空间%1，还剩余%2")
                .arg(QStringLiteral("不支持4G以上文件"), FormatSize(status.bytes));
        case Kind::kChooseTask:
            return QStringLiteral("请选择要下载的任务");
        case Kind::kProgress:
            return ProgressLine(status.name, status.percent, status.bytes);
        case Kind::kQueryFailed:
            return QStringLiteral("当前下载版本：") + Shorten(Q(status.name), 15, 12) +
                   QStringLiteral("进度查询失败");
        case Kind::kFinished:
            return FinishedLine(status.name);
        case Kind::kRelatedPatch:
            return QStringLiteral("有一个相关的补丁需要下载：%1").arg(Q(status.name));
        case Kind::kChoosePatch:
            return QStringLiteral("请选择要下载的补丁并开始下载");
        case Kind::kPaused:
            return QStringLiteral("任务被暂停");
        case Kind::kFolderChangeHint:
            return QStringLiteral("提示：更改下载目录后正在下载的任务进度将被取消");
    }
    return QString();
}

}  // namespace tessali::app
