// Calendar seconds (since 1970-01-01 00:00:00, no time zone) to and from a
// date-time packed in two 32-bit words.
#pragma once

#include <cstdint>

struct PackedDateTime {
    // bits 0-4 day of month (0-based), 5-8 month (0 = January),
    // 9-16 year - 1970, 17-31 reserved
    uint32_t dateWord = 0;
    // bits 0-9 milliseconds, 10-15 seconds, 16-21 minutes, 22-26 hours,
    // 27-31 reserved
    uint32_t timeWord = 0;

    int Year() const { return 1970 + static_cast<int>((dateWord >> 9) & 0xFF); }
    int Month() const { return 1 + static_cast<int>((dateWord >> 5) & 0xF); }  // 1-12
    int Day() const { return 1 + static_cast<int>(dateWord & 0x1F); }          // 1-31
    int Hours() const { return static_cast<int>((timeWord >> 22) & 0x1F); }
    int Minutes() const { return static_cast<int>((timeWord >> 16) & 0x3F); }
    int Seconds() const { return static_cast<int>((timeWord >> 10) & 0x3F); }
    int Milliseconds() const { return static_cast<int>(timeWord & 0x3FF); }

    // month and day 1-based; each value is masked to its field.
    static PackedDateTime Make(int year, int month, int day, int hours, int minutes, int seconds,
                               int milliseconds = 0);
};

// Gregorian rule.
bool IsLeapYear(uint32_t year);
// Days in the year before the first day of month (0 = January ... 11);
// below 0 gives 0 and above 11 the length of the year.
int DaysBeforeMonth(int month, bool leap);
// Fills record (reserved bits kept, milliseconds 0). A negative count gives
// 1970-01-01 00:00:00.
void DateFromSeconds(PackedDateTime& record, int32_t seconds);
// The whole unsigned range, up to 2106-02-07 06:28:15.
void DateFromSeconds(PackedDateTime& record, uint32_t seconds);
// The exact inverse of DateFromSeconds; milliseconds >= 500 round up to the
// next second. Dates past 2106-02-07 06:28:15 give 0xFFFFFFFF.
uint32_t SecondsFromDate(const PackedDateTime& record);
