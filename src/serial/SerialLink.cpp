#include "serial/SerialLink.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kTextSize = 1024; // the channel's error buffer, terminator included

} // namespace

void SerialLink::writeString(const char* text) {
    write(reinterpret_cast<const uint8_t*>(text), static_cast<int32_t>(std::strlen(text)));
}

std::string SerialLink::errnoText(const std::string& what, int err) {
    char text[kTextSize];
    std::snprintf(text, sizeof text, "%s - %s(%d).\n", what.c_str(), std::strerror(err), err);
    return text;
}

void SerialLink::fail(const std::string& what, int err) {
    failure_ = SerialFailure{errnoText(what, err), err};
}

void SerialLink::diagnose(const std::string& text) const {
    if (diagnostics_) {
        diagnostics_(text);
    }
}
