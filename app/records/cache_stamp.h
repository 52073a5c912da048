// The stamp the downloader writes into its cached manifest ("update" on the root) and the 24-hour
// rule that decides when the cache is refreshed from the server. Times are local wall-clock
// fields; the age counts whole Gregorian days and ignores seconds. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessali::app {

struct StampTime {
    int year = 1970;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Refresh when the cache is at least this many hours old.
inline constexpr double kManifestMaxAgeHours = 24.0;

// "2026-12-08  9:05:07": year, month, day, the hour right-aligned in two characters, minute, second.
std::string FormatCacheStamp(const StampTime& t);
// Reads a stamp written by FormatCacheStamp; nullopt when it is not one (fields out of range included).
std::optional<StampTime> ParseCacheStamp(std::string_view text);

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
int64_t GregorianDayNumber(int year, int month, int day);
// Hours from `stamp` to `now`: day difference × 24 + hour difference + minute difference / 60.
double StampAgeHours(const StampTime& stamp, const StampTime& now);
// True when the stamp is missing, unreadable or at least kManifestMaxAgeHours old.
bool StampNeedsRefresh(std::string_view stampText, const StampTime& now);

StampTime LocalNow();

}  // namespace tessali::app
