#include "platform/DateTime.h"

#include <chrono>
#include <cmath>
#include <ctime>

#include "platform/Env.h"

namespace ari {

namespace {
constexpr double kMsPerDay = 86400000.0;
}  // namespace

long DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 + 25569;  // 25569 = days 1899-12-30 .. 1970-01-01
}

void CivilFromDays(long z, int& y, int& m, int& d) {
    z += 719468 - 25569;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const long doe = z - era * 146097;
    const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
    return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / kMsPerDay;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
    return static_cast<double>(DaysFromCivil(year, month, day)) +
           EncodeTime(hour, minute, second, millisecond);
}

DateTimeParts DecodeDateTime(TDateTime value) {
    // Nearest whole millisecond first, so 0.9996 s reads as 1 s and never as 0.999.
    const long long totalMs = std::llround(value * kMsPerDay);
    long long days = totalMs / 86400000LL;
    long long msOfDay = totalMs % 86400000LL;
    if (msOfDay < 0) {
        msOfDay += 86400000LL;
        --days;
    }
    DateTimeParts p;
    CivilFromDays(static_cast<long>(days), p.year, p.month, p.day);
    p.hour = static_cast<int>(msOfDay / 3600000);
    p.minute = static_cast<int>(msOfDay / 60000 % 60);
    p.second = static_cast<int>(msOfDay / 1000 % 60);
    p.millisecond = static_cast<int>(msOfDay % 1000);
    return p;
}

TDateTime LocalNow() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t t = system_clock::to_time_t(now);
    std::tm tm{};
    Env::Default()->LocalTime(static_cast<int64_t>(t), &tm);
    const int ms =
        static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    return EncodeDateTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                          tm.tm_sec, ms);
}

}  // namespace ari
