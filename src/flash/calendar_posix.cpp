#include "flash/calendar.h"

namespace calendar {

Local localTime(std::time_t seconds) {
    Local local;
    localtime_r(&seconds, &local.fields);
    local.offsetSeconds = local.fields.tm_gmtoff;
    return local;
}

std::time_t fromUtc(std::tm& fields) {
    return timegm(&fields);
}

std::time_t fromLocal(std::tm& fields) {
    return std::mktime(&fields);
}

} // namespace calendar
