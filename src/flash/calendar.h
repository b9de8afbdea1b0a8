// Calendar time as the system keeps it: the local time with its offset from
// UTC, and dates back to seconds. One file per system implements it
// (calendar_posix.cpp).
#pragma once

#include <ctime>

namespace calendar {

// The local date and time at `seconds`, and its offset east of UTC.
struct Local {
    std::tm fields{};
    long offsetSeconds = 0;
};
Local localTime(std::time_t seconds);

// The seconds since the epoch of `fields` taken as UTC, normalising them as
// the C library does (31 April becomes 1 May).
std::time_t fromUtc(std::tm& fields);

// The same taken as local time; tm_isdst -1 lets the local rules decide on
// daylight saving time.
std::time_t fromLocal(std::tm& fields);

} // namespace calendar
