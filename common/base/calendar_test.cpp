#include "common/base/calendar.h"

#include <gtest/gtest.h>

namespace {

PackedDateTime From(uint32_t seconds) {
    PackedDateTime r;
    DateFromSeconds(r, seconds);
    return r;
}

void ExpectDate(const PackedDateTime& r, int y, int mo, int d, int h, int mi, int s) {
    EXPECT_EQ(y, r.Year());
    EXPECT_EQ(mo, r.Month());
    EXPECT_EQ(d, r.Day());
    EXPECT_EQ(h, r.Hours());
    EXPECT_EQ(mi, r.Minutes());
    EXPECT_EQ(s, r.Seconds());
    EXPECT_EQ(0, r.Milliseconds());
}

TEST(Calendar, LeapRuleAndMonthTable) {
    EXPECT_TRUE(IsLeapYear(2000));
    EXPECT_TRUE(IsLeapYear(2012));
    EXPECT_FALSE(IsLeapYear(2100));
    EXPECT_FALSE(IsLeapYear(2011));
    EXPECT_EQ(60, DaysBeforeMonth(2, true));
    EXPECT_EQ(59, DaysBeforeMonth(2, false));
    EXPECT_EQ(335, DaysBeforeMonth(11, true));
    EXPECT_EQ(0, DaysBeforeMonth(-1, false));
    EXPECT_EQ(365, DaysBeforeMonth(12, false));
}

TEST(Calendar, KnownInstants) {
    PackedDateTime zero = From(0);
    EXPECT_EQ(0u, zero.dateWord);
    EXPECT_EQ(0u, zero.timeWord);
    EXPECT_EQ(0u, SecondsFromDate(zero));

    PackedDateTime y2010 = From(1262304000);
    EXPECT_EQ(0x5000u, y2010.dateWord);
    EXPECT_EQ(0u, y2010.timeWord);
    ExpectDate(From(1262303999), 2009, 12, 31, 23, 59, 59);
    PackedDateTime march2012 = From(1330560000);
    EXPECT_EQ(0x5440u, march2012.dateWord);
    EXPECT_EQ(1330560000u, SecondsFromDate(march2012));  // leap year: exact
    ExpectDate(From(951827445), 2000, 2, 29, 12, 30, 45);
    ExpectDate(From(2147483647), 2038, 1, 19, 3, 14, 7);
    ExpectDate(From(4102444800u), 2100, 1, 1, 0, 0, 0);
    ExpectDate(From(0xFFFFFFFFu), 2106, 2, 7, 6, 28, 15);
}

TEST(Calendar, SecondsFromDateIsTheExactInverse) {
    // Every day from 1970 to 2106, at a time that moves through the day.
    for (uint64_t s = 0; s <= 0xFFFFFFFFull; s += 86400 + 3607) {
        PackedDateTime r = From(static_cast<uint32_t>(s));
        ASSERT_EQ(s, SecondsFromDate(r)) << r.Year() << "-" << r.Month() << "-" << r.Day();
    }
    // Every day of a leap year, a common year, 2000 and 2100.
    for (int year : {2000, 2011, 2012, 2100}) {
        for (int month = 1; month <= 12; ++month) {
            PackedDateTime r = PackedDateTime::Make(year, month, 1, 12, 0, 0);
            uint32_t s = SecondsFromDate(r);
            PackedDateTime back = From(s);
            EXPECT_EQ(r.dateWord, back.dateWord) << year << "-" << month;
            EXPECT_EQ(r.timeWord, back.timeWord);
        }
    }
}

TEST(Calendar, RoundingReservedBitsAndLimits) {
    PackedDateTime r = PackedDateTime::Make(2012, 3, 1, 0, 0, 0, 499);
    EXPECT_EQ(1330560000u, SecondsFromDate(r));
    r = PackedDateTime::Make(2012, 3, 1, 0, 0, 0, 500);
    EXPECT_EQ(1330560001u, SecondsFromDate(r));

    PackedDateTime reserved;
    reserved.dateWord = 0xFFFE0000u;
    reserved.timeWord = 0xF8000000u | 123;
    DateFromSeconds(reserved, 1262304000u);
    EXPECT_EQ(0xFFFE0000u | 0x5000u, reserved.dateWord);
    EXPECT_EQ(0xF8000000u, reserved.timeWord);

    PackedDateTime negative = From(12345);
    DateFromSeconds(negative, static_cast<int32_t>(-1));
    EXPECT_EQ(0u, negative.dateWord);
    EXPECT_EQ(0u, negative.timeWord);

    // Past the unsigned range: saturates instead of wrapping to 1970.
    EXPECT_EQ(0xFFFFFFFFu, SecondsFromDate(PackedDateTime::Make(2106, 2, 7, 6, 28, 16)));
    EXPECT_EQ(0xFFFFFFFFu, SecondsFromDate(PackedDateTime::Make(2225, 12, 31, 23, 59, 59)));
    // A month field past December carries into the next year.
    PackedDateTime thirteenth;
    thirteenth.dateWord = (40u << 9) | (12u << 5);
    EXPECT_EQ(SecondsFromDate(PackedDateTime::Make(2011, 1, 1, 0, 0, 0)),
              SecondsFromDate(thirteenth));
}

}  // namespace
