#include "app/records/cache_stamp.h"

#include <cstdio>
#include <ctime>

namespace tessali::app {

std::string FormatCacheStamp(const StampTime& t) {
    char text[64];
    std::snprintf(text, sizeof(text), "%hu-%02hu-%02hu %2hu:%02hu:%02hu", static_cast<unsigned short>(t.year),
                  static_cast<unsigned short>(t.month), static_cast<unsigned short>(t.day),
                  static_cast<unsigned short>(t.hour), static_cast<unsigned short>(t.minute),
                  static_cast<unsigned short>(t.second));
    return text;
}

std::optional<StampTime> ParseCacheStamp(std::string_view text) {
    std::string copy(text);
    unsigned short y, mo, d, h, mi, s;
    char tail;
    if (std::sscanf(copy.c_str(), "%hu-%hu-%hu %hu:%hu:%hu%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6) {
        return std::nullopt;
    }
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) {
        return std::nullopt;
    }
    return StampTime{y, mo, d, h, mi, s};
}

int64_t GregorianDayNumber(int year, int month, int day) {
    // Shift the year to start in March so the leap day is the last day of the year.
    int64_t y = month <= 2 ? year - 1 : year;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t mp = (month + 9) % 12;
    int64_t doy = (153 * mp + 2) / 5 + day - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

double StampAgeHours(const StampTime& stamp, const StampTime& now) {
    int64_t days = GregorianDayNumber(now.year, now.month, now.day) -
                   GregorianDayNumber(stamp.year, stamp.month, stamp.day);
    return static_cast<double>(days * 24 + (now.hour - stamp.hour)) + (now.minute - stamp.minute) / 60.0;
}

bool StampNeedsRefresh(std::string_view stampText, const StampTime& now) {
    auto stamp = ParseCacheStamp(stampText);
    return !stamp || !(StampAgeHours(*stamp, now) < kManifestMaxAgeHours);
}

StampTime LocalNow() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return StampTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

}  // namespace tessali::app
