// A UnitIo that records what the unit's parts send, log and save, and the
// blocks a sender puts on the line.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "unit_io.h"
#include "ymodem_rx.h"

struct FakeIo : sim::UnitIo {
    std::string sent;
    std::vector<std::string> events;
    std::optional<std::vector<uint8_t>> saved;

    void send(const std::vector<uint8_t>& bytes) override {
        sent.append(bytes.begin(), bytes.end());
    }
    void event(sim::Micros, const std::string& text) override { events.push_back(text); }
    bool save(const std::vector<uint8_t>& image) override {
        saved = image;
        return true;
    }
    void hangUp() override {}

    std::string take() { return std::exchange(sent, {}); }
};

// 128-byte fields go with SOH, 1024-byte fields with STX.
inline std::vector<uint8_t> makeBlock(uint8_t number, const std::vector<uint8_t>& field) {
    std::vector<uint8_t> block(field.size() + 5);
    block[0] = field.size() == 1024 ? sim::kStx : sim::kSoh;
    block[1] = number;
    block[2] = static_cast<uint8_t>(~number);
    std::copy(field.begin(), field.end(), block.begin() + 3);
    const uint16_t crc = sim::crc16(field);
    block[block.size() - 2] = static_cast<uint8_t>(crc >> 8);
    block.back() = static_cast<uint8_t>(crc);
    return block;
}

inline std::vector<uint8_t> headerBlock(const std::string& name, const std::string& size) {
    std::vector<uint8_t> field(1024, 0);
    std::copy(size.begin(), size.end(), std::copy(name.begin(), name.end(), field.begin()) + 1);
    return makeBlock(0, field);
}

inline std::vector<uint8_t> patternField(size_t size, uint8_t seed) {
    std::vector<uint8_t> field(size);
    for (size_t i = 0; i < size; ++i) {
        field[i] = static_cast<uint8_t>(seed * 31 + i * 7);
    }
    return field;
}
