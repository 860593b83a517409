// Sets the process's time zone for one test; POSIX zone strings need no
// zone database on the machine.
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

inline constexpr const char* utc = "UTC0";
inline constexpr const char* moscow = "MSK-3";                          // UTC+3, no summer time
inline constexpr const char* berlin = "CET-1CEST,M3.5.0,M10.5.0/3";     // with summer time

struct time_zone {
    std::string saved;
    bool had;
    explicit time_zone(const char* tz) {
        const char* old = std::getenv("TZ");
        had = old != nullptr;
        if (had) saved = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~time_zone() {
        if (had)
            setenv("TZ", saved.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
};

// Local calendar time of a wall-clock moment in the current zone.
inline std::time_t local_time(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}
