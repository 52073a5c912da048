// Usage statistics reports: one beacon per event ("launch", "firstlaunch", "download",
// "tsdownload") to the statistics host of the deployment file. The answer is never read and every
// failure is silent. Start-up reports run on the calling thread; completion reports each get a
// short-lived thread of their own that shares nothing with the caller.
#pragma once

#include <string>
#include <string_view>

namespace tessali::app {

inline constexpr std::string_view kStatsName = "verdo7";
inline constexpr std::string_view kReportLaunch = "launch";
inline constexpr std::string_view kReportFirstLaunch = "firstlaunch";
inline constexpr std::string_view kReportDownload = "download";
inline constexpr std::string_view kReportPatchDownload = "tsdownload";

// Completion selectors: a full-client file finished, an HTTP-fetched patch finished.
inline constexpr int kCompletionDownload = 0;
inline constexpr int kCompletionPatch = 1;

// "http://<statsHost>/c/box/downloader/?name=verdo7&data=<event>".
std::string ReportUrl(std::string_view statsHost, std::string_view event);
// Sends one report; true when the beacon went out (callers ignore it).
bool SendReport(std::string_view statsHost, std::string_view event);

// "launch", then "firstlaunch" when the local record file `recordPath` does not exist yet.
void SendStartupReports(std::string_view statsHost, const std::string& recordPath);

// The event of a completion selector: "download", "tsdownload", or empty for any other selector.
std::string_view CompletionEvent(int selector);
// The report thread's body: sends the selector's event (nothing for an unknown selector).
void SendCompletionReport(std::string_view statsHost, int selector);
// Starts a detached thread that reports the completion to the deployment's statistics host.
void StartCompletionReport(int selector);

}  // namespace tessali::app
