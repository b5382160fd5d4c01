#include "common/base/calendar.h"

namespace {

const int kDaysBefore[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366},
};

constexpr uint32_t kDateFieldsMask = 0x1FFFF;    // day, month, year
constexpr uint32_t kTimeFieldsMask = 0x7FFFFFF;  // ms, seconds, minutes, hours

// Leap years in 1..y.
int64_t LeapsThrough(int64_t y) {
    return y / 4 - y / 100 + y / 400;
}

}  // namespace

PackedDateTime PackedDateTime::Make(int year, int month, int day, int hours, int minutes,
                                    int seconds, int milliseconds) {
    PackedDateTime r;
    r.dateWord = (static_cast<uint32_t>(day - 1) & 0x1F) |
                 ((static_cast<uint32_t>(month - 1) & 0xF) << 5) |
                 ((static_cast<uint32_t>(year - 1970) & 0xFF) << 9);
    r.timeWord = (static_cast<uint32_t>(milliseconds) & 0x3FF) |
                 ((static_cast<uint32_t>(seconds) & 0x3F) << 10) |
                 ((static_cast<uint32_t>(minutes) & 0x3F) << 16) |
                 ((static_cast<uint32_t>(hours) & 0x1F) << 22);
    return r;
}

bool IsLeapYear(uint32_t year) {
    return year % 400 == 0 || (year % 4 == 0 && year % 100 != 0);
}

int DaysBeforeMonth(int month, bool leap) {
    if (month < 0)
        return 0;
    if (month > 12)
        month = 12;
    return kDaysBefore[leap ? 1 : 0][month];
}

void DateFromSeconds(PackedDateTime& record, int32_t seconds) {
    DateFromSeconds(record, seconds < 0 ? 0u : static_cast<uint32_t>(seconds));
}

void DateFromSeconds(PackedDateTime& record, uint32_t seconds) {
    uint32_t days = seconds / 86400;
    uint32_t r = seconds % 86400;
    uint32_t hours = r / 3600;
    uint32_t minutes = (r % 3600) / 60;
    uint32_t secs = r % 60;
    uint32_t year = 1970;
    for (;;) {
        uint32_t length = IsLeapYear(year) ? 366 : 365;
        if (days < length)
            break;
        days -= length;
        ++year;
    }
    bool leap = IsLeapYear(year);
    int month = 0;
    while (month < 11 && static_cast<int>(days) >= DaysBeforeMonth(month + 1, leap))
        ++month;
    uint32_t day = days - static_cast<uint32_t>(DaysBeforeMonth(month, leap));
    record.dateWord = (record.dateWord & ~kDateFieldsMask) | day |
                      (static_cast<uint32_t>(month) << 5) | ((year - 1970) << 9);
    record.timeWord =
        (record.timeWord & ~kTimeFieldsMask) | (secs << 10) | (minutes << 16) | (hours << 22);
}

uint32_t SecondsFromDate(const PackedDateTime& record) {
    int64_t year = 1970 + ((record.dateWord >> 9) & 0xFF);
    int64_t month = (record.dateWord >> 5) & 0xF;
    int64_t day = record.dateWord & 0x1F;
    // A hand-made record may hold months 12-15: carry them into the year.
    year += month / 12;
    month %= 12;
    int64_t days =
        365 * (year - 1970) + LeapsThrough(year - 1) - LeapsThrough(1969) +
        DaysBeforeMonth(static_cast<int>(month), IsLeapYear(static_cast<uint32_t>(year))) + day;
    int64_t total = ((days * 24 + record.Hours()) * 60 + record.Minutes()) * 60 + record.Seconds();
    if (record.Milliseconds() >= 500)
        ++total;
    if (total > 0xFFFFFFFFLL)
        return 0xFFFFFFFFu;
    return static_cast<uint32_t>(total);
}
