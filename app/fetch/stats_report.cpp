#include "app/fetch/stats_report.h"

#include <thread>

#include "app/fetch/http_fetch.h"
#include "engine/platform/deploy_config.h"
#include "engine/platform/file.h"
#include "engine/platform/thread.h"

namespace tessali::app {

std::string ReportUrl(std::string_view statsHost, std::string_view event) {
    std::string url = "http://";
    url += statsHost;
    url += "/c/box/downloader/?name=";
    url += kStatsName;
    url += "&data=";
    url += event;
    return url;
}

bool SendReport(std::string_view statsHost, std::string_view event) {
    return SendBeacon(ReportUrl(statsHost, event), 4000);
}

void SendStartupReports(std::string_view statsHost, const std::string& recordPath) {
    // Looked at before the first beacon: the record may be written while they are under way.
    bool first = !platform::FileExists(recordPath);
    SendReport(statsHost, kReportLaunch);
    if (first) {
        SendReport(statsHost, kReportFirstLaunch);
    }
}

std::string_view CompletionEvent(int selector) {
    switch (selector) {
        case kCompletionDownload:
            return kReportDownload;
        case kCompletionPatch:
            return kReportPatchDownload;
        default:
            return {};
    }
}

void SendCompletionReport(std::string_view statsHost, int selector) {
    std::string_view event = CompletionEvent(selector);
    if (!event.empty()) {
        SendReport(statsHost, event);
    }
}

void StartCompletionReport(int selector) {
    std::thread([host = platform::Deploy().statsHost, selector] {
        platform::SetCurrentThreadName("stats-report");
        SendCompletionReport(host, selector);
    }).detach();
}

}  // namespace tessali::app
