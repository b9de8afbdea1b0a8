#include "serial/SerialLink.h"

#include "serial/port_system.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kTextSize = 1024; // the channel's error buffer, terminator included

} // namespace

std::string failureText(const SerialFailure& failure, FailureForm form) {
    if (form == FailureForm::Reason) {
        // A record of an older version may carry only what failed.
        return failure.systemText.empty() ? failure.what
                                          : failure.what + " - " + failure.systemText;
    }
    char text[kTextSize];
    std::snprintf(text, sizeof text, "%s - %s(%d).\n", failure.what.c_str(),
                  failure.systemText.c_str(), failure.number);
    std::string rendered = text;
    if (form == FailureForm::Line && !rendered.empty() && rendered.back() == '\n') {
        rendered.pop_back();
    }
    return rendered;
}

void SerialLink::writeString(const char* text) {
    write(reinterpret_cast<const uint8_t*>(text), static_cast<int32_t>(std::strlen(text)));
}

SerialFailure SerialLink::failureOf(const std::string& what, int err) {
    return SerialFailure{what, err, portsys::errorText(err)};
}

void SerialLink::fail(const std::string& what, int err) {
    failure_ = failureOf(what, err);
}

void SerialLink::diagnose(const std::string& text) const {
    if (diagnostics_) {
        diagnostics_(text);
    }
}
