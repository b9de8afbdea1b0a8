// Windows: the C runtime's secure variants, and the time zone's offset from
// the difference between local and UTC fields.
#include "flash/calendar.h"

namespace calendar {

Local localTime(std::time_t seconds) {
    Local local;
    localtime_s(&local.fields, &seconds);
    std::tm utc{};
    gmtime_s(&utc, &seconds);
    // The local fields read as UTC, less the instant: the offset east of UTC.
    std::tm asUtc = local.fields;
    local.offsetSeconds = static_cast<long>(_mkgmtime(&asUtc) - seconds);
    return local;
}

std::time_t fromUtc(std::tm& fields) {
    return _mkgmtime(&fields);
}

std::time_t fromLocal(std::tm& fields) {
    return std::mktime(&fields);
}

} // namespace calendar
