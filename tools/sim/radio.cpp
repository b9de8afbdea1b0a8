#include "radio.h"

#include <cctype>
#include <charconv>

namespace sim {

namespace {

constexpr size_t kMaxLine = 64;

} // namespace

RadioModule::RadioModule(const Faults& faults, UnitIo& io) : faults_(faults), io_(io) {}

void RadioModule::reset() {
    commandMode_ = false;
    pluses_ = 0;
    escapeAt_ = -1;
    line_.clear();
    destination_ = 0;
}

void RadioModule::answer(const char* text) {
    if (!faults_.silent) {
        io_.sendText(text);
    }
}

bool RadioModule::input(uint8_t byte, Micros now) {
    if (commandMode_) {
        lastCommand_ = now;
        if (byte == '\r') {
            command(line_, now);
            line_.clear();
        } else if (byte != '\n' && line_.size() < kMaxLine) {
            line_.push_back(static_cast<char>(byte));
        }
        return false;
    }
    // Any byte during the guard time spoils the escape.
    if (byte == '+') {
        ++pluses_;
        escapeAt_ = pluses_ == 3 ? now + kGuardTime : -1;
    } else {
        pluses_ = 0;
        escapeAt_ = -1;
    }
    return linked();
}

void RadioModule::command(const std::string& line, Micros now) {
    std::string cmd;
    for (char c : line) {
        if (c != ' ') {
            cmd.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        }
    }
    if (cmd.empty()) {
        return;
    }
    io_.event(now, "at " + cmd);
    if (cmd.rfind("AT", 0) != 0) {
        answer("ERROR\r");
        return;
    }
    const std::string rest = cmd.substr(2);
    const char* end = rest.data() + rest.size();
    uint32_t address = 0;
    if (rest.empty()) {
        answer("OK\r");
    } else if (rest == "CN") {
        answer("OK\r");
        commandMode_ = false;
        pluses_ = 0;
    } else if (rest.rfind("DL", 0) == 0 && rest.size() > 2 && rest.size() <= 10 &&
               std::from_chars(rest.data() + 2, end, address, 16).ptr == end) {
        destination_ = address;
        answer("OK\r");
    } else {
        answer("ERROR\r");
    }
}

void RadioModule::tick(Micros now) {
    if (escapeAt_ >= 0 && now >= escapeAt_) {
        escapeAt_ = -1;
        pluses_ = 0;
        commandMode_ = true;
        lastCommand_ = now;
        line_.clear();
        io_.event(now, "at +++");
        answer("OK\r");
    }
    if (commandMode_ && now >= lastCommand_ + kCommandTimeout) {
        commandMode_ = false; // back to transparent mode, as after ATCN
        line_.clear();
    }
}

Micros RadioModule::deadline() const {
    if (escapeAt_ >= 0) {
        return escapeAt_;
    }
    return commandMode_ ? lastCommand_ + kCommandTimeout : -1;
}

} // namespace sim
