#include "radio.h"

#include <cctype>

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
        const std::string s(text);
        io_.send(std::vector<uint8_t>(s.begin(), s.end()));
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
    if (rest.empty()) {
        answer("OK\r");
    } else if (rest == "CN") {
        answer("OK\r");
        commandMode_ = false;
        pluses_ = 0;
    } else if (rest.rfind("DL", 0) == 0 && rest.size() > 2 && rest.size() <= 10) {
        uint32_t value = 0;
        for (char c : rest.substr(2)) {
            if (!std::isxdigit(static_cast<unsigned char>(c))) {
                answer("ERROR\r");
                return;
            }
            value = value * 16 + static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                                           ? c - '0'
                                                           : c - 'A' + 10);
        }
        destination_ = value;
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
